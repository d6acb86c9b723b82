#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "monitor/test_support.h"

namespace hv::test {
namespace {

int host_number(const std::string& host) {
    return std::stoi(host.substr(host.rfind('.') + 1));
}

/// Records the order in which the loop starts the checks, also of those it has to run inline.
class StartRecorder : public FakeServices {
  public:
    std::thread start_worker(MonitorContext& context, WorkerSlot* slot,
                             std::function<void()> on_end) override {
        starts.push_back(slot->index);
        return FakeServices::start_worker(context, slot, std::move(on_end));
    }
    std::vector<int> starts;  ///< written by the loop's thread only
};

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
    StartRecorder recorder;
    context.services = &recorder;
    std::atomic<int> round{1};
    std::atomic<int> running{0};
    std::atomic<int> most{0};
    recorder.refuse_thread = [](int index) { return index == 5; };
    recorder.ping_up = [&](const std::string& host) {
        const int n = host_number(host);
        const int now = running.fetch_add(1) + 1;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds((n * 7 % 4) * 20));
        running.fetch_sub(1);
        return !(round.load() == 1 && n == 5);
    };
    std::vector<int> waits;
    int sleeps_this_round = 0;
    recorder.on_sleep = [&] {
        ++sleeps_this_round;
        if (sleeps_this_round < (round.load() == 1 ? 2 : 5))
            return;
        waits.push_back(sleeps_this_round);
        sleeps_this_round = 0;
        if (round.fetch_add(1) == 2)
            platform::request_stop();
    };
    const std::string out = run_loop();

    std::vector<int> in_order;
    for (int r = 0; r < 2; ++r)
        for (int n = 1; n <= kHosts; ++n)
            in_order.push_back(n);
    EXPECT_EQ(recorder.starts, in_order);
    EXPECT_EQ(recorder.ping_calls.load(), 2 * kHosts);
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
    EXPECT_TRUE(out.ends_with("\nWait 5 seconds for next time check ...\n")) << out;
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
    EXPECT_EQ(take_notices().size(), 1u);
    EXPECT_EQ(fake.sleeps.load(), 0);
    EXPECT_EQ(out.find("Wait"), std::string::npos) << out;
}

}  // namespace
}  // namespace hv::test
