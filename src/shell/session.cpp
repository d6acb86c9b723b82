#include "shell/session.h"

#include <string>

#include "monitor/monitor.h"
#include "notify/channels.h"
#include "notify/outbox.h"
#include "output/sinks.h"
#include "shell/report_files.h"
#include "state/host_state.h"
#include "state/store.h"

namespace hv {
namespace {

// The real channels, each attempt counted for the reports.
class CountingSender : public NoticeSender {
  public:
    CountingSender(AlertSettings& alerts, RunStats& stats) : channels_(alerts), stats_(stats) {}
    int send(state::Channel channel, state::NoticeKind kind, const std::string& text) override {
        const int exit_code = channels_.send(channel, kind, text);
        stats_.count_send(static_cast<Channel>(channel), exit_code == 0);
        return exit_code;
    }

  private:
    ChannelSender channels_;
    RunStats& stats_;
};

bool channel_ready(const AlertSettings& alerts, state::Channel channel) {
    switch (channel) {
        case state::Channel::email:
            return email_channel_ready(alerts);
        case state::Channel::telegram:
            return telegram_channel_ready(alerts);
        case state::Channel::teams:
            return teams_channel_ready(alerts);
    }
    return false;
}

// Restores the hosts from the state file and queues their undelivered notices. A notice for
// a channel that is no longer configured cannot be sent: it is dropped with a line.
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
    auto pending = state::restore_hosts(context.hosts, host_count, std::move(saved));
    for (int i = 1; i <= host_count; ++i) {
        const std::string host(context.hosts.at(i).host.view());
        for (state::PendingNotice& notice : pending[static_cast<std::size_t>(i)]) {
            if (!channel_ready(context.alerts, notice.channel)) {
                log_event("Pending %s %s for %s dropped: the channel is not configured",
                          state::channel_key(notice.channel), state::kind_key(notice.kind),
                          host.c_str());
                continue;
            }
            outbox.add(i, host, std::move(notice), true);
        }
    }
}

}  // namespace

void run_session(MonitorSettings& settings, HostTable& hosts, AlertSettings& alerts,
                 std::int32_t& heartbeat_state) {
    log_event("hostvigil 1.0 started: %d hosts", settings.host_count);
    state::StateStore store(state::kStateFile);
    RunStats stats;
    CountingSender sender(alerts, stats);
    // The state file is written by save_state, with the pending notices; the report files
    // only render the status page and the metrics.
    ReportFiles report_files(stats, nullptr);
    MonitorContext context{settings, hosts, alerts, nullptr, &stats, &report_files};
    Outbox outbox(sender, alerts.retry_minutes, [&context] { save_state(context); });
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
