#include "platform/stop.h"

#include <atomic>
#include <csignal>

namespace hv::platform {
namespace {

std::atomic<bool> stop_flag{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void on_stop_signal(int) {
    stop_flag.store(true);
}

}  // namespace

void install_stop_handler() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    // Restart interrupted reads and waits: the loop looks at the flag on its own schedule.
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

void accept_stop_requests(const std::string& /*file_key*/) {}

void set_service_mode() {}

bool stop_requested() {
    return stop_flag.load();
}
void request_stop() {
    stop_flag.store(true);
}
void clear_stop_request() {
    stop_flag.store(false);
}
void stop_finished() {}

}  // namespace hv::platform
