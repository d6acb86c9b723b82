#include "platform/lock_file.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/file_key_posix.h"
#include "platform/pid_text.h"

namespace hv::platform {
namespace {

// A descriptor that is closed when it goes out of scope.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0)
            close(fd_);
    }
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

enum class Opened { ok, missing, not_regular, failed };

// Opens the path only when it is a regular file: never through a symbolic link, and without
// blocking on a pipe. Creates it (mode 0644) when `create` is set.
Opened open_regular(const char* path, bool create, int& fd_out) {
    fd_out = -1;
    struct stat st;
    if (lstat(path, &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return Opened::not_regular;
    } else if (errno != ENOENT) {
        return Opened::failed;
    } else if (!create) {
        return Opened::missing;
    }
    // Read-only even when it creates: the instance keeps this descriptor (and its lock) for its
    // whole life, and a file held open for writing would keep its file system from being
    // remounted read-only. The number is written through a short-lived second descriptor.
    int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_RDONLY | (create ? O_CREAT : 0);
    int fd = open(path, flags, 0644);
    if (fd < 0) {
        if (errno == ENOENT)
            return Opened::missing;
        return errno == ELOOP ? Opened::not_regular : Opened::failed;
    }
    // The path may have been replaced between the look and the open.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return Opened::not_regular;
    }
    fd_out = fd;
    return Opened::ok;
}

// True while `fd` is still the file at `path`: a lock taken on a file that its holder deleted
// meanwhile guards nothing.
bool still_at_path(int fd, const char* path) {
    struct stat by_fd, by_path;
    return fstat(fd, &by_fd) == 0 && lstat(path, &by_path) == 0 && by_fd.st_dev == by_path.st_dev &&
           by_fd.st_ino == by_path.st_ino;
}

std::string key_of(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        return {};
    return file_key_of(st);
}

// Takes the exclusive lock on `fd` without waiting; 0, or -1 with errno. NFS refuses a write
// lock through a descriptor opened for reading only (EBADF): the file is then opened again for
// reading and writing, and that descriptor, when it is still the same file, takes the lock and
// replaces `fd`. Elsewhere the read-only descriptor is kept.
int lock_exclusive(Fd& fd, const char* path) {
    if (flock(fd.get(), LOCK_EX | LOCK_NB) == 0)
        return 0;
    if (errno != EBADF)
        return -1;
    Fd writable(open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (writable.get() < 0 || key_of(writable.get()) != key_of(fd.get())) {
        errno = EBADF;
        return -1;
    }
    if (flock(writable.get(), LOCK_EX | LOCK_NB) != 0)
        return -1;
    fd.reset(writable.release());
    return 0;
}

std::uint32_t read_recorded_pid(int fd) {
    char text[64];
    ssize_t n = pread(fd, text, sizeof text, 0);
    if (n <= 0)
        return 0;
    return parse_recorded_pid(std::string_view(text, static_cast<std::size_t>(n)));
}

// The process that holds an flock on the file, from the kernel's table of locks; 0 when the
// table is not there (not Linux) or does not list the file.
std::uint32_t lock_holder(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        return 0;
    std::FILE* f = std::fopen("/proc/locks", "re");
    if (f == nullptr)
        return 0;
    char want[96];
    std::snprintf(want, sizeof want, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::uint32_t holder = 0;
    char line[256];
    while (holder == 0 && std::fgets(line, sizeof line, f) != nullptr) {
        // "1: FLOCK  ADVISORY  WRITE 1234 fe:00:5678 0 EOF"; waiters carry "->" and are skipped.
        char kind[16], mode[16], access[16], id[96];
        unsigned long pid = 0;
        int number = 0;
        if (std::sscanf(line, "%d: %15s %15s %15s %lu %95s", &number, kind, mode, access, &pid,
                        id) == 6 &&
            std::string(kind) == "FLOCK" && std::string(access) == "WRITE" &&
            std::string(id) == want) {
            holder = static_cast<std::uint32_t>(pid);
        }
    }
    std::fclose(f);
    return holder;
}

}  // namespace

LockProbe probe_lock_file(const char* path) {
    LockProbe probe;
    int raw = -1;
    switch (open_regular(path, false, raw)) {
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
    Fd fd(raw);
    probe.recorded_pid = read_recorded_pid(fd.get());
    if (flock(fd.get(), LOCK_SH | LOCK_NB) == 0) {
        flock(fd.get(), LOCK_UN);
        probe.state = LockProbe::State::unlocked;
        return probe;
    }
    probe.state = LockProbe::State::locked;
    probe.holder_pid = lock_holder(fd.get());
    probe.file_key = key_of(fd.get());
    return probe;
}

bool remove_unlocked_file(const char* path) {
    int raw = -1;
    if (open_regular(path, false, raw) != Opened::ok)
        return false;
    Fd fd(raw);
    if (lock_exclusive(fd, path) != 0 || !still_at_path(fd.get(), path))
        return false;
    return unlink(path) == 0;
}

LockedFile::Claim LockedFile::claim(const char* path, std::unique_ptr<LockedFile>& out) {
    using namespace std::chrono;
    const auto patience = steady_clock::now() + milliseconds(500);
    // Each pass that finds the file gone or replaced starts over; a directory where that
    // never settles is given up on.
    for (int attempt = 0; attempt < 100; ++attempt) {
        int raw = -1;
        switch (open_regular(path, true, raw)) {
            case Opened::ok:
                break;
            case Opened::not_regular:
                return Claim::not_regular;
            case Opened::missing:  // deleted between the look and the open: look again
                continue;
            case Opened::failed:
                return Claim::failed;
        }
        Fd fd(raw);
        if (lock_exclusive(fd, path) != 0) {
            if (errno != EWOULDBLOCK)
                return Claim::failed;
            if (steady_clock::now() >= patience)
                return Claim::held;
            std::this_thread::sleep_for(milliseconds(20));
            continue;
        }
        // The previous holder deleted the file after we opened it: claim the new one.
        if (!still_at_path(fd.get(), path))
            continue;
        // The number is written over the old content before the rest is cut off, so a reader
        // never finds the file empty once it held a number.
        char text[32];
        int n = std::snprintf(text, sizeof text, "%lu\n", static_cast<unsigned long>(getpid()));
        Fd writer(open(path, O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
        if (writer.get() < 0 || key_of(writer.get()) != key_of(fd.get()) ||
            pwrite(writer.get(), text, static_cast<std::size_t>(n), 0) != n ||
            ftruncate(writer.get(), n) != 0) {
            return Claim::failed;
        }
        // Readable by all, whatever the umask or an earlier file's mode: other users' -status
        // and -stop must see the instance. A file owned by someone else keeps its mode.
        fchmod(fd.get(), 0644);
        std::string key = key_of(fd.get());
        out.reset(new LockedFile(fd.release(), path, key));
        return Claim::claimed;
    }
    return Claim::failed;
}

LockedFile::LockedFile(std::intptr_t handle, std::string path, std::string key)
    : handle_(handle), path_(std::move(path)), key_(std::move(key)) {}

LockedFile::~LockedFile() {
    if (handle_ >= 0)
        close(static_cast<int>(handle_));
}

void LockedFile::remove() {
    if (handle_ < 0)
        return;
    if (still_at_path(static_cast<int>(handle_), path_.c_str()))
        unlink(path_.c_str());
    close(static_cast<int>(handle_));
    handle_ = -1;
}

}  // namespace hv::platform
