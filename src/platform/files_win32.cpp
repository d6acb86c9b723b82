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
