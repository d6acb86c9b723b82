#include "platform/lock_file.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>

#include "platform/pid_text.h"

namespace hv::platform {
namespace {

// Windows locks are mandatory: a locked byte cannot be read by anyone else. The lock covers
// one byte far beyond the end of the file, so the process id at its start stays readable.
constexpr DWORD kLockOffsetHigh = 0x40000000;

struct Handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    Handle() = default;
    explicit Handle(HANDLE handle) : h(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
    HANDLE release() {
        HANDLE out = h;
        h = INVALID_HANDLE_VALUE;
        return out;
    }
};

enum class Opened { ok, missing, not_regular, failed };

// Every handle shares reading, writing and deleting, so the holder, a look by -status and the
// deletion at the end never stand in each other's way.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

Opened open_regular(const char* path, DWORD access, bool create, Handle& out) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return Opened::not_regular;
    }
    HANDLE h = CreateFileA(path, access, kShareAll, nullptr, create ? OPEN_ALWAYS : OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Opened::missing
                                                                              : Opened::failed;
    }
    out.h = h;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return Opened::not_regular;
    }
    return Opened::ok;
}

bool file_id(HANDLE h, BY_HANDLE_FILE_INFORMATION& info) {
    return GetFileInformationByHandle(h, &info) != 0;
}

// True while `h` is still the file at `path`: a file whose holder deleted it is pending
// deletion and cannot be opened by name any more, or another file has taken the name.
bool still_at_path(HANDLE h, const char* path) {
    Handle again(CreateFileA(path, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION a, b;
    return again.h != INVALID_HANDLE_VALUE && file_id(h, a) && file_id(again.h, b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

std::string key_of(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!file_id(h, info))
        return {};
    char key[64];
    std::snprintf(key, sizeof key, "%08lx-%08lx%08lx",
                  static_cast<unsigned long>(info.dwVolumeSerialNumber),
                  static_cast<unsigned long>(info.nFileIndexHigh),
                  static_cast<unsigned long>(info.nFileIndexLow));
    return key;
}

bool try_lock(HANDLE h, bool exclusive) {
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    return LockFileEx(h, flags, 0, 1, 0, &at) != 0;
}

void unlock(HANDLE h) {
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    UnlockFileEx(h, 0, 1, 0, &at);
}

std::uint32_t read_recorded_pid(HANDLE h) {
    char text[64];
    DWORD n = 0;
    OVERLAPPED at{};
    if (!ReadFile(h, text, sizeof text, &n, &at) || n == 0)
        return 0;
    return parse_recorded_pid(std::string_view(text, n));
}

// Deleted by name while our handle (which shares deletion) stays open. A reader that opened
// the file without sharing deletion (the C runtime's fopen) holds it up for a moment.
bool delete_by_name(const char* path) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (DeleteFileA(path))
            return true;
        if (GetLastError() != ERROR_SHARING_VIOLATION)
            return false;
        Sleep(20);
    }
    return false;
}

}  // namespace

LockProbe probe_lock_file(const char* path) {
    LockProbe probe;
    Handle h;
    switch (open_regular(path, GENERIC_READ, false, h)) {
        case Opened::missing:
            probe.state = LockProbe::State::missing;
            return probe;
        case Opened::not_regular:
            probe.state = LockProbe::State::not_regular;
            return probe;
        case Opened::failed:
            probe.state = LockProbe::State::unreadable;
            return probe;
        case Opened::ok:
            break;
    }
    probe.recorded_pid = read_recorded_pid(h.h);
    if (try_lock(h.h, false)) {
        unlock(h.h);
        probe.state = LockProbe::State::unlocked;
        return probe;
    }
    probe.state = LockProbe::State::locked;
    probe.file_key = key_of(h.h);
    return probe;
}

bool remove_unlocked_file(const char* path) {
    Handle h;
    if (open_regular(path, GENERIC_READ, false, h) != Opened::ok)
        return false;
    if (!try_lock(h.h, true))
        return false;
    bool removed = still_at_path(h.h, path) && delete_by_name(path);
    unlock(h.h);
    return removed;
}

LockedFile::Claim LockedFile::claim(const char* path, std::unique_ptr<LockedFile>& out) {
    using namespace std::chrono;
    const auto patience = steady_clock::now() + milliseconds(500);
    // Each pass that finds the file gone or replaced starts over; a directory where that
    // never settles is given up on.
    for (int attempt = 0; attempt < 100; ++attempt) {
        Handle h;
        // No DELETE access: a handle with it would lock out every reader that does not share
        // deletion, such as fopen.
        switch (open_regular(path, GENERIC_READ | GENERIC_WRITE, true, h)) {
            case Opened::ok:
                break;
            case Opened::not_regular:
                return Claim::not_regular;
            case Opened::missing:
                continue;
            case Opened::failed:
                // A file pending deletion refuses new opens until its last handle closes.
                if (GetLastError() == ERROR_ACCESS_DENIED && steady_clock::now() < patience) {
                    std::this_thread::sleep_for(milliseconds(20));
                    continue;
                }
                return Claim::failed;
        }
        if (!try_lock(h.h, true)) {
            if (steady_clock::now() >= patience)
                return Claim::held;
            std::this_thread::sleep_for(milliseconds(20));
            continue;
        }
        if (!still_at_path(h.h, path))
            continue;
        // The number is written over the old content before the rest is cut off, so a reader
        // never finds the file empty once it held a number.
        char text[32];
        int n = std::snprintf(text, sizeof text, "%lu\r\n",
                              static_cast<unsigned long>(GetCurrentProcessId()));
        DWORD written = 0;
        OVERLAPPED at{};
        if (!WriteFile(h.h, text, static_cast<DWORD>(n), &written, &at) ||
            written != static_cast<DWORD>(n)) {
            return Claim::failed;
        }
        LARGE_INTEGER end;
        end.QuadPart = n;
        if (!SetFilePointerEx(h.h, end, nullptr, FILE_BEGIN) || !SetEndOfFile(h.h))
            return Claim::failed;
        std::string key = key_of(h.h);
        out.reset(new LockedFile(reinterpret_cast<std::intptr_t>(h.release()), path, key));
        return Claim::claimed;
    }
    return Claim::failed;
}

LockedFile::LockedFile(std::intptr_t handle, std::string path, std::string key)
    : handle_(handle), path_(std::move(path)), key_(std::move(key)) {}

LockedFile::~LockedFile() {
    if (handle_ != 0)
        CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

void LockedFile::remove() {
    if (handle_ == 0)
        return;
    HANDLE h = reinterpret_cast<HANDLE>(handle_);
    if (still_at_path(h, path_.c_str()))
        delete_by_name(path_.c_str());
    CloseHandle(h);
    handle_ = 0;
}

}  // namespace hv::platform
