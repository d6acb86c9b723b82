// The instance lock: the running instance holds an exclusive lock on its PID file for its
// whole life (flock on POSIX, LockFileEx on Windows), and "running" means that lock is held.
// The file itself holds nothing but the process id, so anything that reads it keeps working.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace hv::platform {

/// What a look at a PID file found. Looking takes the lock for a moment at most and never
/// changes the file.
struct LockProbe {
    enum class State {
        missing,      ///< no file at the path
        unlocked,     ///< a regular file that no process holds: no instance runs
        locked,       ///< a running instance holds the file
        not_regular,  ///< a directory, a symbolic link, a device or a pipe: never an instance
        unreadable,   ///< it exists but cannot be opened (permissions)
    };
    State state = State::missing;
    /// The process id written in the file: the decimal number at its start, leading white
    /// space skipped; 0 when there is none or it does not fit 32 bits.
    std::uint32_t recorded_pid = 0;
    /// The holder of the lock as the system reports it (Linux); 0 when it cannot tell.
    std::uint32_t holder_pid = 0;
    /// What names this very file to the instance that holds it: the key its stop request is
    /// sent under (see request_instance_stop). Empty when not locked.
    std::string file_key;
};

LockProbe probe_lock_file(const char* path);

/// Deletes a PID file that no process holds, taking the lock while it does so, so that the
/// file of an instance that claimed it meanwhile is never deleted. True when deleted.
bool remove_unlocked_file(const char* path);

/// The held lock of this process on its PID file. Released (the file kept) when destroyed.
class LockedFile {
  public:
    enum class Claim {
        claimed,      ///< this process holds the file, which now holds its process id
        held,         ///< another process holds the file
        not_regular,  ///< the path exists but is not a regular file: left alone
        failed,       ///< the file cannot be created, opened or written
    };

    /// Creates or opens `path`, takes the lock without waiting (a look by -status or -stop
    /// that holds it for an instant is waited out for up to half a second), and writes this
    /// process's id into it (POSIX mode 0644: readable by all; the line end is the system's).
    static Claim claim(const char* path, std::unique_ptr<LockedFile>& out);

    ~LockedFile();
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;

    /// The key of this file for stop requests (see LockProbe::file_key).
    const std::string& file_key() const { return key_; }

    /// Deletes the file while the lock is still held, then releases the lock.
    void remove();

  private:
    LockedFile(std::intptr_t handle, std::string path, std::string key);
    std::intptr_t handle_;
    std::string path_;
    std::string key_;
};

}  // namespace hv::platform
