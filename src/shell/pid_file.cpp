#include "shell/pid_file.h"

#include <cstdio>
#include <string>

#include "platform/files.h"
#include "platform/instance.h"

namespace hv {
namespace {

std::uint32_t read_pid_from(const char* path) {
    std::FILE* f = std::fopen(path, "r");
    if (f == nullptr)
        return 0;
    unsigned long pid = 0;
    int fields = std::fscanf(f, "%lu", &pid);
    std::fclose(f);
    if (fields != 1 || pid > 0xFFFFFFFFul)
        return 0;
    return static_cast<std::uint32_t>(pid);
}

std::string own_name(const char* what) {
    return std::string(kPidFile) + "." + std::to_string(platform::current_pid()) + "." + what;
}

// The whole content is written under a private name first and then published, so no reader
// ever sees an empty or half-written PID file.
ClaimResult publish_own_pid() {
    std::string temp = own_name("tmp");
    platform::delete_file(temp.c_str());
    std::FILE* f = platform::create_exclusive(temp.c_str(), true);
    if (f == nullptr)
        return ClaimResult::unwritable;
    bool written =
        std::fprintf(f, "%lu\n", static_cast<unsigned long>(platform::current_pid())) > 0;
    written = std::fclose(f) == 0 && written;
    bool existed = false;
    if (written && platform::publish_exclusive(temp.c_str(), kPidFile, existed)) {
        return ClaimResult::claimed;
    }
    platform::delete_file(temp.c_str());
    return existed ? ClaimResult::already_running : ClaimResult::unwritable;
}

}  // namespace

// Moves a stale PID file aside under a private name before deleting it: if another instance
// published its own file in the meantime, that one is what we moved, and it goes back.
bool remove_stale_pid_file() {
    std::string aside = own_name("stale");
    if (!platform::replace_file(kPidFile, aside.c_str()))
        return false;
    std::uint32_t pid = read_pid_from(aside.c_str());
    if (pid != 0 && platform::is_instance_alive(pid)) {
        bool existed = false;
        if (!platform::publish_exclusive(aside.c_str(), kPidFile, existed)) {
            platform::delete_file(aside.c_str());
        }
        return false;
    }
    platform::delete_file(aside.c_str());
    return true;
}

std::uint32_t read_pid_file() {
    return read_pid_from(kPidFile);
}

bool pid_file_exists() {
    std::FILE* f = std::fopen(kPidFile, "r");
    if (f == nullptr)
        return false;
    std::fclose(f);
    return true;
}

void remove_pid_file() {
    platform::delete_file(kPidFile);
}

void remove_own_pid_file() {
    if (read_pid_file() == platform::current_pid())
        remove_pid_file();
}

ClaimResult claim_pid_file() {
    for (int attempt = 0; attempt < 5; ++attempt) {
        ClaimResult result = publish_own_pid();
        if (result != ClaimResult::already_running)
            return result;
        std::uint32_t pid = read_pid_file();
        if (pid != 0 && platform::is_instance_alive(pid))
            return ClaimResult::already_running;
        if (!remove_stale_pid_file() && pid_file_exists()) {
            pid = read_pid_file();
            if (pid != 0 && platform::is_instance_alive(pid))
                return ClaimResult::already_running;
        }
    }
    return ClaimResult::already_running;
}

}  // namespace hv
