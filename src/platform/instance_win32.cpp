#include "platform/instance.h"

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

StopResult stop_instance(std::uint32_t pid) {
    if (pid == 0)
        return StopResult::cannot_open;
    Handle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    if (process.h == nullptr)
        return StopResult::cannot_open;
    // A refused termination of a process that still runs is not a stop.
    if (!TerminateProcess(process.h, 0) && WaitForSingleObject(process.h, 0) != WAIT_OBJECT_0)
        return StopResult::cannot_open;
    // Termination completes asynchronously: give it up to 500 ms to finish.
    WaitForSingleObject(process.h, 500);
    return StopResult::stopped;
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
