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

/// True while `pid` names a process that has not ended (a POSIX zombie has ended), whoever
/// owns it. 0 never exists.
bool process_exists(std::uint32_t pid);

/// Waits up to `milliseconds` for the process `pid` to end; true when it has ended.
bool wait_for_process_end(std::uint32_t pid, int milliseconds);

enum class StopRequest {
    sent,         ///< the instance was asked to stop (or, for check_stop_request, could be)
    other_user,   ///< the instance belongs to another user, who alone may stop it
    not_found,    ///< nothing listens: the process has ended, or is no instance of that file
    not_holder,   ///< the process runs but does not hold that PID file (POSIX; Windows cannot
                  ///< tell it from not_found)
    unconfirmed,  ///< whether the process holds that PID file cannot be seen (POSIX)
};

/// Asks the instance `pid` that holds the PID file known by `file_key` (LockProbe::file_key)
/// to stop in order: SIGTERM on POSIX, sent only once the process is seen to hold the lock on
/// that very file (its open descriptors and their locks), so that a number written into the
/// file by hand cannot aim it elsewhere; on Windows the named event
/// "hostvigil-stop-<pid>-<key>" that run mode waits on (see accept_stop_requests), which only
/// the holder has. Never terminates anything.
StopRequest request_instance_stop(std::uint32_t pid, const std::string& file_key);

/// Tells what request_instance_stop would find, without asking anything.
StopRequest check_stop_request(std::uint32_t pid, const std::string& file_key);

/// Full path of this program's executable; empty when it cannot be found.
std::string own_executable_path();

/// The computer's name (NetBIOS name on Windows, node name on POSIX), at most 127 bytes;
/// empty when it cannot be read.
std::string computer_name();

/// The operating system's name for banners: "Windows", "Linux", or another POSIX system's name.
const char* os_name();

}  // namespace hv::platform
