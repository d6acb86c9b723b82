#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "monitor/test_support.h"

namespace hv::test {
namespace {

int host_number(const std::string& host) {
    return std::stoi(host.substr(host.rfind('.') + 1));
}

class WindowSchedule : public MonitorFixture {
  protected:
    void SetUp() override {
        MonitorFixture::SetUp();
        settings.interval = 5;
        settings.fast_retry_interval = 2;
        settings.pingcount = 1;
        settings.schedule = RoundSchedule::window;
    }

    std::string run_loop() {
        ::testing::internal::CaptureStdout();
        std::int32_t heartbeat_state = -1;
        monitor_loop(context, heartbeat_state);
        return ::testing::internal::GetCapturedStdout();
    }
};

// Scripted check durations of 0 to 60 ms over two rounds; host 5 gets no thread and is checked
// inline, and fails in the first round only.
TEST_F(WindowSchedule, AtMostWorkersAtOnceEachHostOncePerRoundInHostOrder) {
    constexpr int kHosts = 23;
    add_hosts(kHosts, 20);
    settings.workers = 4;
    std::mutex mutex;
    std::vector<std::vector<int>> starts(1);
    std::atomic<int> running{0};
    std::atomic<int> most{0};
    fake.refuse_thread = [](int index) { return index == 5; };
    fake.ping_up = [&](const std::string& host) {
        const int n = host_number(host);
        std::size_t round = 0;
        {
            std::lock_guard<std::mutex> guard(mutex);
            starts.back().push_back(n);
            round = starts.size();
        }
        const int now = running.fetch_add(1) + 1;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds((n * 7 % 4) * 20));
        running.fetch_sub(1);
        return !(round == 1 && n == 5);
    };
    std::vector<int> waits;
    int sleeps_this_round = 0;
    fake.on_sleep = [&] {
        ++sleeps_this_round;
        const int wait = starts.size() == 1 ? 2 : 5;
        if (sleeps_this_round < wait)
            return;
        waits.push_back(sleeps_this_round);
        sleeps_this_round = 0;
        if (starts.size() == 2) {
            platform::request_stop();
            return;
        }
        std::lock_guard<std::mutex> guard(mutex);
        starts.emplace_back();
    };
    const std::string out = run_loop();

    std::vector<int> in_order(kHosts);
    for (int n = 1; n <= kHosts; ++n)
        in_order[static_cast<std::size_t>(n - 1)] = n;
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[0], in_order);
    EXPECT_EQ(starts[1], in_order);
    EXPECT_LE(most.load(), 4);
    // The failure of the inline check counts: the first wait is the fast one.
    EXPECT_EQ(waits, (std::vector<int>{2, 5}));
    EXPECT_EQ(log_lines(),
              std::vector<std::string>(
                  2, "TS Unable to create worker thread for host #5; running check inline"));
    // Each round's wait line comes after all of its checks' lines.
    const std::size_t first_wait = out.find("\nWait 2 seconds");
    ASSERT_NE(first_wait, std::string::npos) << out;
    for (int n = 1; n <= kHosts; ++n) {
        const std::string line = "[127.0.0." + std::to_string(n) + "] ";
        EXPECT_LT(out.find(line), first_wait) << n;
        EXPECT_NE(out.find(line, first_wait), std::string::npos) << n;
    }
}

// Host 1 holds its worker until every other host has been checked: with two workers, hosts 2
// to 6 must pass one after the other on the second worker. Batches would hold host 3 back
// behind host 1 and never get there.
TEST_F(WindowSchedule, SlowCheckHoldsOnlyItsOwnWorker) {
    add_hosts(6, 20);
    settings.workers = 2;
    std::mutex mutex;
    std::condition_variable changed;
    int others_done = 0;
    bool host1_waited_in_vain = false;
    fake.ping_up = [&](const std::string& host) {
        std::unique_lock<std::mutex> lock(mutex);
        if (host_number(host) != 1) {
            ++others_done;
            changed.notify_all();
            return true;
        }
        host1_waited_in_vain =
            !changed.wait_for(lock, std::chrono::seconds(20), [&] { return others_done == 5; });
        return true;
    };
    fake.on_sleep = [] { platform::request_stop(); };
    const std::string out = run_loop();

    EXPECT_FALSE(host1_waited_in_vain);
    EXPECT_EQ(fake.ping_calls.load(), 6);
    // Host 1's line is the round's last.
    EXPECT_TRUE(
        out.ends_with("[127.0.0.1] Ping OK 127.0.0.1 received=1/1\n"
                      "\nWait 5 seconds for next time check ...\n"))
        << out;
}

// Host 2 asks for the stop; host 1 goes on until then. The running checks finish (host 1's alert
// still goes out) and no further host is started.
TEST_F(WindowSchedule, StopRequestStartsNoFurtherCheck) {
    add_hosts(6, 1);
    settings.workers = 2;
    fake.ping_up = [](const std::string& host) {
        if (host_number(host) == 2) {
            platform::request_stop();
            return true;
        }
        for (int i = 0; i < 2000 && !platform::stop_requested(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return false;
    };
    const std::string out = run_loop();

    EXPECT_EQ(fake.ping_calls.load(), 2);
    EXPECT_EQ(hosts.at(1).alert_sent, 1);
    EXPECT_EQ(fake.take_notices().size(), 1u);
    EXPECT_EQ(fake.sleeps.load(), 0);
    EXPECT_EQ(out.find("Wait"), std::string::npos) << out;
}

}  // namespace
}  // namespace hv::test
