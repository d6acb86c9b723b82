#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "monitor/test_support.h"
#include "platform/clock.h"

namespace hv::test {
namespace {

int host_number(const std::string& host) {
    return std::stoi(host.substr(host.rfind('.') + 1));
}

class MonitorLoop : public MonitorFixture {
  protected:
    void SetUp() override {
        MonitorFixture::SetUp();
        settings.interval = 5;
        settings.fast_retry_interval = 2;
        settings.pingcount = 1;
    }
};

TEST_F(MonitorLoop, BatchesRunInHostOrderAndEachWaitsForTheLast) {
    add_hosts(5, 20);
    settings.workers = 2;
    std::mutex mutex;
    std::vector<std::string> events;
    int round = 0;
    // Batches are {1, 2}, {3, 4} and {5}. Each check waits until every check of its batch has
    // started, so none can end before its partner starts when they run together; a loop that
    // ran them one after the other shows in the order once the wait gives up.
    std::condition_variable started_cv;
    std::map<int, int> started;
    fake.ping_up = [&](const std::string& host) {
        int n = host_number(host);
        int batch = (n - 1) / 2;
        int size = n == 5 ? 1 : 2;
        std::unique_lock<std::mutex> lock(mutex);
        events.push_back("start " + std::to_string(n));
        ++started[batch];
        started_cv.notify_all();
        started_cv.wait_for(lock, std::chrono::seconds(5), [&] { return started[batch] >= size; });
        events.push_back("end " + std::to_string(n));
        return true;
    };
    fake.on_sleep = [&] {
        ++round;
        platform::request_stop();
    };
    ::testing::internal::CaptureStdout();
    std::int32_t heartbeat_state = -1;
    monitor_loop(context, heartbeat_state);
    std::string out = ::testing::internal::GetCapturedStdout();

    ASSERT_EQ(events.size(), 10u);
    // Each batch is a block: both its checks start before either ends, and the next batch
    // starts only after both have ended.
    auto batch = [&](std::size_t at, int a, int b) {
        std::vector<std::string> got(events.begin() + static_cast<long>(at),
                                     events.begin() + static_cast<long>(at) + (b ? 4 : 2));
        std::sort(got.begin(), got.end());
        std::vector<std::string> want{"end " + std::to_string(a), "start " + std::to_string(a)};
        if (b) {
            want = {"end " + std::to_string(a), "end " + std::to_string(b),
                    "start " + std::to_string(a), "start " + std::to_string(b)};
        }
        EXPECT_EQ(got, want) << at;
        EXPECT_EQ(events[at].substr(0, 5), "start");
        if (b) {
            EXPECT_EQ(events[at + 1].substr(0, 5), "start");
        }
    };
    batch(0, 1, 2);
    batch(4, 3, 4);
    batch(8, 5, 0);
    EXPECT_TRUE(
        out.ends_with("[127.0.0.5] Ping OK 127.0.0.5 received=1/1\n"
                      "\nWait 5 seconds for next time check ...\n"))
        << out;
    EXPECT_EQ(round, 1);
}

TEST_F(MonitorLoop, WaitIsFastRetryAfterAnyFailureAndIntervalOtherwise) {
    add_hosts(4, 20);
    settings.workers = 3;
    // Round 1: host 4 (in the second batch) fails; round 2: all up; round 3: host 1 fails.
    int round = 1;
    fake.ping_up = [&round](const std::string& host) {
        int n = host_number(host);
        return !((round == 1 && n == 4) || (round == 3 && n == 1));
    };
    std::vector<int> sleeps_per_round(4, 0);
    fake.on_sleep = [&] {
        ++sleeps_per_round[static_cast<std::size_t>(round)];
        int wait = round == 2 ? 5 : 2;
        if (sleeps_per_round[static_cast<std::size_t>(round)] == wait) {
            if (round == 3)
                platform::request_stop();
            ++round;
        }
    };
    ::testing::internal::CaptureStdout();
    std::int32_t heartbeat_state = -1;
    monitor_loop(context, heartbeat_state);
    std::string out = ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(sleeps_per_round, (std::vector<int>{0, 2, 5, 2}));
    std::size_t at = 0;
    for (int wait : {2, 5, 2}) {
        std::string line = "\nWait " + std::to_string(wait) + " seconds for next time check ...\n";
        at = out.find(line, at);
        ASSERT_NE(at, std::string::npos) << wait << "\n" << out;
        ++at;
    }
}

TEST_F(MonitorLoop, WorkerThatCannotStartRunsInlineAndStillCounts) {
    add_hosts(4, 20);
    settings.workers = 4;
    fake.refuse_thread = [](int index) { return index == 3; };
    fake.ping_up = [](const std::string& host) { return host_number(host) != 3; };
    fake.on_sleep = [] { platform::request_stop(); };
    ::testing::internal::CaptureStdout();
    std::int32_t heartbeat_state = -1;
    monitor_loop(context, heartbeat_state);
    std::string out = ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(fake.ping_calls.load(), 4);
    EXPECT_EQ(hosts.at(3).fail_count, 1);
    EXPECT_NE(out.find("[127.0.0.3] Ping Timeout... 127.0.0.3 received=0/1 count 1/20\n"),
              std::string::npos);
    EXPECT_NE(out.find("\nWait 2 seconds for next time check ...\n"), std::string::npos);
    EXPECT_EQ(log_lines(),
              (std::vector<std::string>{
                  "TS Unable to create worker thread for host #3; running check inline"}));
}

TEST_F(MonitorLoop, NoHostsOnlyWaitsTheInterval) {
    settings.host_count = 0;
    fake.on_sleep = [this] {
        if (fake.sleeps.load() == 5)
            platform::request_stop();
    };
    ::testing::internal::CaptureStdout();
    std::int32_t heartbeat_state = -1;
    monitor_loop(context, heartbeat_state);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "\nWait 5 seconds for next time check ...\n");
    EXPECT_EQ(fake.ping_calls.load(), 0);
}

TEST_F(MonitorLoop, StopDuringBatchFinishesItAndStartsNoOther) {
    add_hosts(5, 1);
    settings.workers = 2;
    // Host 1 asks for the stop while host 2 is still being checked; host 2's alert still goes.
    std::mutex mutex;
    std::condition_variable stop_cv;
    fake.ping_up = [&](const std::string& host) {
        std::unique_lock<std::mutex> lock(mutex);
        if (host_number(host) == 1) {
            platform::request_stop();
            stop_cv.notify_all();
        } else {
            stop_cv.wait_for(lock, std::chrono::seconds(5),
                             [] { return platform::stop_requested(); });
        }
        return host_number(host) != 2;
    };
    ::testing::internal::CaptureStdout();
    std::int32_t heartbeat_state = -1;
    monitor_loop(context, heartbeat_state);
    std::string out = ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(fake.ping_calls.load(), 2);
    EXPECT_EQ(hosts.at(2).alert_sent, 1);
    EXPECT_EQ(take_notices().size(), 1u);
    EXPECT_EQ(fake.sleeps.load(), 0);
    EXPECT_EQ(out.find("Wait"), std::string::npos);
}

// Fifty workers and hosts that change state every round: every transition must give exactly one
// notice and nothing may race (this test runs under ThreadSanitizer in the sanitizer stage).
TEST_F(MonitorLoop, FlappingHostsUnderFiftyWorkersGiveOneNoticePerTransition) {
    constexpr int kHosts = 120;
    constexpr int kRounds = 12;
    add_hosts(kHosts, 1);
    settings.workers = kMaxWorkers;
    settings.interval = 1;
    settings.fast_retry_interval = 1;
    alerts.to.assign("ops@example.org");
    alerts.telegram_enabled = 1;
    std::atomic<int> round{0};
    // Odd hosts start down, even ones up; every host flips each round.
    fake.ping_up = [&round](const std::string& host) {
        return (host_number(host) + round.load()) % 2 == 0;
    };
    fake.on_sleep = [&round] {
        if (round.fetch_add(1) + 1 == kRounds)
            platform::request_stop();
    };
    ::testing::internal::CaptureStdout();
    std::int32_t heartbeat_state = -1;
    monitor_loop(context, heartbeat_state);
    ::testing::internal::GetCapturedStdout();

    std::map<int, int> emails;
    std::map<int, int> telegrams;
    for (const std::string& notice : take_notices()) {
        std::size_t at = notice.find("127.0.0.");
        ASSERT_NE(at, std::string::npos) << notice;
        // "127.0.0.<n>" is followed by a blank in every notice text.
        int n = std::stoi(notice.substr(at + 8));
        ++(notice.rfind("email", 0) == 0 ? emails : telegrams)[n];
    }
    for (int n = 1; n <= kHosts; ++n) {
        // A host that starts up has nothing to recover from in round 1.
        int expected = n % 2 == 0 ? kRounds - 1 : kRounds;
        EXPECT_EQ(emails[n], expected) << n;
        EXPECT_EQ(telegrams[n], expected) << n;
    }
    // One "***Alert sending" line per transition, and one "sent" line per channel send.
    const int transitions = kHosts * kRounds - kHosts / 2;
    int announced = 0;
    int sent = 0;
    for (const std::string& line : log_lines()) {
        announced += line.find("***Alert sending : ") != std::string::npos ? 1 : 0;
        sent += line.ends_with(" sent") ? 1 : 0;
    }
    EXPECT_EQ(announced, transitions);
    EXPECT_EQ(sent, 2 * transitions);
}

// The heartbeat is a notice like any other: a channel that stalls on it holds no round.
TEST_F(MonitorLoop, AStalledHeartbeatHoldsNoRound) {
    add_hosts(2, 3);
    settings.interval = 1;
    alerts.iamalive_valid = 1;
    alerts.iamalive.assign("alive@example.org");
    sender.stall = [](const state::PendingNotice& notice) {
        return notice.kind == NoticeKind::heartbeat;
    };
    int rounds = 0;
    fake.on_sleep = [&rounds] {
        if (++rounds == 5)
            platform::request_stop();
    };
    // An earlier day was handled and this is another one: the first round owes the heartbeat,
    // whatever the hour.
    const std::time_t now = std::time(nullptr);
    std::int32_t heartbeat_state = (platform::local_time(now).tm_yday + 183) % 366;
    ::testing::internal::CaptureStdout();
    monitor_loop(context, heartbeat_state);
    ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(fake.ping_calls.load(), 10);
    EXPECT_EQ(outbox.pending(2)[0].size(), 1u) << "the heartbeat still waits for its channel";
    sender.release();
    const std::vector<std::string> sent = take_notices();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(sent[0].starts_with("email to=alive@example.org subject=hostvigil is up"))
        << sent[0];
}

}  // namespace
}  // namespace hv::test
