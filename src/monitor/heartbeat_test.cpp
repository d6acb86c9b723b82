#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "monitor/test_support.h"
#include "platform/clock.h"

namespace hv::test {
namespace {

// The calendar time of a local wall-clock time, in whatever zone the test runs (the dates
// chosen have no daylight-saving change).
std::time_t local_at(int year, int month, int day, int hour, int minute) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

class Heartbeat : public MonitorFixture {
  protected:
    void SetUp() override {
        MonitorFixture::SetUp();
        settings.interval = 15;
        settings.fast_retry_interval = 4;
        settings.pingcount = 3;
        settings.workers = 2;
        alerts.email_enabled = 1;
        alerts.iamalive_valid = 1;
        alerts.iamalive.assign("alive@example.org");
    }

    int sends() { return static_cast<int>(take_notices().size()); }
};

TEST_F(Heartbeat, DueOncePerNightOnTheRoundStartTime) {
    struct Round {
        int year, month, day, hour, minute;
        bool sends;
    };
    struct Case {
        const char* name;
        std::vector<Round> rounds;
    };
    const std::vector<Case> cases = {
        {"first round at 00:30 sends at once", {{2026, 12, 11, 0, 30, true}}},
        {"started at 10:00: nothing until the next night",
         {{2026, 12, 11, 10, 0, false}, {2026, 12, 11, 23, 59, false}, {2026, 12, 12, 0, 0, true}}},
        {"two rounds in hour 0: only the first",
         {{2026, 12, 11, 0, 5, true}, {2026, 12, 11, 0, 59, false}, {2026, 12, 11, 1, 0, false}}},
        {"New Year: day 364 then day 0", {{2026, 12, 31, 0, 10, true}, {2027, 1, 1, 0, 10, true}}},
        {"a round past hour 0: the first round of the new day sends",
         {{2026, 12, 11, 0, 10, true},
          {2026, 12, 11, 23, 30, false},
          {2026, 12, 12, 1, 40, true},
          {2026, 12, 12, 2, 0, false}}},
        {"started at 10:00, next round after hour 0 of the next day",
         {{2026, 12, 11, 10, 0, false}, {2026, 12, 12, 1, 30, true}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::int32_t state = -1;
        for (const Round& r : c.rounds) {
            std::time_t t = local_at(r.year, r.month, r.day, r.hour, r.minute);
            send_heartbeat_if_due(context, t, state);
            EXPECT_EQ(sends(), r.sends ? 1 : 0) << r.day << " " << r.hour << ":" << r.minute;
            // Every round, sending or not, leaves its day handled, but for a first round in
            // hour 0 that could not send.
            EXPECT_EQ(state, platform::local_time(t).tm_yday);
        }
    }
}

#ifndef _WIN32
// In America/Santiago, 2024-09-08 starts at 01:00: the clocks go from 23:59:59 (-04) to
// 01:00:00 (-03), so that day has no hour 0 and an hour-0 rule would send nothing.
TEST_F(Heartbeat, DayWithoutHourZeroStillSends) {
    const char* old = std::getenv("TZ");
    const std::string saved = old != nullptr ? old : "";
    setenv("TZ", "America/Santiago", 1);
    tzset();
    std::int32_t state = -1;
    const std::time_t sept7_0010 = 1725682200;  // 2024-09-07 04:10 UTC, 00:10 -04
    const std::time_t sept7_2359 = 1725767970;  // 2024-09-08 03:59:30 UTC, 23:59:30 -04
    const std::time_t sept8_0100 = 1725768010;  // 2024-09-08 04:00:10 UTC, 01:00:10 -03
    const std::tm local = platform::local_time(sept8_0100);
    const bool zone_known = local.tm_hour == 1 && local.tm_mday == 8;
    if (zone_known) {
        send_heartbeat_if_due(context, sept7_0010, state);
        EXPECT_EQ(sends(), 1);
        send_heartbeat_if_due(context, sept7_2359, state);
        EXPECT_EQ(sends(), 0);
        send_heartbeat_if_due(context, sept8_0100, state);
        EXPECT_EQ(sends(), 1);
        send_heartbeat_if_due(context, sept8_0100 + 3600, state);
        EXPECT_EQ(sends(), 0);
    }
    if (old != nullptr)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    if (!zone_known)
        GTEST_SKIP() << "no time zone data for America/Santiago";
}
#endif

TEST_F(Heartbeat, NothingOnAnyChannelWithoutAUsableAddressAndMail) {
    alerts.telegram_enabled = 1;
    const std::time_t t = local_at(2026, 12, 11, 0, 30);
    struct Case {
        const char* name;
        int valid, email;
        const char* iamalive;
    };
    for (const Case& c :
         {Case{"no address with @", 0, 1, "alive@example.org"},
          Case{"e-mail off", 1, 0, "alive@example.org"}, Case{"address emptied later", 1, 1, ""}}) {
        alerts.iamalive_valid = c.valid;
        alerts.email_enabled = c.email;
        alerts.iamalive.assign(c.iamalive);
        std::int32_t state = -1;
        send_heartbeat_if_due(context, t, state);
        EXPECT_EQ(sends(), 0) << c.name;
        EXPECT_EQ(state, -1) << c.name;
    }
}

TEST_F(Heartbeat, TextsListEveryHostAndTheTelegramSummary) {
    add_hosts(3, 20);
    hosts.at(1).last_status.assign("Ping OK 127.0.0.1 received=3/3");
    hosts.at(3).last_status.assign("Ping Timeout... 127.0.0.3 received=0/3 count 1/20");
    alerts.telegram_enabled = 1;
    alerts.teams_enabled = 1;
    std::int32_t state = -1;
    send_heartbeat_if_due(context, local_at(2026, 12, 11, 0, 0), state);

    const std::string subject = "hostvigil is up and running at TS";
    std::vector<std::string> want = {
        "email to=alive@example.org subject=" + subject + " body=" + subject +
            "\n\nInterval: 15 seconds\nFastRetry: 4 seconds\nPingCount: 3\nWorkers: 2\n"
            "Targets: 3\n"
            "Host: 127.0.0.1 Last: Ping OK 127.0.0.1 received=3/3\n"
            "Host: 127.0.0.2 Last: no data\n"
            "Host: 127.0.0.3 Last: Ping Timeout... 127.0.0.3 received=0/3 count 1/20\n",
        // No Teams heartbeat.
        "telegram IAMALIVE\nhostvigil is running\nTargets: 3\nPingCount: 3\nWorkers: 2\nTime: TS",
    };
    EXPECT_EQ(take_notices(), want);
}

TEST_F(Heartbeat, BodyKeepsRoomAndSkipsOnlyLinesThatDoNotFit) {
    // Long lines fill the body; the short last host still fits into what is left.
    add_hosts(30, 20);
    for (int i = 1; i < 30; ++i)
        hosts.at(i).last_status.assign(std::string(500, 'x'));
    hosts.at(30).last_status.assign("short");
    std::int32_t state = -1;
    send_heartbeat_if_due(context, local_at(2026, 12, 11, 0, 0), state);

    std::vector<std::string> notices = take_notices();
    ASSERT_EQ(notices.size(), 1u);
    std::string body = notices[0].substr(notices[0].find(" body=") + 6);
    EXPECT_LT(body.size() + 8, 8192u);
    EXPECT_NE(body.find("Host: 127.0.0.30 Last: short\n"), std::string::npos);
    // Every long line is 524 bytes; the header leaves room for exactly 15 of them.
    std::size_t count = 0;
    for (std::size_t at = body.find(std::string(500, 'x')); at != std::string::npos;
         at = body.find(std::string(500, 'x'), at + 500))
        ++count;
    EXPECT_EQ(count, 15u);
    EXPECT_EQ(body.back(), '\n');
}

}  // namespace
}  // namespace hv::test
