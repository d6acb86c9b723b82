#include "platform/instance.h"

#include "platform/stop_event_name.h"

#include <windows.h>

#include <cctype>
#include <string>

namespace hv::platform {
namespace {

std::string base_name(const std::string& path) {
    std::size_t slash = path.find_last_of("\\/");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

// A handle that is closed when it goes out of scope.
struct Handle {
    HANDLE h;
    explicit Handle(HANDLE handle) : h(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (h != nullptr)
            CloseHandle(h);
    }
};

}  // namespace

std::uint32_t current_pid() {
    return static_cast<std::uint32_t>(GetCurrentProcessId());
}

bool is_instance_alive(std::uint32_t pid) {
    if (pid == 0)
        return false;
    Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (process.h == nullptr)
        return false;
    // OpenProcess can succeed on a process that has ended: the exit code tells.
    DWORD code = 0;
    if (!GetExitCodeProcess(process.h, &code) || code != STILL_ACTIVE)
        return false;
    char image[MAX_PATH * 4];
    DWORD size = sizeof image;
    if (!QueryFullProcessImageNameA(process.h, 0, image, &size))
        return false;
    std::string own = base_name(own_executable_path());
    return !own.empty() && own == base_name(std::string(image, size));
}

bool process_exists(std::uint32_t pid) {
    if (pid == 0)
        return false;
    Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (process.h == nullptr)
        return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    return GetExitCodeProcess(process.h, &code) && code == STILL_ACTIVE;
}

bool wait_for_process_end(std::uint32_t pid, int milliseconds) {
    if (pid == 0)
        return true;
    Handle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    if (process.h == nullptr)
        return !process_exists(pid);
    return WaitForSingleObject(process.h, static_cast<DWORD>(milliseconds)) == WAIT_OBJECT_0;
}

namespace {

// Opens the instance's stop event, first in the global namespace, then in this session's.
StopRequest open_stop_event(std::uint32_t pid, const std::string& file_key, Handle& event) {
    bool denied = false;
    for (const char* scope : {"Global\\", "Local\\"}) {
        std::string name = stop_event_name(scope, pid, file_key);
        event.h = OpenEventA(EVENT_MODIFY_STATE, FALSE, name.c_str());
        if (event.h != nullptr)
            return StopRequest::sent;
        denied = denied || GetLastError() == ERROR_ACCESS_DENIED;
    }
    return denied ? StopRequest::other_user : StopRequest::not_found;
}

}  // namespace

StopRequest check_stop_request(std::uint32_t pid, const std::string& file_key) {
    if (pid == 0 || file_key.empty())
        return StopRequest::not_found;
    Handle event(nullptr);
    return open_stop_event(pid, file_key, event);
}

StopRequest request_instance_stop(std::uint32_t pid, const std::string& file_key) {
    if (pid == 0 || file_key.empty())
        return StopRequest::not_found;
    Handle event(nullptr);
    StopRequest found = open_stop_event(pid, file_key, event);
    if (found != StopRequest::sent)
        return found;
    return SetEvent(event.h) ? StopRequest::sent : StopRequest::other_user;
}

std::string own_executable_path() {
    char path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path)
        return {};
    return std::string(path, n);
}

std::string computer_name() {
    char name[128];
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size))
        return {};
    return std::string(name, size);
}

const char* os_name() {
    return "Windows";
}

}  // namespace hv::platform
