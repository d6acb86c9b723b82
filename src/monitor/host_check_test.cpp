#include <string>
#include <vector>

#include "monitor/test_support.h"

namespace hv::test {
namespace {

// One check of a scripted sequence and everything it should leave behind.
struct Step {
    char outcome;  // 'D' down, 'U' up
    std::string console;
    int fail_count;
    int alert_sent;
    std::string last_status;
    std::vector<std::string> notices;
};

struct Sequence {
    const char* name;
    int alertcount;
    const char* pinglossmsg;
    const char* pingbackmsg;
    bool telegram;
    bool teams;
    std::vector<Step> steps;
};

const std::string kHost = "127.0.0.1";
const std::string kAlertSent = "Ping Timeout... 127.0.0.1 received=0/3 (alert already sent)";
const std::string kUp = "Ping OK 127.0.0.1 received=3/3";

std::string count_text(int count, int of) {
    return "Ping Timeout... 127.0.0.1 received=0/3 count " + std::to_string(count) + "/" +
           std::to_string(of);
}
std::string line(const std::string& text) {
    return "[" + kHost + "] " + text + "\n";
}
std::string email(const std::string& notice) {
    return "email to=ops@example.org subject=" + notice + " body=" + notice + "\n";
}

std::vector<Sequence> sequences() {
    const std::string alert3 = "TS " + count_text(3, 3);
    const std::string back = "Back to normal.TS " + kUp;
    return {
        {"alertcount 3, built-in texts, every channel",
         3,
         "default",
         "default",
         true,
         true,
         {
             {'D', line(count_text(1, 3)), 1, 0, count_text(1, 3), {}},
             {'D', line(count_text(2, 3)), 2, 0, count_text(2, 3), {}},
             // The count goes on past the alert: it tells the failed checks in a row.
             {'D',
              line(count_text(3, 3)),
              3,
              1,
              kAlertSent,
              {email(alert3), "telegram " + alert3, "teams " + alert3}},
             {'D', line(kAlertSent), 4, 1, kAlertSent, {}},
             {'D', line(kAlertSent), 5, 1, kAlertSent, {}},
             // Recovery goes to e-mail and Telegram, never to Teams.
             {'U', line(kUp), 0, 0, kUp, {email(back), "telegram " + back}},
             {'U', line(kUp), 0, 0, kUp, {}},
             {'D', line(count_text(1, 3)), 1, 0, count_text(1, 3), {}},
         }},
        {"alertcount 1, custom texts, e-mail only",
         1,
         "Router lost",
         "Router back",
         false,
         false,
         {
             {'D', line(count_text(1, 1)), 1, 1, kAlertSent, {email("TS Router lost")}},
             {'D', line(kAlertSent), 2, 1, kAlertSent, {}},
             {'U', line(kUp), 0, 0, kUp, {email("TS Router back")}},
             {'D', line(count_text(1, 1)), 1, 1, kAlertSent, {email("TS Router lost")}},
         }},
        {"alertcount 2, any case of default or empty, Teams without Telegram",
         2,
         "DeFaULT",
         "",
         false,
         true,
         {
             // One success resets the count: alternating never alerts.
             {'D', line(count_text(1, 2)), 1, 0, count_text(1, 2), {}},
             {'U', line(kUp), 0, 0, kUp, {}},
             {'D', line(count_text(1, 2)), 1, 0, count_text(1, 2), {}},
             {'U', line(kUp), 0, 0, kUp, {}},
             {'D', line(count_text(1, 2)), 1, 0, count_text(1, 2), {}},
             {'D',
              line(count_text(2, 2)),
              2,
              1,
              kAlertSent,
              {email("TS " + count_text(2, 2)), "teams TS " + count_text(2, 2)}},
             {'U', line(kUp), 0, 0, kUp, {email(back)}},
         }},
        {"alertcount 2, DEFAULT loss text and custom back text",
         2,
         "DEFAULT",
         "default!",
         true,
         false,
         {
             {'D', line(count_text(1, 2)), 1, 0, count_text(1, 2), {}},
             {'D',
              line(count_text(2, 2)),
              2,
              1,
              kAlertSent,
              {email("TS " + count_text(2, 2)), "telegram TS " + count_text(2, 2)}},
             {'U', line(kUp), 0, 0, kUp, {email("TS default!"), "telegram TS default!"}},
         }},
    };
}

class HostCheck : public MonitorFixture {
  protected:
    void SetUp() override {
        MonitorFixture::SetUp();
        settings.pingcount = 3;
        alerts.to.assign("ops@example.org");
        add_hosts(1, 20);
    }

    // Runs one check; returns what it printed.
    std::string check(WorkerSlot& slot) {
        ::testing::internal::CaptureStdout();
        check_host(context, &slot);
        return ::testing::internal::GetCapturedStdout();
    }
};

TEST_F(HostCheck, StateMachineFollowsEachSequence) {
    for (const Sequence& seq : sequences()) {
        SCOPED_TRACE(seq.name);
        HostRecord& record = hosts.at(1);
        record = HostRecord{};
        record.host.assign(kHost);
        record.alertcount = seq.alertcount;
        record.pinglossmsg.assign(seq.pinglossmsg);
        record.pingbackmsg.assign(seq.pingbackmsg);
        alerts.telegram_enabled = seq.telegram;
        alerts.teams_enabled = seq.teams;
        bool up = true;
        fake.ping_up = [&up](const std::string&) { return up; };
        take_notices();
        std::size_t expected_log_lines = log_lines().size();

        for (std::size_t i = 0; i < seq.steps.size(); ++i) {
            const Step& step = seq.steps[i];
            SCOPED_TRACE("step " + std::to_string(i + 1));
            up = step.outcome == 'U';
            WorkerSlot slot{1, 7};
            EXPECT_EQ(check(slot), step.console);
            EXPECT_EQ(slot.failed, up ? 0 : 1);
            EXPECT_EQ(record.fail_count, step.fail_count);
            EXPECT_EQ(record.alert_sent, step.alert_sent);
            EXPECT_EQ(record.last_status.view(), step.last_status);
            std::vector<std::string> notices = take_notices();
            EXPECT_EQ(notices, step.notices);

            // Every notice leaves one event-log line with its text before any send, then one
            // line for each channel that delivered it.
            std::vector<std::string> log = log_lines();
            ASSERT_GE(log.size(), expected_log_lines);
            std::vector<std::string> added(log.begin() + static_cast<long>(expected_log_lines),
                                           log.end());
            expected_log_lines = log.size();
            if (step.notices.empty()) {
                EXPECT_TRUE(added.empty());
                continue;
            }
            ASSERT_EQ(added.size(), step.notices.size() + 1);
            std::string notice = notices[0].substr(notices[0].find(" subject=") + 9);
            notice = notice.substr(0, notice.find(" body="));
            EXPECT_EQ(added[0], "TS ***Alert sending : " + notice);
            const std::string kind = step.outcome == 'D' ? "alert" : "recovery notice";
            for (std::size_t k = 1; k < added.size(); ++k)
                EXPECT_TRUE(std::regex_match(
                    added[k],
                    std::regex("TS (Mail|Telegram|Teams) " + kind + " for 127\\.0\\.0\\.1 sent")))
                    << added[k];
        }
    }
}

TEST_F(HostCheck, KeepsWhatTheReportsShow) {
    alerts.email_enabled = 1;
    alerts.telegram_enabled = 1;
    HostRecord& record = hosts.at(1);
    record.alertcount = 2;
    const HostHistory& history = record.history;
    bool up = true;
    fake.ping_up = [&up](const std::string&) { return up; };
    fake.rtt_us = 1234;
    WorkerSlot slot{1, 0};

    check(slot);
    EXPECT_EQ(history.state, HostCondition::up);
    EXPECT_EQ(history.last_rtt_us, 1234);
    EXPECT_NE(record.state_since, 0);
    EXPECT_NE(record.last_check_time, 0);

    // Going down moves `state_since`; the alert going out later does not.
    record.state_since = 1;
    up = false;
    check(slot);
    EXPECT_EQ(history.state, HostCondition::down);
    const std::int64_t down_since = record.state_since;
    EXPECT_GT(down_since, 1);
    record.state_since = 2;
    check(slot);
    EXPECT_EQ(history.state, HostCondition::alert);
    EXPECT_EQ(record.state_since, 2);
    EXPECT_EQ(history.last_rtt_us, 1234) << "a failed check keeps the last round trip";

    // An answer only over TCP carries no round trip; the recovery goes out on two channels.
    fake.tcp_up = [](const std::string&) { return true; };
    check(slot);
    EXPECT_EQ(history.state, HostCondition::up);
    EXPECT_EQ(history.last_rtt_us, 1234);
    EXPECT_NE(record.state_since, 2);
    EXPECT_EQ(history.recent_count, 4);
    EXPECT_EQ(history.recent_bits, 0b1001u);
    EXPECT_DOUBLE_EQ(history.availability(record.last_check_time), 0.5);
    take_notices();
    EXPECT_EQ(stats.sends[static_cast<int>(Channel::email)][0].load(), 2u);
    EXPECT_EQ(stats.sends[static_cast<int>(Channel::telegram)][0].load(), 2u);
    EXPECT_EQ(stats.sends[static_cast<int>(Channel::teams)][0].load(), 0u);
}

TEST_F(HostCheck, TcpFallbackDecidesOnlyWhenEnabled) {
    fake.ping_up = [](const std::string&) { return false; };
    fake.tcp_up = [](const std::string&) { return true; };
    WorkerSlot slot{1, 0};
    EXPECT_EQ(check(slot), "[127.0.0.1] Ping blocked but TCP reachable: 127.0.0.1\n");
    EXPECT_EQ(slot.failed, 0);
    EXPECT_EQ(hosts.at(1).last_status.view(), "Ping blocked but TCP reachable: 127.0.0.1");

    hosts.at(1).tcpfallback = 0;
    EXPECT_EQ(check(slot), "[127.0.0.1] Ping Timeout... 127.0.0.1 received=0/3 count 1/20\n");
    EXPECT_EQ(slot.failed, 1);
    EXPECT_EQ(fake.tcp_calls.load(), 1);
}

// Which probe could not resolve the name decides whether the fallback runs; the event log gets
// one line per outage, however many checks of it fail the same way.
TEST_F(HostCheck, FailedNameLookupIsLoggedOncePerOutage) {
    struct Step {
        char outcome;  // 'P' ping says the name does not resolve, 'T' the fallback's look-up
                       // fails, 'D' down with the name resolved, 'U' up
        int tcp_calls;
        int log_lines;
    };
    const Step steps[] = {
        {'P', 0, 1}, {'P', 0, 1}, {'T', 1, 1}, {'D', 2, 1}, {'U', 2, 1}, {'T', 3, 2}, {'P', 3, 2},
    };
    hosts.at(1).host.assign("nas-missing.lab");
    char outcome = 'U';
    fake.ping_up = [&](const std::string&) { return outcome == 'U'; };
    fake.ping_name_failed = [&](const std::string&) { return outcome == 'P'; };
    fake.tcp_name_failed = [&](const std::string&) { return outcome == 'T'; };
    int n = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(++n);
        outcome = step.outcome;
        WorkerSlot slot{1, 0};
        std::string printed = check(slot);
        EXPECT_EQ(slot.failed, outcome == 'U' ? 0 : 1);
        EXPECT_EQ(printed.find("Name lookup"), std::string::npos) << "console is unchanged";
        EXPECT_EQ(fake.tcp_calls.load(), step.tcp_calls);
        std::vector<std::string> log = log_lines();
        EXPECT_EQ(log.size(), static_cast<std::size_t>(step.log_lines));
        for (const std::string& line : log)
            EXPECT_EQ(line, "TS Name lookup failed for nas-missing.lab");
    }

    // Without the fallback, ping's word alone is logged.
    hosts.at(1).tcpfallback = 0;
    outcome = 'U';
    WorkerSlot slot{1, 0};
    check(slot);
    outcome = 'P';
    check(slot);
    EXPECT_EQ(log_lines().size(), 3u);
}

TEST_F(HostCheck, OnlyAPositiveReplyCountIsUp) {
    hosts.at(1).tcpfallback = 0;
    struct Case {
        int replies;
        int failed;
        const char* console;
    } cases[] = {
        {3, 0, "[127.0.0.1] Ping OK 127.0.0.1 received=3/3\n"},
        {1, 0, "[127.0.0.1] Ping OK 127.0.0.1 received=1/3\n"},
        {0, 1, "[127.0.0.1] Ping Timeout... 127.0.0.1 received=0/3 count 1/20\n"},
        // A failed ping run reports a negative count: that is no reply either.
        {-1, 1, "[127.0.0.1] Ping Timeout... 127.0.0.1 received=0/3 count 1/20\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.replies);
        hosts.at(1).fail_count = 0;
        fake.ping_replies = [&c](const std::string&, int) { return c.replies; };
        WorkerSlot slot{1, 0};
        EXPECT_EQ(check(slot), c.console);
        EXPECT_EQ(slot.failed, c.failed);
        EXPECT_EQ(hosts.at(1).fail_count, c.failed);
    }
}

TEST_F(HostCheck, PingEndedByTheStopChangesNothing) {
    // A host one failure short of its alert: a ping cut short by the stop must not raise it,
    // nor count, nor reset the count, nor try the fallback.
    HostRecord& record = hosts.at(1);
    record.alertcount = 3;
    record.fail_count = 2;
    record.last_status.assign("before");
    fake.ping_interrupted = [](const std::string&) { return true; };
    WorkerSlot slot{1, 0};
    EXPECT_EQ(check(slot), "");
    EXPECT_EQ(slot.failed, 0);
    EXPECT_EQ(record.fail_count, 2);
    EXPECT_EQ(record.alert_sent, 0);
    EXPECT_EQ(std::string(record.last_status.c_str()), "before");
    EXPECT_EQ(fake.tcp_calls.load(), 0);
    EXPECT_TRUE(take_notices().empty());
}

TEST_F(HostCheck, UnusableHostFailsWithoutAnyProbe) {
    for (const char* host : {"-oProxyCommand=x", "a;b", ""}) {
        hosts.at(1).host.assign(host);
        hosts.at(1).fail_count = 0;
        WorkerSlot slot{1, 0};
        check(slot);
        EXPECT_EQ(slot.failed, 1) << host;
        EXPECT_EQ(hosts.at(1).fail_count, 1) << host;
    }
    EXPECT_EQ(fake.ping_calls.load(), 0);
    EXPECT_EQ(fake.tcp_calls.load(), 0);
}

TEST_F(HostCheck, MissingOrOutOfRangeSlotChangesNothing) {
    EXPECT_EQ(check_host(context, nullptr), 0);
    for (int index : {0, -1, kMaxHosts + 1}) {
        WorkerSlot slot{index, 5};
        EXPECT_EQ(check_host(context, &slot), 0);
        EXPECT_EQ(slot.failed, 5);
    }
    EXPECT_EQ(fake.ping_calls.load(), 0);
}

}  // namespace
}  // namespace hv::test
