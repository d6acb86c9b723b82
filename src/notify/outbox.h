// Delivery apart from checking: checks queue their notices here and go on; one sender thread
// per channel sends them, keeps each host's notices in order and tries failed sends again.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/alert_config.h"
#include "state/state.h"

namespace hv {

/// The pauses between the tries of a failed send.
class RetrySchedule {
  public:
    /// 30 s, 2 min, 5 min, then every 10 min.
    RetrySchedule();
    /// Pauses in seconds, the last one repeated for ever; an empty list means 10 minutes.
    explicit RetrySchedule(std::vector<std::int64_t> pauses_seconds);

    /// The pause after the `failed_tries`-th failed try (1 after the first failure).
    std::int64_t pause_after(std::int32_t failed_tries) const;

  private:
    std::vector<std::int64_t> pauses_;
};

/// Sends one notice on one channel. Returns curl's exit code: 0 when delivered, -1 when curl
/// could not be run. Called on the channel's sender thread, one send per channel at a time.
class NoticeSender {
  public:
    virtual ~NoticeSender() = default;
    virtual int send(state::Channel channel, state::NoticeKind kind, const std::string& text) = 0;
};

/// The real channels: an e-mail to `to` with the notice as subject and body, a Telegram
/// message, a Teams card.
class ChannelSender : public NoticeSender {
  public:
    explicit ChannelSender(AlertSettings& alerts) : alerts_(alerts) {}
    int send(state::Channel channel, state::NoticeKind kind, const std::string& text) override;

  private:
    AlertSettings& alerts_;
};

/// Owns one sender thread per channel from start() until stop_after_draining() or the
/// destructor. Every member is safe to call from any thread.
class Outbox {
  public:
    /// `retry_minutes`: how long a failed notice is tried again (0: one try only).
    /// `on_change` is called on a sender thread, with no lock of the outbox held, after each
    /// send, so that the caller can record the notices still pending.
    Outbox(NoticeSender& sender, std::int32_t retry_minutes, std::function<void()> on_change,
           RetrySchedule schedule = RetrySchedule());
    /// Ends the sender threads after their sends in flight, sending nothing more.
    ~Outbox();
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    /// Starts the sender threads.
    void start();

    /// Queues `notice` for host `host_index` (named `host` in the event log) behind the host's
    /// earlier notices on the same channel. `restored`: it comes from the state file of an
    /// earlier run, so it counts as late when sent.
    void add(int host_index, const std::string& host, state::PendingNotice notice,
             bool restored = false);

    /// The notices not yet delivered, per host index (element 0 unused, `host_count` + 1
    /// elements), in their queue order; the one in flight included.
    std::vector<std::vector<state::PendingNotice>> pending(int host_count) const;

    /// The orderly stop: sends that are running finish; notices due now are still sent, but no
    /// send is started once `start_window_seconds` have passed; notices waiting for a retry
    /// stay pending. Returns when every sender thread has ended.
    void stop_after_draining(int start_window_seconds);

  private:
    struct Entry {
        std::uint64_t id = 0;  ///< tells entries apart while the lock is released for a send
        int host_index = 0;
        std::string host;
        state::PendingNotice notice;
        bool restored = false;
    };
    static constexpr std::size_t kChannels = 3;

    void run(state::Channel channel);
    std::vector<Entry>::iterator next_due(std::vector<Entry>& queue, std::time_t now,
                                          std::time_t& wake);
    void settle(std::vector<Entry>& queue, std::uint64_t id, int exit_code, std::time_t now);
    void stop_threads();

    NoticeSender& sender_;
    const std::int64_t retry_seconds_;
    const std::function<void()> on_change_;
    const RetrySchedule schedule_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::array<std::vector<Entry>, kChannels> queues_;
    std::array<std::thread, kChannels> threads_;
    std::uint64_t last_id_ = 0;
    bool draining_ = false;
    std::time_t drain_deadline_ = 0;  ///< no send starts after this while draining
    bool stopping_ = false;           ///< end at once, sending nothing more
};

}  // namespace hv
