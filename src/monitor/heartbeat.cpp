#include <string>

#include "monitor/monitor.h"
#include "notify/outbox.h"
#include "output/timestamp.h"
#include "platform/clock.h"

namespace hv {
namespace {

using BodyText = FixedText<8192>;

// Room rule: a host line goes in only while the body keeps at least 8 bytes of its buffer
// free; a line that does not fit is left out, and a later, shorter one may still go in.
void append_host_lines(BodyText& body, const MonitorContext& context) {
    const int host_count = context.settings.host_count;
    for (int i = 1; i <= host_count && i <= kMaxHosts; ++i) {
        const HostRecord& record = context.hosts.at(i);
        FixedText<1024> line;
        line.format("Host: %s Last: %s\n", record.host.c_str(),
                    record.last_status.empty() ? "no data" : record.last_status.c_str());
        if (body.size() + line.size() + 8 < 8192)
            body.append(line.view());
    }
}

}  // namespace

bool heartbeat_due(const AlertSettings& alerts, const std::tm& round_start,
                   std::int32_t heartbeat_state) {
    // Once a day has been seen, the first round of any later day sends, whatever its hour: a
    // daylight-saving change may skip hour 0 (America/Santiago on 2024-09-08 goes from 23:59:59
    // to 01:00:00), and a round may run past it.
    return alerts.iamalive_valid != 0 && alerts.email_enabled != 0 && !alerts.iamalive.empty() &&
           round_start.tm_yday != heartbeat_state &&
           (round_start.tm_hour == 0 || heartbeat_state != -1);
}

void send_heartbeat_if_due(MonitorContext& context, std::time_t round_start,
                           std::int32_t& heartbeat_state) {
    const std::tm local = platform::local_time(round_start);
    if (!heartbeat_due(context.alerts, local, heartbeat_state)) {
        // Started after hour 0: this day's heartbeat time has passed, the next day's is due.
        if (heartbeat_state == -1 && local.tm_hour != 0)
            heartbeat_state = local.tm_yday;
        return;
    }

    // The texts carry the time of sending, which may be later than the round start.
    const TimestampText now = timestamp_now();
    const MonitorSettings& settings = context.settings;
    FixedText<256> subject;
    subject.format("hostvigil is up and running at %s", now.c_str());

    BodyText body;
    body.format(
        "hostvigil is up and running at %s\n\nInterval: %d seconds\nFastRetry: %d seconds\n"
        "PingCount: %d\nWorkers: %d\nTargets: %d\n",
        now.c_str(), settings.interval, settings.fast_retry_interval, settings.pingcount,
        settings.workers, settings.host_count);
    append_host_lines(body, context);

    if (context.outbox != nullptr) {
        const std::int64_t queued = std::time(nullptr);
        auto queue = [&](Channel channel, const char* text, const char* body,
                         const char* recipients) {
            state::PendingNotice notice;
            notice.channel = channel;
            notice.kind = NoticeKind::heartbeat;
            notice.text = text;
            notice.body = body;
            notice.recipients = recipients;
            notice.first_queued = queued;
            notice.next_try = queued;
            context.outbox->add(0, std::string(), std::move(notice));
        };
        queue(Channel::email, subject.c_str(), body.c_str(), context.alerts.iamalive.c_str());
        if (channel_ready(context.alerts, Channel::telegram)) {
            BodyText text;
            text.format(
                "IAMALIVE\nhostvigil is running\nTargets: %d\nPingCount: %d\nWorkers: %d\n"
                "Time: %s",
                settings.host_count, settings.pingcount, settings.workers, now.c_str());
            queue(Channel::telegram, text.c_str(), "", "");
        }
    }
    // The day counts as done once its heartbeat is queued: the queue tries it again, the
    // rounds never do.
    heartbeat_state = local.tm_yday;
}

}  // namespace hv
