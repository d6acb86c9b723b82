#include <climits>
#include <ctime>
#include <mutex>
#include <string_view>

#include "config/host_text.h"
#include "monitor/monitor.h"
#include "notify/channel.h"
#include "notify/outbox.h"
#include "output/sinks.h"
#include "output/timestamp.h"

namespace hv {
namespace {

using NoticeText = FixedText<512>;

// "default" in any letter case, or nothing at all, asks for the built-in notice text.
bool wants_builtin_text(std::string_view message) {
    constexpr std::string_view kDefault = "default";
    if (message.empty())
        return true;
    if (message.size() != kDefault.size())
        return false;
    for (std::size_t i = 0; i < message.size(); ++i) {
        char c = message[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != kDefault[i])
            return false;
    }
    return true;
}

void format_alert_sent_status(NoticeText& text, const HostRecord& record, int pingcount) {
    text.format("Ping Timeout... %s received=0/%d (alert already sent)", record.host.c_str(),
                pingcount);
}

// Logs the notice and hands it to the delivery queue, one entry per channel that is configured
// and carries its kind. Called with the host-state lock held, in the same step that marks the
// host's alert sent or cleared, so no state written in between can show the one without the
// other.
void queue_notice(MonitorContext& context, int index, const HostRecord& record,
                  const NoticeText& notice, NoticeKind kind) {
    log_event("***Alert sending : %s", notice.c_str());
    if (context.outbox == nullptr)
        return;
    const std::string host(record.host.view());
    const std::int64_t now = std::time(nullptr);
    for (Channel channel : kAllChannels) {
        if (!channel_carries(channel, kind) || !channel_ready(context.alerts, channel))
            continue;
        state::PendingNotice pending;
        pending.channel = channel;
        pending.kind = kind;
        pending.text = std::string(notice.view());
        pending.first_queued = now;
        pending.next_try = now;
        context.outbox->add(index, host, std::move(pending));
    }
}

// A name that does not resolve is logged once per outage, so that DNS trouble can be told from
// a dead host without a line every check; so is a fallback skipped because the name's look-up
// from an earlier check is still running. Called with the host-state lock held.
void note_name_lookup(HostRecord& record, bool name_failed, bool lookup_pending) {
    if (name_failed && record.name_failed == 0) {
        record.name_failed = 1;
        log_event("Name lookup failed for %s", record.host.c_str());
    }
    if (lookup_pending && record.lookup_pending == 0) {
        record.lookup_pending = 1;
        log_event("Name lookup for %s still pending; TCP check skipped", record.host.c_str());
    }
}

HostCondition state_of(const HostRecord& record) {
    if (record.alert_sent != 0)
        return HostCondition::alert;
    return record.fail_count > 0 ? HostCondition::down : HostCondition::up;
}

// Called under the host-state lock once the check has updated the record; `was_up` is how
// the record stood before. The alert going out does not move `state_since`: it tells since
// when the host is down.
void note_result(HostRecord& record, bool was_up, bool up) {
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    if (record.state_since == 0 || was_up != up)
        record.state_since = now;
    record.last_check_time = now;
    record.history.record(up, state_of(record), now);
}

void on_failure(MonitorContext& context, HostRecord& record, WorkerSlot& slot, bool name_failed,
                bool lookup_pending) {
    const int pingcount = context.settings.pingcount;
    std::unique_lock<std::mutex> lock(host_state_lock());
    const bool was_up = state_of(record) == HostCondition::up;
    slot.failed = 1;
    note_name_lookup(record, name_failed, lookup_pending);
    // A host that stays down for ages keeps counting; stop at the top instead of overflowing.
    if (record.fail_count < INT32_MAX)
        ++record.fail_count;

    NoticeText failure;
    if (record.alert_sent != 0) {
        format_alert_sent_status(failure, record, pingcount);
    } else {
        failure.format("Ping Timeout... %s received=0/%d count %d/%d", record.host.c_str(),
                       pingcount, record.fail_count, record.alertcount);
    }
    record.last_status.assign(failure.view());
    console_print("[%s] %s\n", record.host.c_str(), failure.c_str());

    if (record.fail_count < record.alertcount || record.alert_sent != 0) {
        note_result(record, was_up, false);
        lock.unlock();
        if (was_up)
            save_state(context);
        return;
    }

    // Marked and queued before the lock is released, so no other path can raise the same alert
    // twice and no state written meanwhile holds the mark without the notice.
    record.alert_sent = 1;
    note_result(record, was_up, false);
    NoticeText notice;
    const NoticeText& detail = wants_builtin_text(record.pinglossmsg.view())
                                   ? failure
                                   : NoticeText(record.pinglossmsg.view());
    notice.format("%s %s", timestamp_now().c_str(), detail.c_str());
    queue_notice(context, slot.index, record, notice, NoticeKind::alert);
    NoticeText status;
    format_alert_sent_status(status, record, pingcount);
    record.last_status.assign(status.view());
    lock.unlock();
    save_state(context);
}

void on_success(MonitorContext& context, HostRecord& record, int index, const StatusText& status,
                std::int64_t rtt_us) {
    std::unique_lock<std::mutex> lock(host_state_lock());
    const bool was_up = state_of(record) == HostCondition::up;
    record.last_status.assign(status.view());
    console_print("[%s] %s\n", record.host.c_str(), status.c_str());
    record.fail_count = 0;
    record.name_failed = 0;
    record.lookup_pending = 0;
    // A host that answered only over TCP keeps its last ping time.
    if (rtt_us >= 0)
        record.history.last_rtt_us = rtt_us;
    const bool was_alerted = record.alert_sent != 0;
    record.alert_sent = 0;
    note_result(record, was_up, true);
    if (was_alerted) {
        NoticeText notice;
        if (wants_builtin_text(record.pingbackmsg.view()))
            notice.format("Back to normal.%s %s", timestamp_now().c_str(), status.c_str());
        else
            notice.format("%s %s", timestamp_now().c_str(), record.pingbackmsg.c_str());
        queue_notice(context, index, record, notice, NoticeKind::recovery);
    }
    lock.unlock();
    if (was_alerted || !was_up)
        save_state(context);
}

}  // namespace

std::mutex& host_state_lock() {
    static std::mutex lock;
    return lock;
}

int check_host(MonitorContext& context, WorkerSlot* slot) {
    if (slot == nullptr)
        return 0;
    if (slot->index < 1 || slot->index > kMaxHosts)
        return 0;
    HostRecord& record = context.hosts.at(slot->index);
    slot->failed = 0;

    // Probes run without the lock: they take seconds, and other hosts must go on meanwhile.
    MonitorServices& services = context.use();
    StatusText status;
    std::int64_t rtt_us = -1;
    bool up = false;
    bool name_failed = false;
    bool lookup_pending = false;
    // A host text that could be taken for an option or hold shell characters is never handed
    // to a program or the resolver: it simply counts as down.
    if (is_usable_host(record.host.view())) {
        PingResult ping = services.ping(record.host.c_str(), record.timeoutsec,
                                        context.settings.pingcount, status);
        // A ping cut short by the stop request says nothing about the host: its state stays.
        if (ping.interrupted)
            return 0;
        up = ping.replies > 0;
        rtt_us = ping.rtt_us;
        name_failed = ping.name_failed;
        // When ping could not resolve the name, the fallback's own look-up would only wait
        // for the same answer again.
        if (!up && !name_failed && record.tcpfallback != 0) {
            FallbackResult tcp =
                services.tcp_fallback(record.host.c_str(), record.timeoutsec, status);
            up = tcp.reachable;
            name_failed = tcp.name_failed;
            lookup_pending = tcp.lookup_pending;
        }
    }

    if (up)
        on_success(context, record, slot->index, status, rtt_us);
    else
        on_failure(context, record, *slot, name_failed, lookup_pending);
    return 0;
}

}  // namespace hv
