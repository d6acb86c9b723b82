#include "notify/selftest.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "notify/outbox.h"
#include "output/sinks.h"
#include "output/timestamp.h"
#include "platform/instance.h"

namespace hv {
namespace {

const char* verdict(int result) {
    return result == 1 ? "OK" : "FAILED";
}

// The report is the command's own output: printed whatever the silent flag says.
void report(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void report_result(const char* channel, int result) {
    std::printf("%s test %s\n", channel, verdict(result));
    std::fflush(stdout);
}

}  // namespace

int run_notification_test(MonitorSettings& settings, AlertSettings& alerts) {
    TimestampText stamp = timestamp_now();

    if (settings.instance_name.empty())
        settings.instance_name.assign(platform::computer_name());
    const char* label =
        settings.instance_name.empty() ? "unknown-host" : settings.instance_name.c_str();

    FixedText<256> subject("[TEST] hostvigil notification test");
    FixedText<8192> long_text;
    long_text.format(
        "This is a test message from hostvigil.\n\nHost: %s\nTime: %s\nTargets: %d\n"
        "Interval: %d sec\nFastRetry: %d sec\nPingCount: %d\nWorkers: %d\n\n"
        "If you received this message, notification is working correctly.\n",
        label, stamp.c_str(), settings.host_count, settings.interval, settings.fast_retry_interval,
        settings.pingcount, settings.workers);
    FixedText<8192> short_text;
    short_text.format(
        "[TEST] hostvigil notification test\nHost: %s\nTime: %s\nTargets: %d\n"
        "Interval: %d sec\nPingCount: %d\nWorkers: %d\n"
        "Email / Telegram / Teams settings are working.",
        label, stamp.c_str(), settings.host_count, settings.interval, settings.pingcount,
        settings.workers);

    // The test goes the way every notice goes, through the delivery queue, with one try per
    // channel and one channel at a time, so its report reads in order.
    ChannelSender sender(alerts);
    int outcome = 0;
    Outbox outbox(sender, 0, OutboxHooks{nullptr, [&outcome](const SettledSend& settled) {
                                             outcome = settled.outcome.exit_code == 0 ? 1 : 0;
                                         }});
    outbox.start();
    auto send = [&](Channel channel, const char* text, const char* body) {
        state::PendingNotice notice;
        notice.channel = channel;
        notice.kind = NoticeKind::test;
        notice.text = text;
        if (body != nullptr)
            notice.body = body;
        notice.first_queued = notice.next_try = static_cast<std::int64_t>(std::time(nullptr));
        outcome = 0;
        outbox.add(0, std::string(), std::move(notice));
        outbox.wait_until_idle(std::chrono::hours(1));
        return outcome;
    };

    int email = 0;
    report("Testing Email alert...\n");
    if (alerts.email_enabled != 0 && !alerts.to.empty()) {
        email = send(Channel::email, subject.c_str(), long_text.c_str());
        report_result("Email", email);
    } else {
        report("Email not configured\n");
        log_event("Email test skipped: email not configured");
    }

    int telegram = 0;
    report("\nTesting Telegram alert...\n");
    if (alerts.telegram_enabled != 0 && !alerts.token.empty() && !alerts.chat_id.empty()) {
        telegram = send(Channel::telegram, short_text.c_str(), nullptr);
        report_result("Telegram", telegram);
    } else {
        report("Telegram not configured\n");
        log_event("Telegram test skipped: telegram not configured");
    }

    int teams = 0;
    report("\nTesting Microsoft Teams alert...\n");
    if (alerts.teams_enabled != 0 && !alerts.teams_webhook.empty()) {
        teams = send(Channel::teams, long_text.c_str(), nullptr);
        report_result("Teams", teams);
    } else {
        report("Teams not configured\n");
        log_event("Teams test skipped: teams_webhook not configured");
    }
    outbox.stop_after_draining(0);

    std::printf("\nTest result:\nEmail    : %s\nTelegram : %s\nTeams    : %s\n", verdict(email),
                verdict(telegram), verdict(teams));
    std::fflush(stdout);

    log_event("***TEST sending : hostvigil notification test");
    log_event("Email test %s", verdict(email));
    log_event("Telegram test %s", verdict(telegram));
    log_event("Teams test %s", verdict(teams));
    return email == 1 || telegram == 1 || teams == 1 ? 0 : 1;
}

}  // namespace hv
