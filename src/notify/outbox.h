// The delivery queue: the one way out for every notice (alerts, recoveries, the heartbeat and
// the notification test). Producers queue their notices here and go on; one sender thread per
// channel sends them, keeps each host's notices in order, tries failed sends again, counts
// every send and logs its outcome.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/alert_config.h"
#include "notify/channel.h"
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

/// What one send did.
struct SendOutcome {
    int exit_code = -1;   ///< curl's exit code: 0 delivered, -1 curl could not be run
    std::string failure;  ///< why a failed send failed, as the channel tells it; may be empty
};

/// Sends one notice on the channel it names. Called on that channel's sender thread, one
/// send per channel at a time.
class NoticeSender {
  public:
    virtual ~NoticeSender() = default;
    virtual SendOutcome send(const state::PendingNotice& notice) = 0;
};

/// The real channels: an e-mail (the text as subject, the body or else the text as body, to
/// the notice's recipients or else the alert recipients), a Telegram message, a Teams card.
class ChannelSender : public NoticeSender {
  public:
    explicit ChannelSender(AlertSettings& alerts) : alerts_(alerts) {}
    SendOutcome send(const state::PendingNotice& notice) override;

  private:
    AlertSettings& alerts_;
};

/// One send that has been settled, handed to OutboxHooks::settled.
struct SettledSend {
    int host_index = 0;  ///< 0: a notice of the instance
    state::PendingNotice notice;
    SendOutcome outcome;
    bool final = false;  ///< delivered or given up; otherwise it waits for a retry
};

/// What the owner of an outbox wants to hear. Every hook is called on a sender thread with no
/// lock of the outbox held.
struct OutboxHooks {
    /// After each send, so that the caller can record the notices still pending.
    std::function<void()> changed;
    /// After each send, with its outcome.
    std::function<void(const SettledSend&)> settled;
    /// Counts every send by channel and outcome when set.
    SendCounters* counters = nullptr;
};

/// Owns one sender thread per channel from start() until stop_after_draining() or the
/// destructor. Every member is safe to call from any thread. Retry times are kept on the
/// monotonic clock, so a clock set back or forward neither holds nor hurries a retry; the
/// wall-clock times in each notice are for the state file and the log.
class Outbox {
  public:
    /// `retry_minutes`: how long a failed notice is tried again (0: one try only).
    Outbox(NoticeSender& sender, std::int32_t retry_minutes, OutboxHooks hooks = {},
           RetrySchedule schedule = RetrySchedule());
    /// Ends the sender threads after their sends in flight, sending nothing more.
    ~Outbox();
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    /// Starts the sender threads.
    void start();

    /// Queues `notice` for host `host_index` (named `host` in the event log; 0 and an empty
    /// name for a notice of the instance) behind the host's earlier notices on the same
    /// channel. Gives the notice its lasting id when it has none. `restored`: it comes from
    /// the state file of an earlier run, so it counts as late when sent. Test notices get one
    /// try, and only a failure of theirs is logged here: the test reports its own verdict.
    void add(int host_index, const std::string& host, state::PendingNotice notice,
             bool restored = false);

    /// The notices not yet delivered, per host index (`host_count` + 1 elements, element 0
    /// for the instance's own), in their queue order; the one in flight included.
    std::vector<std::vector<state::PendingNotice>> pending(int host_count) const;

    /// Waits until every queue is empty and no send or hook runs, at most `timeout`. True when
    /// that happened.
    bool wait_until_idle(std::chrono::milliseconds timeout) const;

    /// The orderly stop: sends that are running finish; notices due now are still sent, but no
    /// send is started once `start_window_seconds` have passed; notices waiting for a retry
    /// stay pending. Returns when every sender thread has ended.
    void stop_after_draining(int start_window_seconds);

  private:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        std::uint64_t serial = 0;  ///< tells entries apart while the lock is released for a send
        int host_index = 0;
        std::string host;
        state::PendingNotice notice;
        bool restored = false;
        Clock::time_point queued;  ///< when the notice was first queued, on the monotonic clock
        Clock::time_point due;     ///< when it may be sent next
    };
    static constexpr std::size_t kChannels = state::kChannelCount;

    void run(Channel channel);
    void join_threads();
    std::vector<Entry>::iterator next_due(std::vector<Entry>& queue, Clock::time_point now,
                                          Clock::time_point& wake, bool& waits);
    std::string settle(std::vector<Entry>& queue, std::uint64_t serial, const SendOutcome& outcome,
                       SettledSend& settled);

    NoticeSender& sender_;
    const std::chrono::seconds retry_time_;
    const OutboxHooks hooks_;
    const RetrySchedule schedule_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    mutable std::condition_variable idle_;
    std::array<std::vector<Entry>, kChannels> queues_;
    std::array<std::thread, kChannels> threads_;
    std::uint64_t last_serial_ = 0;
    int busy_ = 0;  ///< sends (with their hooks) running now
    bool draining_ = false;
    Clock::time_point drain_deadline_;  ///< no send starts after this while draining
    bool stopping_ = false;             ///< end at once, sending nothing more
};

/// A new lasting notice id: the time, the process and a counter, unique on this machine.
std::string make_notice_id();

}  // namespace hv
