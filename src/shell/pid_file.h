// The PID file "hostvigil.pid": the only record of the instance running in this directory.
#pragma once

#include <cstdint>

namespace hv {

inline constexpr const char* kPidFile = "hostvigil.pid";

/// The process id recorded in the PID file: the decimal number at its start (leading white
/// space skipped); 0 when the file is missing, unreadable, holds no number or one that does
/// not fit 32 bits.
std::uint32_t read_pid_file();

/// True when the PID file exists (whatever it holds).
bool pid_file_exists();

/// Deletes the PID file whatever it holds; a missing file is no error.
void remove_pid_file();

/// Deletes a PID file that names no live instance, without ever deleting the record of an
/// instance that published its own file meanwhile. Returns true when a stale file was removed.
bool remove_stale_pid_file();

/// Deletes the PID file only while it names this process, so a stopping instance never
/// removes the record of another one.
void remove_own_pid_file();

enum class ClaimResult {
    claimed,          ///< the file now holds this process's id
    already_running,  ///< another live instance holds the file
    unwritable,       ///< the file cannot be created
};

/// Writes this process's id into the PID file in one step that fails when the file exists, so
/// two instances started together can never both succeed. A file that names no live instance
/// (no number, 0, a dead process, another program) is replaced.
ClaimResult claim_pid_file();

}  // namespace hv
