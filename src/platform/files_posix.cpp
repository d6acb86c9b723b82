#include "platform/files.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

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

// A missing target is fine; anything there must be a regular file, never followed through a
// link, so the program cannot be made to overwrite what a link points at.
bool target_is_replaceable(const char* path) {
    struct stat st;
    if (lstat(path, &st) != 0)
        return errno == ENOENT;
    return S_ISREG(st.st_mode);
}

std::string directory_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::atomic<unsigned> temporary_count{0};

// Creates a new temporary file for `target` (mode 0600 until the caller sets another).
int create_temporary(const std::string& target, std::string& name) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = temporary_file_name(target, temporary_count.fetch_add(1));
        int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

}  // namespace

bool replace_file_whole(const char* path, std::string_view content, ReplacePolicy policy) {
    if (path == nullptr || *path == '\0')
        return false;
    std::string target;
    struct stat old_file {};
    if (policy == ReplacePolicy::keep_existing) {
        // The file itself, wherever a chain of links leads; the new content is made beside it,
        // so that the rename stays inside one directory and one file system.
        char resolved[PATH_MAX];
        if (realpath(path, resolved) == nullptr)
            return false;
        if (stat(resolved, &old_file) != 0 || !S_ISREG(old_file.st_mode))
            return false;
        target = resolved;
    } else {
        if (!target_is_replaceable(path))
            return false;
        target = path;
    }

    std::string temp;
    Descriptor file(create_temporary(target, temp));
    if (file.get() < 0)
        return false;
    bool ok = false;
    if (policy == ReplacePolicy::keep_existing) {
        // Owner and group first, then the mode: a change of owner may clear set-id bits.
        ok = (fchown(file.get(), old_file.st_uid, old_file.st_gid) == 0 ||
              (old_file.st_uid == geteuid() && old_file.st_gid == getegid())) &&
             fchmod(file.get(), old_file.st_mode & 07777) == 0;
    } else {
        ok = fchmod(file.get(), policy == ReplacePolicy::regular_public ? 0644 : 0600) == 0;
    }
    ok = ok && write_all(file.get(), content) && fsync(file.get()) == 0;
    ok = file.close_checked() && ok;
    // Looked at again just before the rename: a directory or link put there meanwhile stays.
    if (ok && policy != ReplacePolicy::keep_existing)
        ok = target_is_replaceable(target.c_str());
    ok = ok && std::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        unlink(temp.c_str());
        return false;
    }
    // The new name lives in the directory: without this a power loss could still bring back
    // the old file, or no file at all.
    Descriptor dir(open(directory_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0)
        fsync(dir.get());
    return true;
}

ReadOutcome read_regular_file(const char* path, std::size_t limit, std::string& out) {
    out.clear();
    struct stat st;
    if (path == nullptr || lstat(path, &st) != 0)
        return path != nullptr && errno == ENOENT ? ReadOutcome::missing : ReadOutcome::unreadable;
    if (S_ISDIR(st.st_mode))
        return ReadOutcome::directory;
    if (S_ISLNK(st.st_mode))
        return ReadOutcome::link;
    if (!S_ISREG(st.st_mode))
        return ReadOutcome::not_regular;
    // The path may change between the look and the open: the open neither follows a link nor
    // waits for a pipe's writer, and what it opened is looked at once more.
    Descriptor file(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) {
        if (errno == ENOENT)
            return ReadOutcome::missing;
        return errno == ELOOP ? ReadOutcome::link : ReadOutcome::unreadable;
    }
    if (fstat(file.get(), &st) != 0)
        return ReadOutcome::unreadable;
    if (!S_ISREG(st.st_mode))
        return S_ISDIR(st.st_mode) ? ReadOutcome::directory : ReadOutcome::not_regular;
    std::string text;
    char chunk[65536];
    while (true) {
        ssize_t n = ::read(file.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return ReadOutcome::unreadable;
        if (n == 0)
            break;
        if (text.size() + static_cast<std::size_t>(n) > limit)
            return ReadOutcome::too_large;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    out = std::move(text);
    return ReadOutcome::read;
}

bool can_write_file(const char* path) {
    if (path == nullptr || *path == '\0' || !target_is_replaceable(path))
        return false;
    std::string dir = directory_of(std::string(path));
    struct stat st;
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           access(dir.c_str(), W_OK | X_OK) == 0;
}

}  // namespace hv::platform
