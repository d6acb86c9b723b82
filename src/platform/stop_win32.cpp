#include "platform/stop.h"

#include <windows.h>

#include <atomic>

#include "platform/console_event_win32.h"
#include "platform/instance.h"
#include "platform/stop_event_name.h"

namespace hv::platform {
namespace {

std::atomic<bool> stop_flag{false};
std::atomic<bool> service_mode{false};
HANDLE finished_event = nullptr;
// The named event of -stop; lives as long as the process.
HANDLE request_event = nullptr;

}  // namespace

BOOL WINAPI on_console_event(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            stop_flag.store(true);
            return TRUE;
        case CTRL_LOGOFF_EVENT:
            // A service outlives every user's session: some user logging off is no reason to
            // stop. Handled, so that no other handler ends the process either.
            if (service_mode.load())
                return TRUE;
            [[fallthrough]];
        case CTRL_CLOSE_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            // The system ends the process when this handler returns: hold it until the loop
            // has finished its batch and removed the PID file (the system allows a few seconds).
            stop_flag.store(true);
            if (finished_event != nullptr)
                WaitForSingleObject(finished_event, 5000);
            return TRUE;
        default:
            return FALSE;
    }
}

void install_stop_handler() {
    if (finished_event == nullptr)
        finished_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void accept_stop_requests(const std::string& file_key) {
    if (request_event != nullptr)
        return;
    for (const char* scope : {"Global\\", "Local\\"}) {
        std::string name = stop_event_name(scope, current_pid(), file_key);
        request_event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
        if (request_event != nullptr)
            return;
    }
}

void set_service_mode() {
    service_mode.store(true);
}

bool stop_requested() {
    if (stop_flag.load())
        return true;
    if (request_event != nullptr && WaitForSingleObject(request_event, 0) == WAIT_OBJECT_0) {
        stop_flag.store(true);
        return true;
    }
    return false;
}
void request_stop() {
    stop_flag.store(true);
}
void clear_stop_request() {
    stop_flag.store(false);
    if (request_event != nullptr)
        ResetEvent(request_event);
}
void stop_finished() {
    if (finished_event != nullptr)
        SetEvent(finished_event);
}

}  // namespace hv::platform
