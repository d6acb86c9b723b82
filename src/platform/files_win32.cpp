#include "platform/files.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

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

bool rewrite_file(const char* path, std::string_view content) {
    if (path == nullptr)
        return false;
    std::wstring target = final_path(widen(path));
    if (target.empty())
        return false;
    std::wstring temp;
    HANDLE created = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && created == INVALID_HANDLE_VALUE; ++attempt) {
        temp = target + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(attempt) + L".tmp";
        // Not inheritable, so no child started meanwhile holds the file open.
        created = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
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
        content.remove_prefix(written);
    }
    ok = ok && FlushFileBuffers(out.get()) != 0;
    ok = out.close_checked() && ok;
    // ReplaceFileW gives the new file the old one's security descriptor, attributes and
    // streams, which a rename would lose.
    ok = ok && ReplaceFileW(target.c_str(), temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                            nullptr, nullptr) != 0;
    if (!ok)
        DeleteFileW(temp.c_str());
    return ok;
}

bool flush_to_disk(std::FILE* file) {
    return file != nullptr && std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

bool copy_permissions(const char*, const char*) {
    return true;
}

namespace {

// A missing target is fine; anything there must be a plain file, never a directory, a
// reparse point (a link or junction) or a device.
bool target_is_replaceable(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND;
    }
    return (attributes &
            (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0;
}

std::string directory_of(const char* path) {
    std::string text(path);
    std::size_t slash = text.find_last_of("/\\");
    if (slash == std::string::npos)
        return text.size() >= 2 && text[1] == ':' ? text.substr(0, 2) + "." : ".";
    return text.substr(0, slash + 1) + ".";
}

}  // namespace

bool write_file_atomically(const char* path, std::string_view data) {
    if (path == nullptr || *path == '\0' || !target_is_replaceable(path))
        return false;
    std::string temp = std::string(path) + ".tmp" + std::to_string(GetCurrentProcessId());
    HANDLE h = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    bool ok = true;
    while (ok && !data.empty()) {
        DWORD chunk = data.size() > 1u << 20 ? 1u << 20 : static_cast<DWORD>(data.size());
        DWORD written = 0;
        ok = WriteFile(h, data.data(), chunk, &written, nullptr) != 0 && written > 0;
        if (ok)
            data.remove_prefix(written);
    }
    ok = FlushFileBuffers(h) != 0 && ok;
    ok = CloseHandle(h) != 0 && ok;
    if (ok && target_is_replaceable(path) &&
        MoveFileExA(temp.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0)
        return true;
    DeleteFileA(temp.c_str());
    return false;
}

bool can_write_file(const char* path) {
    if (path == nullptr || *path == '\0' || !target_is_replaceable(path))
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
