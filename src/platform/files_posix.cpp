#include "platform/files.h"

#include <cerrno>
#include <climits>
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

std::FILE* open_append(const char* path) {
    if (path == nullptr)
        return nullptr;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return nullptr;
    std::FILE* f = fdopen(fd, "a");
    if (f == nullptr)
        close(fd);
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

namespace {

// Closes a descriptor when it goes out of scope.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    bool close_checked() {
        int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

bool write_all(int fd, std::string_view content) {
    while (!content.empty()) {
        ssize_t n = ::write(fd, content.data(), content.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        content.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

bool rewrite_file(const char* path, std::string_view content) {
    if (path == nullptr)
        return false;
    // The file itself, wherever a chain of links leads; the new content is made beside it, so
    // that the rename stays inside one directory and one file system.
    char resolved[PATH_MAX];
    if (realpath(path, resolved) == nullptr)
        return false;
    struct stat st;
    if (stat(resolved, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    std::string target(resolved);
    // realpath gives an absolute path: a file right under the root keeps "/" as its directory.
    const std::size_t slash = target.rfind('/');
    const std::string directory(target, 0, slash > 0 ? slash : 1);

    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = target + "." + std::to_string(getpid()) + "-" + std::to_string(attempt) + ".tmp";
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    Descriptor file(fd);
    // Owner and group first, then the mode: a change of owner may clear set-id bits.
    bool ok = (fchown(fd, st.st_uid, st.st_gid) == 0 ||
               (st.st_uid == geteuid() && st.st_gid == getegid())) &&
              fchmod(fd, st.st_mode & 07777) == 0 && write_all(fd, content) && fsync(fd) == 0;
    ok = file.close_checked() && ok;
    ok = ok && std::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        unlink(temp.c_str());
        return false;
    }
    // The rename itself reaches the disk with the directory.
    Descriptor dir(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0)
        fsync(dir.get());
    return true;
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
