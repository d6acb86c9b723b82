#include <ctime>
#include <mutex>
#include <vector>

#include "monitor/monitor.h"
#include "notify/outbox.h"
#include "state/host_state.h"
#include "state/store.h"

namespace hv {

void save_state(MonitorContext& context) {
    if (context.store == nullptr)
        return;
    // Capture and hand-over happen as one step, so a snapshot taken earlier can never be
    // handed over after a newer one.
    static std::mutex order;
    std::lock_guard<std::mutex> in_order(order);
    const int host_count =
        context.settings.host_count < 0
            ? 0
            : (context.settings.host_count > kMaxHosts ? kMaxHosts : context.settings.host_count);
    state::Snapshot snapshot;
    std::vector<std::vector<state::PendingNotice>> pending;
    {
        // Notices are queued under the host-state lock in the step that marks the alert, so
        // hosts and queue read under it agree: no alert mark without its notice.
        std::lock_guard<std::mutex> lock(host_state_lock());
        snapshot = state::capture_hosts(context.hosts, host_count);
        if (context.outbox != nullptr)
            pending = context.outbox->pending(host_count);
    }
    snapshot.saved_at = static_cast<std::int64_t>(std::time(nullptr));
    if (context.stats != nullptr) {
        const RunStats& stats = *context.stats;
        snapshot.last_round = stats.last_round;
        snapshot.round_duration_us = stats.round_duration_us;
        for (int channel = 0; channel < kChannelCount; ++channel) {
            snapshot.sends.push_back(
                {static_cast<state::Channel>(channel),
                 static_cast<std::int64_t>(stats.sends[channel][0].load(std::memory_order_relaxed)),
                 static_cast<std::int64_t>(
                     stats.sends[channel][1].load(std::memory_order_relaxed))});
        }
    }
    if (!pending.empty()) {
        snapshot.pending = std::move(pending[0]);
        for (int i = 1; i <= host_count; ++i)
            snapshot.hosts[static_cast<std::size_t>(i - 1)].pending =
                std::move(pending[static_cast<std::size_t>(i)]);
    }
    context.store->publish(std::move(snapshot));
}

}  // namespace hv
