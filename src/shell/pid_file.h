// The PID file "hostvigil.pid": the running instance of this directory holds a lock on it for
// its whole life, and the file holds that instance's process id.
#pragma once

#include <cstdint>
#include <string>

#include "platform/lock_file.h"

namespace hv {

inline constexpr const char* kPidFile = "hostvigil.pid";

/// What the PID file says about the instance of this directory.
struct PidFileLook {
    platform::LockProbe::State state = platform::LockProbe::State::missing;
    /// The instance's process id when locked: the lock's holder where the system tells it,
    /// else the number in the file. When not locked, the number in the file (0: none).
    std::uint32_t pid = 0;
    std::string file_key;  ///< see platform::LockProbe::file_key
};

/// Looks at the PID file. An instance that has just taken the lock and not yet written its
/// number is given a moment to do so.
PidFileLook look_at_pid_file();

}  // namespace hv
