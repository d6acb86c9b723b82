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
    std::string directory = target.substr(0, target.rfind('/'));
    if (directory.empty())
        directory = "/";

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

}  // namespace hv::platform
