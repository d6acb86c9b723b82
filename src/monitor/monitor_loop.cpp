#include <array>
#include <chrono>
#include <ctime>
#include <new>
#include <system_error>
#include <thread>

#include "monitor/monitor.h"
#include "monitor/window_schedule.h"
#include "output/sinks.h"
#include "platform/stop.h"

namespace hv {
namespace {

int clamp(int value, int low, int high) {
    return value < low ? low : (value > high ? high : value);
}

// Checks hosts first .. first+workers-1 (not beyond host_count) at the same time: every thread
// of the batch is started before the first join. Returns true when any of them failed.
bool run_batch(MonitorContext& context, SlotTable& slots, int first, int last) {
    MonitorServices& services = context.use();
    std::array<std::thread, kMaxWorkers> workers;
    std::size_t started = 0;
    bool any_failed = false;

    for (int j = first; j <= last; ++j) {
        WorkerSlot& slot = slots[static_cast<std::size_t>(j)];
        slot.index = j;
        slot.failed = 0;
        try {
            workers[started] = services.start_worker(context, &slot, nullptr);
            ++started;
        } catch (const std::system_error&) {
            log_event("Unable to create worker thread for host #%d; running check inline", j);
            check_host(context, &slot);
        } catch (const std::bad_alloc&) {
            log_event("Unable to create worker thread for host #%d; running check inline", j);
            check_host(context, &slot);
        }
    }
    for (std::size_t i = 0; i < started; ++i)
        workers[i].join();

    for (int j = first; j <= last; ++j)
        any_failed = any_failed || slots[static_cast<std::size_t>(j)].failed != 0;
    return any_failed;
}

// One round of checks in host order. Returns false when a stop request cut the round short
// (between batches, never inside one; in the window schedule between two check starts).
bool run_checks(MonitorContext& context, SlotTable& slots, bool& any_failed) {
    const int host_count = clamp(context.settings.host_count, 0, kMaxHosts);
    const int workers = clamp(context.settings.workers, 1, kMaxWorkers);
    if (context.settings.schedule == RoundSchedule::window)
        return run_window_round(context, slots, host_count, workers, any_failed);
    for (int first = 1; first <= host_count; first += workers) {
        if (platform::stop_requested())
            return false;
        const int last = first + workers - 1 < host_count ? first + workers - 1 : host_count;
        if (run_batch(context, slots, first, last))
            any_failed = true;
    }
    return true;
}

// Returns false when a stop request ended the wait early.
bool wait_seconds(MonitorServices& services, int seconds) {
    for (int i = 0; i < seconds; ++i) {
        if (platform::stop_requested())
            return false;
        services.sleep_one_second();
    }
    return true;
}

void finish_round(MonitorContext& context, std::time_t round_start,
                  std::chrono::steady_clock::duration took) {
    if (context.stats != nullptr) {
        context.stats->last_round = static_cast<std::int64_t>(round_start);
        context.stats->round_duration_us =
            std::chrono::duration_cast<std::chrono::microseconds>(took).count();
    }
    if (context.observer != nullptr)
        context.observer->round_finished(context);
}

}  // namespace

void monitor_loop(MonitorContext& context, std::int32_t& heartbeat_state) {
    SlotTable slots{};
    while (!platform::stop_requested()) {
        const std::time_t round_start = std::time(nullptr);
        const auto started = std::chrono::steady_clock::now();
        bool any_failed = false;
        if (!run_checks(context, slots, any_failed))
            return;
        finish_round(context, round_start, std::chrono::steady_clock::now() - started);
        send_heartbeat_if_due(context, round_start, heartbeat_state);

        const int wait =
            any_failed ? context.settings.fast_retry_interval : context.settings.interval;
        console_print("\nWait %d seconds for next time check ...\n", wait);
        if (!wait_seconds(context.use(), wait))
            return;
    }
}

}  // namespace hv
