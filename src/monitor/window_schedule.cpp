#include "monitor/window_schedule.h"

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "output/sinks.h"
#include "platform/stop.h"

namespace hv {
namespace {

/// The worker positions whose check has ended and whose thread is not yet joined. Worker
/// threads add to it as their last act; the main thread takes from it.
class EndedChecks {
  public:
    void add(std::size_t position) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            ended_[count_++] = position;
        }
        changed_.notify_one();
    }

    /// Waits until some check has ended and returns its position.
    std::size_t take() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return count_ > 0; });
        return ended_[--count_];
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::array<std::size_t, kMaxWorkers> ended_{};
    std::size_t count_ = 0;
};

/// The running checks: one thread per occupied position, at most `workers` positions.
class Window {
  public:
    Window(MonitorContext& context, SlotTable& slots) : context_(context), slots_(slots) {}
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
    ~Window() { wait_all(); }

    int running() const { return running_; }

    /// Starts the check of host `index` on a thread of its own; when no thread can be had it
    /// runs on this thread at once, as the batches do it. `any_failed` is set for an inline
    /// check that failed.
    void start(int index, bool& any_failed) {
        WorkerSlot& slot = slots_[static_cast<std::size_t>(index)];
        slot.index = index;
        slot.failed = 0;
        const std::size_t position = free_position();
        try {
            threads_[position] = context_.use().start_worker(
                context_, &slot, [this, position] { ended_.add(position); });
            hosts_[position] = index;
            ++running_;
            return;
        } catch (const std::system_error&) {
        } catch (const std::bad_alloc&) {
        }
        log_event("Unable to create worker thread for host #%d; running check inline", index);
        check_host(context_, &slot);
        any_failed = any_failed || slot.failed != 0;
    }

    /// Waits for any one running check to end; sets `any_failed` when it failed.
    void wait_one(bool& any_failed) {
        const std::size_t position = ended_.take();
        threads_[position].join();
        any_failed = any_failed || slots_[static_cast<std::size_t>(hosts_[position])].failed != 0;
        hosts_[position] = 0;
        --running_;
    }

  private:
    std::size_t free_position() const {
        std::size_t position = 0;
        while (threads_[position].joinable())
            ++position;
        return position;
    }

    void wait_all() {
        bool ignored = false;
        while (running_ > 0)
            wait_one(ignored);
    }

    MonitorContext& context_;
    SlotTable& slots_;
    EndedChecks ended_;
    std::array<std::thread, kMaxWorkers> threads_;
    std::array<int, kMaxWorkers> hosts_{};
    int running_ = 0;
};

}  // namespace

bool run_window_round(MonitorContext& context, SlotTable& slots, int host_count, int workers,
                      bool& any_failed) {
    Window window(context, slots);
    int next = 1;
    bool stopped = false;
    while (next <= host_count || window.running() > 0) {
        while (!stopped && next <= host_count && window.running() < workers) {
            // Between two checks: a stop request starts nothing more.
            if (platform::stop_requested()) {
                stopped = true;
                break;
            }
            window.start(next++, any_failed);
        }
        if (window.running() == 0)
            break;
        window.wait_one(any_failed);
    }
    return !stopped && next > host_count;
}

}  // namespace hv
