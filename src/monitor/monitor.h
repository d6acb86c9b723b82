// The monitor: host checks in batches of worker threads, round after round, and the daily
// heartbeat.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <thread>

#include "config/alert_config.h"
#include "config/monitor_config.h"
#include "notify/channel.h"
#include "probe/probes.h"

namespace hv {

class Outbox;
namespace state {
class StateStore;
}

struct MonitorContext;

/// The argument of one host check. The loop sets `index` (1-based host number) and clears
/// `failed` before the check; the check writes only `failed` (1: the host failed this check);
/// the loop reads it after the check has ended, so no lock guards it.
struct WorkerSlot {
    std::int32_t index = 0;
    std::int32_t failed = 0;
};

/// What the monitor does to the outside world apart from notices: probes, worker threads and
/// the one-second sleeps. The defaults call the real probes; unit tests override single
/// operations to script hosts. Every operation may be called from several worker threads at
/// once. Notices leave through the context's delivery queue only.
class MonitorServices {
  public:
    virtual ~MonitorServices() = default;

    /// What ping showed: the reply count, a name that does not resolve, the round-trip time.
    virtual PingResult ping(const char* host, int timeoutsec, int pingcount, StatusText& status);
    virtual FallbackResult tcp_fallback(const char* host, int timeoutsec, StatusText& status);

    /// Starts a thread that runs check_host on `slot`, then `on_end` (when set) on the same
    /// thread. Throws std::system_error when the thread cannot be created; the loop then runs
    /// the check inline.
    virtual std::thread start_worker(MonitorContext& context, WorkerSlot* slot,
                                     std::function<void()> on_end);

    /// One of the loop's one-second sleeps.
    virtual void sleep_one_second();

    /// The services used when a context names none.
    static MonitorServices& real();
};

inline constexpr int kChannelCount = state::kChannelCount;

/// What the instance did, for the reports. The send counters are written by the delivery
/// queue; the round fields only by the main thread between rounds.
struct RunStats {
    /// Sends per channel: [channel][0] succeeded, [channel][1] failed.
    SendCounters sends;
    /// When the last complete round started; 0 none yet. Atomic: the senders read it when
    /// they record the state after a send.
    std::atomic<std::int64_t> last_round{0};
    std::atomic<std::int64_t> round_duration_us{0};  ///< how long the checks of that round took
};

/// Told after every complete round, on the main thread, with no lock held; may read the host
/// records without the host-state lock, since no check runs then.
class RoundObserver {
  public:
    virtual ~RoundObserver() = default;
    virtual void round_finished(const MonitorContext& context) = 0;
};

/// The process-wide records the monitor works on. `services` may stay null: the real probes
/// are used then. `stats` and `observer` may stay null too. Every notice is queued in the
/// `outbox`; without one nothing is sent. With a `store`, the host states and pending notices
/// are handed to it after every round and transition.
struct MonitorContext {
    MonitorSettings& settings;
    HostTable& hosts;
    AlertSettings& alerts;
    MonitorServices* services = nullptr;
    RunStats* stats = nullptr;
    RoundObserver* observer = nullptr;
    Outbox* outbox = nullptr;
    state::StateStore* store = nullptr;

    MonitorServices& use() const {
        return services != nullptr ? *services : MonitorServices::real();
    }
};

/// The host-state lock: guards `fail_count`, `alert_sent` and `last_status` of every
/// HostRecord. Taken before the console lock and the delivery queue's lock, so a notice is
/// queued in the same step that marks its alert sent or cleared; never held during a probe or
/// a send.
std::mutex& host_state_lock();

/// One check of the host named by `slot`: probes it, updates its record and prints its line,
/// and queues the alert or the recovery notice on a transition. Returns 0 in every
/// case; a null slot or an index outside the host table changes nothing.
int check_host(MonitorContext& context, WorkerSlot* slot);

/// Hands the current state of every host, with the notices the outbox still holds, to the
/// context's store (nothing without one). Any thread; takes the host-state lock itself.
void save_state(MonitorContext& context);

/// Runs rounds until the stop request is set; returns after the running checks have ended.
/// `settings.schedule` picks how each round hands its hosts to the workers.
void monitor_loop(MonitorContext& context, std::int32_t& heartbeat_state);

/// True when a round that started at local time `round_start` owes a heartbeat: the heartbeat
/// address is valid and set, e-mail is configured, the day of the year differs from
/// `heartbeat_state` (the day last handled), and either the hour is 0 or an earlier day has
/// been handled, so that the first round of a new local day sends even when that day has no
/// hour 0 or no round in it.
bool heartbeat_due(const AlertSettings& alerts, const std::tm& round_start,
                   std::int32_t heartbeat_state);

/// Queues the daily heartbeat (e-mail to `iamalive`, Telegram when configured) when it is due
/// for the round that started at `round_start`, then records that round's day of the year in
/// `heartbeat_state`; the delivery queue sends it and tries again like any notice. The first round
/// after the start, when it is outside hour 0, records its day without sending. Main thread only,
/// between rounds: it reads the host records without the host-state lock.
void send_heartbeat_if_due(MonitorContext& context, std::time_t round_start,
                           std::int32_t& heartbeat_state);

}  // namespace hv
