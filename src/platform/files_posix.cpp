#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hv::platform {

bool delete_file(const char* path) {
    return path != nullptr && unlink(path) == 0;
}

std::FILE* create_exclusive(const char* path, bool /*text*/) {
    if (path == nullptr)
        return nullptr;
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return nullptr;
    std::FILE* f = fdopen(fd, "w");
    if (f == nullptr) {
        close(fd);
        unlink(path);
    }
    return f;
}

bool publish_exclusive(const char* from, const char* to, bool& existed) {
    existed = false;
    if (link(from, to) == 0) {
        unlink(from);
        return true;
    }
    existed = errno == EEXIST;
    return false;
}

bool replace_file(const char* from, const char* to) {
    return std::rename(from, to) == 0;
}

bool flush_to_disk(std::FILE* file) {
    return file != nullptr && std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}

bool copy_permissions(const char* from, const char* to) {
    struct stat st;
    if (stat(from, &st) != 0)
        return false;
    return chmod(to, st.st_mode & 07777) == 0;
}

namespace {

// A missing target is fine; anything there must be a regular file, never followed through a
// link, so the program cannot be made to overwrite what a link points at.
bool target_is_replaceable(const char* path) {
    struct stat st;
    if (lstat(path, &st) != 0)
        return errno == ENOENT;
    return S_ISREG(st.st_mode);
}

std::string directory_of(const char* path) {
    std::string text(path);
    std::size_t slash = text.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : text.substr(0, slash);
}

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

bool write_file_atomically(const char* path, std::string_view data) {
    if (path == nullptr || *path == '\0' || !target_is_replaceable(path))
        return false;
    std::string temp = std::string(path) + ".XXXXXX";
    int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = fchmod(fd, 0644) == 0 && write_all(fd, data) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    // Checked again just before the rename: a directory or link put there meanwhile stays.
    if (ok && target_is_replaceable(path) && rename(temp.c_str(), path) == 0)
        return true;
    unlink(temp.c_str());
    return false;
}

bool can_write_file(const char* path) {
    if (path == nullptr || *path == '\0' || !target_is_replaceable(path))
        return false;
    std::string dir = directory_of(path);
    struct stat st;
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           access(dir.c_str(), W_OK | X_OK) == 0;
}

}  // namespace hv::platform
