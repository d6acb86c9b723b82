#include "platform/files.h"

#include <cerrno>
#include <cstdio>

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

}  // namespace hv::platform
