#include "platform/files.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

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

}  // namespace hv::platform
