// What this process and its siblings are: process ids, liveness, the executable, the host name.
#pragma once

#include <cstdint>
#include <string>

namespace hv::platform {

/// This process's id.
std::uint32_t current_pid();

/// True only when `pid` names a process that exists, has not ended (a POSIX zombie has ended),
/// may be queried by this user, and runs an executable with the same file name as this one.
/// A recycled pid of another program is not alive. 0 is never alive.
bool is_instance_alive(std::uint32_t pid);

enum class StopResult {
    stopped,      ///< the process was asked to end (POSIX) or terminated (Windows)
    cannot_open,  ///< the process could not be opened or signalled for termination
};

/// Ends the instance `pid`. POSIX: SIGTERM, then up to 10 seconds for it to end, then SIGKILL.
/// Windows: TerminateProcess with exit code 0, then a 500 ms pause.
StopResult stop_instance(std::uint32_t pid);

/// Full path of this program's executable; empty when it cannot be found.
std::string own_executable_path();

/// The computer's name (NetBIOS name on Windows, node name on POSIX), at most 127 bytes;
/// empty when it cannot be read.
std::string computer_name();

/// The operating system's name for banners: "Windows", "Linux", or another POSIX system's name.
const char* os_name();

}  // namespace hv::platform
