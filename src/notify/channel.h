// What the program knows about each channel apart from sending: its name in the event log,
// whether it is configured, which notices it carries, and how many sends it made.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "config/alert_config.h"
#include "state/state.h"

namespace hv {

using state::Channel;
using state::NoticeKind;

/// Every channel, in the order notices are queued and reported.
inline constexpr std::array<Channel, state::kChannelCount> kAllChannels = {
    Channel::email, Channel::telegram, Channel::teams};

/// "Mail", "Telegram", "Teams": the channel's name in the event log.
const char* channel_label(Channel channel);

/// True when the channel has everything it needs to send a notice to its configured
/// recipients (e-mail: server, login, password and at least one address in `to`).
bool channel_ready(const AlertSettings& alerts, Channel channel);

/// Whether `channel` carries notices of `kind`: Teams gets alerts and the test, never
/// recoveries or the heartbeat; the others get every kind.
bool channel_carries(Channel channel, NoticeKind kind);

/// Sends per channel since the instance started, written by the delivery queue's sender
/// threads and read by the reports: `counters[channel][0]` delivered, `[1]` failed.
class SendCounters {
  public:
    using Pair = std::atomic<std::uint64_t>[2];

    void count(Channel channel, bool delivered) {
        counts_[static_cast<std::size_t>(channel)][delivered ? 0 : 1].fetch_add(
            1, std::memory_order_relaxed);
    }
    const Pair& operator[](int channel) const { return counts_[static_cast<std::size_t>(channel)]; }

  private:
    std::array<Pair, state::kChannelCount> counts_ = {};
};

}  // namespace hv
