#include "shell/session.h"

#include <string>

#include "monitor/monitor.h"
#include "notify/channel.h"
#include "notify/outbox.h"
#include "output/sinks.h"
#include "shell/report_files.h"
#include "state/host_state.h"
#include "state/store.h"

namespace hv {
namespace {

void log_dropped(const state::PendingNotice& notice, const std::string& host, const char* why) {
    log_event("Pending %s %s%s%s dropped: %s", state::channel_key(notice.channel),
              state::kind_key(notice.kind), host.empty() ? "" : " for ", host.c_str(), why);
}

// Queues one restored notice, or drops it with a line when its channel is no longer
// configured.
void requeue(MonitorContext& context, Outbox& outbox, int index, const std::string& host,
             state::PendingNotice notice) {
    if (!channel_ready(context.alerts, notice.channel)) {
        log_dropped(notice, host, "the channel is not configured");
        return;
    }
    outbox.add(index, host, std::move(notice), true);
}

// Restores the hosts from the state file and queues their undelivered notices. A notice that
// cannot be sent any more (its channel or its host is gone) is dropped with a line naming it.
void restore(MonitorContext& context, Outbox& outbox) {
    state::Snapshot saved;
    std::string reason;
    switch (state::load_state(state::kStateFile, saved, reason)) {
        case state::LoadResult::loaded:
            break;
        case state::LoadResult::missing:
            return;
        case state::LoadResult::ignored:
            log_event("State file %s ignored (%s); starting fresh", state::kStateFile,
                      reason.c_str());
            return;
        case state::LoadResult::directory:
            log_event("%s is a directory; state will not be kept", state::kStateFile);
            return;
    }
    const int host_count = context.settings.host_count;
    std::vector<state::HostState> removed;
    auto pending = state::restore_hosts(context.hosts, host_count, std::move(saved), &removed);
    for (const state::HostState& host : removed) {
        for (const state::PendingNotice& notice : host.pending)
            log_dropped(notice, host.host, "the host is no longer configured");
    }
    for (state::PendingNotice& notice : pending[0])
        requeue(context, outbox, 0, std::string(), std::move(notice));
    for (int i = 1; i <= host_count; ++i) {
        const std::string host(context.hosts.at(i).host.view());
        for (state::PendingNotice& notice : pending[static_cast<std::size_t>(i)])
            requeue(context, outbox, i, host, std::move(notice));
    }
}

}  // namespace

void run_session(MonitorSettings& settings, HostTable& hosts, AlertSettings& alerts,
                 std::int32_t& heartbeat_state) {
    log_event("hostvigil 1.0 started: %d hosts", settings.host_count);
    state::StateStore store(state::kStateFile);
    RunStats stats;
    ChannelSender sender(alerts);
    ReportFiles report_files(stats);
    MonitorContext context{settings, hosts, alerts, nullptr, &stats, &report_files};
    Outbox outbox(sender, alerts.retry_minutes,
                  OutboxHooks{[&context] { save_state(context); }, nullptr, &stats.sends});
    context.outbox = &outbox;
    context.store = &store;

    restore(context, outbox);
    save_state(context);
    outbox.start();

    monitor_loop(context, heartbeat_state);

    log_event("hostvigil stopping: finishing the sends in flight and queued");
    outbox.stop_after_draining(kStopSendWindowSeconds);
    save_state(context);
    store.flush();
    log_event("hostvigil stopped");
}

}  // namespace hv
