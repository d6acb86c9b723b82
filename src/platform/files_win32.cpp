#include "platform/files.h"
#include "platform/files_win32_seam.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <utility>

namespace hv::platform {

bool delete_file(const char* path) {
    return path != nullptr && DeleteFileA(path) != 0;
}

std::FILE* create_exclusive(const char* path, bool text) {
    if (path == nullptr)
        return nullptr;
    // Not inheritable, so no child started meanwhile holds the file open.
    HANDLE h =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), text ? _O_TEXT : _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        DeleteFileA(path);
        return nullptr;
    }
    std::FILE* f = _fdopen(fd, text ? "w" : "wb");
    if (f == nullptr) {
        _close(fd);
        DeleteFileA(path);
    }
    return f;
}

std::FILE* open_append(const char* path) {
    if (path == nullptr)
        return nullptr;
    // Append-only access makes every write land at the end, also with other writers; a null
    // security attribute makes the handle non-inheritable.
    HANDLE h = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_APPEND | _O_TEXT);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    std::FILE* f = _fdopen(fd, "a");
    if (f == nullptr)
        _close(fd);
    return f;
}

bool publish_exclusive(const char* from, const char* to, bool& existed) {
    existed = false;
    if (MoveFileExA(from, to, 0))
        return true;
    DWORD error = GetLastError();
    existed = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
    return false;
}

bool replace_file(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

namespace {

// Closes a handle when it goes out of scope.
class Handle {
  public:
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    bool close_checked() {
        HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return h == INVALID_HANDLE_VALUE || h == nullptr || CloseHandle(h) != 0;
    }
    void reset() { close_checked(); }

  private:
    HANDLE h_;
};

std::wstring widen(const char* text) {
    int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (n <= 0)
        return {};
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), n);
    out.resize(static_cast<std::size_t>(n - 1));
    return out;
}

// The full name of the file `path` leads to, after any symbolic link.
std::wstring final_path(const std::wstring& path) {
    Handle h(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.valid())
        return {};
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return {};
    std::wstring out(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD n = GetFinalPathNameByHandleW(h.get(), out.data(), static_cast<DWORD>(out.size()),
                                            FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0)
            return {};
        if (n < out.size()) {
            out.resize(n);
            return out;
        }
        out.assign(n, L'\0');
    }
    return {};
}

}  // namespace

namespace {

std::atomic<unsigned> temporary_count{0};
std::atomic<ReplaceFileFunction> replace_function{nullptr};

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A missing target is fine; anything there must be a plain file, never a directory, a
// reparse point (a link or junction) or a device.
bool target_is_replaceable(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    return (attributes &
            (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0;
}

// Creates a new temporary file for `target` and writes `content` to the disk through it.
bool write_temporary(const std::wstring& target, std::string_view content, std::wstring& name) {
    HANDLE created = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && created == INVALID_HANDLE_VALUE; ++attempt) {
        // The name as bytes, widened the same way as the target's.
        std::string tail = temporary_file_name(std::string(), temporary_count.fetch_add(1));
        name = target + std::wstring(tail.begin(), tail.end());
        // Not inheritable, so no child started meanwhile holds the file open.
        created = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        if (created == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            return false;
    }
    Handle out(created);
    if (!out.valid())
        return false;
    bool ok = true;
    while (ok && !content.empty()) {
        DWORD chunk = content.size() > 1u << 20 ? 1u << 20 : static_cast<DWORD>(content.size());
        DWORD written = 0;
        ok = WriteFile(out.get(), content.data(), chunk, &written, nullptr) != 0 && written > 0;
        if (ok)
            content.remove_prefix(written);
    }
    ok = ok && FlushFileBuffers(out.get()) != 0;
    ok = out.close_checked() && ok;
    if (!ok)
        DeleteFileW(name.c_str());
    return ok;
}

bool move_into_place(const std::wstring& from, const std::wstring& to) {
    return MoveFileExW(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// Swaps `temp` into the place of `target`, keeping the old file's security descriptor,
// attributes and streams, which a rename would lose. ReplaceFileW can fail halfway: with the
// old file moved to the backup name, or gone with only the new one left. Whatever it left, the
// target ends up holding the old content (the backup put back) or the new one, never nothing.
bool swap_keeping_security(const std::wstring& target, const std::wstring& temp) {
    std::wstring backup = temp.substr(0, temp.size() - 4) + L".bak";
    ReplaceFileFunction replace = replace_function.load();
    if (replace == nullptr)
        replace = ReplaceFileW;
    if (replace(target.c_str(), temp.c_str(), backup.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS,
                nullptr, nullptr) != 0) {
        DeleteFileW(backup.c_str());
        return true;
    }
    bool replaced = false;
    if (!exists(target)) {
        if (exists(backup) && move_into_place(backup, target)) {
            // The old file is back as it was; the rewrite is tried again at the next start.
        } else if (exists(temp)) {
            replaced = move_into_place(temp, target);
        }
    }
    DeleteFileW(temp.c_str());
    if (exists(target))
        DeleteFileW(backup.c_str());
    return replaced;
}

}  // namespace

void set_replace_file_function(ReplaceFileFunction function) {
    replace_function.store(function);
}

bool replace_file_whole(const char* path, std::string_view content, ReplacePolicy policy) {
    if (path == nullptr || *path == '\0')
        return false;
    const bool keep = policy == ReplacePolicy::keep_existing;
    const std::wstring target = keep ? final_path(widen(path)) : widen(path);
    if (target.empty() || (!keep && !target_is_replaceable(target)))
        return false;
    std::wstring temp;
    if (!write_temporary(target, content, temp))
        return false;
    if (keep)
        return swap_keeping_security(target, temp);
    // Looked at again just before the move: a directory or link put there meanwhile stays.
    // The write-through move reaches the disk with the directory entry.
    if (target_is_replaceable(target) && move_into_place(temp, target))
        return true;
    DeleteFileW(temp.c_str());
    return false;
}

ReadOutcome read_regular_file(const char* path, std::size_t limit, std::string& out) {
    out.clear();
    if (path == nullptr)
        return ReadOutcome::unreadable;
    const std::wstring name = widen(path);
    DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? ReadOutcome::missing
                   : ReadOutcome::unreadable;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return ReadOutcome::directory;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return ReadOutcome::link;
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0)
        return ReadOutcome::not_regular;
    // The link itself is opened, never followed, and what was opened is looked at once more.
    Handle in(CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                          nullptr));
    if (!in.valid())
        return GetLastError() == ERROR_FILE_NOT_FOUND ? ReadOutcome::missing
                                                      : ReadOutcome::unreadable;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(in.get()) != FILE_TYPE_DISK || !GetFileInformationByHandle(in.get(), &info))
        return ReadOutcome::not_regular;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return ReadOutcome::link;
    std::string text;
    char chunk[65536];
    while (true) {
        DWORD n = 0;
        if (!ReadFile(in.get(), chunk, sizeof chunk, &n, nullptr))
            return ReadOutcome::unreadable;
        if (n == 0)
            break;
        if (text.size() + n > limit)
            return ReadOutcome::too_large;
        text.append(chunk, n);
    }
    out = std::move(text);
    return ReadOutcome::read;
}

namespace {

std::string directory_of(const char* path) {
    std::string text(path);
    std::size_t slash = text.find_last_of("/\\");
    if (slash == std::string::npos)
        return text.size() >= 2 && text[1] == ':' ? text.substr(0, 2) + "." : ".";
    return text.substr(0, slash + 1) + ".";
}

}  // namespace

bool can_write_file(const char* path) {
    if (path == nullptr || *path == '\0' || !target_is_replaceable(widen(path)))
        return false;
    // Windows has no access() that honours ACLs: a probe file shows whether the directory
    // takes new files.
    std::string probe =
        directory_of(path) + "\\hostvigil_probe" + std::to_string(GetCurrentProcessId()) + ".tmp";
    HANDLE h = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(h);
    return true;
}

}  // namespace hv::platform
