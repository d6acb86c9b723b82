#include "platform/instance.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "platform/file_key_posix.h"

namespace hv::platform {
namespace {

std::string base_name(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string read_link(const std::string& link) {
    char buffer[4096];
    ssize_t n = readlink(link.c_str(), buffer, sizeof buffer - 1);
    if (n <= 0)
        return {};
    std::string path(buffer, static_cast<std::size_t>(n));
    // An executable replaced on disk while it runs reads back with this suffix.
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
        path.resize(path.size() - deleted.size());
    }
    return path;
}

// A zombie has ended; only a reaper can still see it.
bool has_ended(std::uint32_t pid) {
    std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (f == nullptr)
        return false;
    char line[512];
    bool ended = false;
    if (std::fgets(line, sizeof line, f) != nullptr) {
        // The state follows the command name, which is in parentheses and may hold blanks.
        const char* close = std::strrchr(line, ')');
        if (close != nullptr && close[1] == ' ')
            ended = close[2] == 'Z' || close[2] == 'X';
    }
    std::fclose(f);
    return ended;
}

bool exists(std::uint32_t pid) {
    return pid != 0 && kill(static_cast<pid_t>(pid), 0) == 0 && !has_ended(pid);
}

// Whether the process holds an exclusive flock on the file known by `file_key` ("<st_dev>-
// <st_ino>", as LockProbe::file_key gives it): one of its descriptors is that file, and the
// descriptor's own lock lines (fdinfo) list the write lock. Unlike the system-wide table of
// locks, this names the process whatever PID namespace either side is in.
StopRequest holds_lock(std::uint32_t pid, const std::string& file_key) {
    const std::string base = "/proc/" + std::to_string(pid);
    DIR* dir = opendir((base + "/fd").c_str());
    if (dir == nullptr)
        return errno == ENOENT && access("/proc/self/fd", F_OK) == 0 ? StopRequest::not_found
                                                                     : StopRequest::unconfirmed;
    StopRequest found = StopRequest::not_holder;
    while (found == StopRequest::not_holder) {
        const dirent* entry = readdir(dir);
        if (entry == nullptr)
            break;
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9')
            continue;
        struct stat st;
        if (stat((base + "/fd/" + entry->d_name).c_str(), &st) != 0 || file_key_of(st) != file_key)
            continue;
        std::FILE* info = std::fopen((base + "/fdinfo/" + entry->d_name).c_str(), "re");
        if (info == nullptr)
            continue;
        char line[256];
        // "lock:\t1: FLOCK  ADVISORY  WRITE 1234 fe:00:5678 0 EOF"
        while (std::fgets(line, sizeof line, info) != nullptr) {
            if (std::strncmp(line, "lock:", 5) == 0 && std::strstr(line, " FLOCK ") != nullptr &&
                std::strstr(line, " WRITE ") != nullptr && std::strstr(line, "->") == nullptr) {
                found = StopRequest::sent;
                break;
            }
        }
        std::fclose(info);
    }
    closedir(dir);
    return found;
}

}  // namespace

std::uint32_t current_pid() {
    return static_cast<std::uint32_t>(getpid());
}

bool is_instance_alive(std::uint32_t pid) {
    if (pid == 0 || pid > static_cast<std::uint32_t>(INT32_MAX))
        return false;
    // EPERM (another user's process) counts as not alive, like access denied on Windows.
    if (!exists(pid))
        return false;
    std::string own = base_name(own_executable_path());
    std::string theirs = base_name(read_link("/proc/" + std::to_string(pid) + "/exe"));
    return !own.empty() && own == theirs;
}

bool process_exists(std::uint32_t pid) {
    if (pid == 0 || pid > static_cast<std::uint32_t>(INT32_MAX))
        return false;
    // EPERM: it exists, and belongs to another user.
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)
        return false;
    return !has_ended(pid);
}

bool wait_for_process_end(std::uint32_t pid, int milliseconds) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (process_exists(pid)) {
        if (steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

StopRequest check_stop_request(std::uint32_t pid, const std::string& file_key) {
    if (!process_exists(pid))
        return StopRequest::not_found;
    if (kill(static_cast<pid_t>(pid), 0) != 0)
        return StopRequest::other_user;
    return holds_lock(pid, file_key);
}

StopRequest request_instance_stop(std::uint32_t pid, const std::string& file_key) {
    StopRequest access = check_stop_request(pid, file_key);
    if (access != StopRequest::sent)
        return access;
    if (kill(static_cast<pid_t>(pid), SIGTERM) == 0)
        return StopRequest::sent;
    return errno == EPERM ? StopRequest::other_user : StopRequest::not_found;
}

std::string own_executable_path() {
    return read_link("/proc/self/exe");
}

std::string computer_name() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return {};
    name[127] = '\0';
    return name;
}

const char* os_name() {
    static const std::string name = [] {
        struct utsname u;
        return uname(&u) == 0 ? std::string(u.sysname) : std::string("POSIX");
    }();
    return name.c_str();
}

}  // namespace hv::platform
