#include "platform/process.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/stop.h"

extern char** environ;

namespace hv::platform {
namespace {

// A descriptor that is closed when it goes out of scope.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// Both ends close-on-exec, so a child started by another thread never inherits them; the
// child's own copies are made by dup2 in the spawn file actions.
bool make_pipe(Fd& read_end, Fd& write_end) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
    return true;
}

bool is_executable_file(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// File actions and attributes released on every path.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    bool ok = false;
    SpawnSetup() {
        if (posix_spawn_file_actions_init(&actions) != 0)
            return;
        if (posix_spawnattr_init(&attributes) != 0) {
            posix_spawn_file_actions_destroy(&actions);
            return;
        }
        ok = true;
    }
    ~SpawnSetup() {
        if (!ok)
            return;
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
};

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline` (none: -1, wait without end), at least 0.
int remaining_ms(const std::optional<Clock::time_point>& deadline) {
    if (!deadline)
        return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 60000));
}

int exit_code(pid_t reaped, pid_t pid, int status) {
    if (reaped != pid)
        return 1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}

// What may end a running child early: its deadline, and the stop request for a child that
// asked for it. Whichever ends it kills its whole process group and is remembered.
struct Watch {
    std::optional<Clock::time_point> deadline;
    bool end_on_stop = false;
    bool timed_out = false;
    bool stopped = false;
    /// Ended by the stop request before its output was read to the end: what was read may be
    /// any part of what the child wrote.
    bool output_cut = false;

    bool active() const { return deadline.has_value() || end_on_stop; }
    bool ended() const { return timed_out || stopped; }
    // How long a wait may last before the next look: the time left, and a tenth of a second
    // while the stop request is watched; -1 for no end.
    int wait_ms() const {
        int left = remaining_ms(deadline);
        if (!end_on_stop)
            return left;
        return left < 0 ? 100 : std::min(left, 100);
    }
    // Ends the child's process group when its time is up or the stop request came; true once
    // it was ended either way.
    bool end_if_due(pid_t pid) {
        if (ended())
            return true;
        if (end_on_stop && stop_requested())
            stopped = true;
        else if (deadline && remaining_ms(deadline) == 0)
            timed_out = true;
        else
            return false;
        kill(-pid, SIGKILL);
        return true;
    }
    int result(int exit_code) const {
        if (timed_out)
            return kChildTimedOut;
        // A child that ended on its own before the kill reached it has a result worth keeping,
        // provided all it wrote was read.
        if (stopped && (exit_code == 128 + SIGKILL || output_cut))
            return kChildEndedOnStop;
        return exit_code;
    }
};

// Waits for the child; a watched child is polled, since waitpid cannot time out and a child
// may close its output and live on.
int wait_for(pid_t pid, Watch& watch) {
    int status = 0;
    pid_t r = 0;
    int pause_ms = 1;
    while (watch.active() && !watch.ended()) {
        r = waitpid(pid, &status, WNOHANG);
        if (r < 0 && errno == EINTR)
            continue;
        if (r != 0)
            return watch.result(exit_code(r, pid, status));
        if (watch.end_if_due(pid))
            break;
        int wait = watch.wait_ms();
        usleep(static_cast<useconds_t>(wait < 0 ? pause_ms : std::min(pause_ms, wait)) * 1000);
        pause_ms = std::min(pause_ms * 2, 50);
    }
    do {
        r = waitpid(pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    return watch.result(exit_code(r, pid, status));
}

// How long the output pipe may take to report its end once the child's process group was
// ended. Every writer in the group is gone by then; only a process that left the group can
// hold the pipe open longer.
constexpr int kDrainAfterEndMs = 2000;

// Reads what is left in the output pipe after the stop request ended the child's process
// group. A child that had already exited on its own left its whole output there, and its
// result stands only with all of it. False when the end was not reached in time.
bool drain_to_end(Fd& out, const ChildRequest& request) {
    const std::optional<Clock::time_point> deadline =
        Clock::now() + std::chrono::milliseconds(kDrainAfterEndMs);
    char chunk[512];
    while (out.get() >= 0) {
        pollfd fd{out.get(), POLLIN, 0};
        int ready = poll(&fd, 1, remaining_ms(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        ssize_t r = read(out.get(), chunk, 511);
        if (r > 0) {
            request.sink(request.sink_context, chunk, static_cast<std::size_t>(r));
        } else if (r == 0) {
            out.reset();
        } else if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

// Feeds the standard-input text and drains the output pipe together, so neither side can
// block the other whatever their sizes: the input end is non-blocking, so a child that writes
// much before it reads never holds a write of ours while its own output fills up. Both ends
// are closed on return, also when the wait fails, so the child sees the end of its input and
// a broken output pipe instead of blocking for ever.
void pump(Fd& in, const std::string* text, Fd& out, const ChildRequest& request, pid_t pid,
          Watch& watch) {
    std::size_t written = 0;
    if (in.get() >= 0 && (text == nullptr || text->empty() ||
                          fcntl(in.get(), F_SETFL, fcntl(in.get(), F_GETFL) | O_NONBLOCK) < 0)) {
        in.reset();
    }
    char chunk[512];
    while (in.get() >= 0 || out.get() >= 0) {
        pollfd fds[2];
        nfds_t n = 0;
        int write_slot = -1, read_slot = -1;
        if (in.get() >= 0) {
            write_slot = static_cast<int>(n);
            fds[n++] = pollfd{in.get(), POLLOUT, 0};
        }
        if (out.get() >= 0) {
            read_slot = static_cast<int>(n);
            fds[n++] = pollfd{out.get(), POLLIN, 0};
        }
        // A child ended early takes all it started along; their pipe ends close. After a stop
        // the rest of the output is still read: the child may have exited on its own just
        // before, with its answer in the pipe.
        if (watch.end_if_due(pid)) {
            if (watch.stopped && !drain_to_end(out, request))
                watch.output_cut = true;
            break;
        }
        int ready = poll(fds, n, watch.wait_ms());
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (ready == 0)
            continue;
        if (write_slot >= 0 && fds[write_slot].revents != 0) {
            ssize_t w = write(in.get(), text->data() + written, text->size() - written);
            if (w > 0)
                written += static_cast<std::size_t>(w);
            // Done, or the child closed its input (EPIPE, POLLERR): it gets no more.
            if (written >= text->size() || (w < 0 && errno != EINTR && errno != EAGAIN))
                in.reset();
        }
        if (read_slot >= 0 && fds[read_slot].revents != 0) {
            ssize_t r = read(out.get(), chunk, 511);
            if (r > 0) {
                request.sink(request.sink_context, chunk, static_cast<std::size_t>(r));
            } else if (r == 0 || errno != EINTR) {
                out.reset();
            }
        }
    }
    in.reset();
    out.reset();
}

// Everything the child needs between fork and exec, prepared before the fork: this process has
// other threads, whose locks (the allocator's among them) the forked child may find held, so
// the child makes async-signal-safe calls only.
struct ChildSetup {
    const char* program = nullptr;
    char* const* argv = nullptr;
    int stdin_fd = -1;   ///< becomes standard input; -1: the null device
    int output_fd = -1;  ///< becomes standard output and error; -1: the null device
    pid_t parent = 0;
    int report_fd = -1;  ///< close-on-exec: gets errno of a failed step, nothing after exec
};

// A descriptor about to be moved onto 0, 1 or 2 must not be one of them itself, or one move
// would overwrite the source of another. The copy is close-on-exec like the original.
int above_standard_streams(int fd) {
    return fd < 0 || fd > 2 ? fd : fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

[[noreturn]] void fail_in_child(int report_fd) {
    int error = errno;
    ssize_t ignored = write(report_fd, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

[[noreturn]] void run_in_child(const ChildSetup& s) {
    // The child dies with this process, also when this process is killed outright: a send's
    // curl must not go on alone (a restarted instance would send the same notice again, and
    // its message file would outlive everyone who knows of it). The kernel sends the signal
    // when the forking thread ends; run_child keeps that thread until the child has ended.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
        fail_in_child(s.report_fd);
    // This process may have died before the line above took effect.
    if (getppid() != s.parent)
        _exit(127);
    // Own process group: a Ctrl+C at the monitor's terminal must not kill a running probe and
    // turn it into a false failure; ending the group ends all the child started.
    if (setpgid(0, 0) != 0)
        fail_in_child(s.report_fd);
    // Default handling of the signals this process catches or ignores; exec keeps ignored ones.
    for (int sig : {SIGTERM, SIGINT, SIGPIPE}) {
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        if (sigaction(sig, &action, nullptr) != 0)
            fail_in_child(s.report_fd);
    }
    int report_fd = above_standard_streams(s.report_fd);
    int in = s.stdin_fd >= 0 ? s.stdin_fd : open("/dev/null", O_RDONLY | O_CLOEXEC);
    in = above_standard_streams(in);
    int out = s.output_fd >= 0 ? s.output_fd : open("/dev/null", O_WRONLY | O_CLOEXEC);
    out = above_standard_streams(out);
    if (report_fd < 0 || in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(1, 2) < 0)
        fail_in_child(report_fd < 0 ? s.report_fd : report_fd);
    // Every other descriptor of this process is close-on-exec and goes with the exec.
    sigset_t empty;
    sigemptyset(&empty);
    sigprocmask(SIG_SETMASK, &empty, nullptr);
    execv(s.program, s.argv);
    fail_in_child(report_fd);
}

// Forks and execs the child; its pid, or -1 when it could not be started (also when the exec
// failed). No signal handler of this process runs in the child before the exec.
pid_t start_child(ChildSetup& setup) {
    Fd report_read, report_write;
    if (!make_pipe(report_read, report_write))
        return -1;
    setup.parent = getpid();
    setup.report_fd = report_write.get();
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pid_t pid = fork();
    if (pid == 0)
        run_in_child(setup);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0)
        return -1;
    report_write.reset();
    int error = 0;
    ssize_t n;
    do {
        n = read(report_read.get(), &error, sizeof error);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return pid;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return -1;
}

}  // namespace

std::string find_program(std::string_view name) {
    if (name.empty() || name.find('/') != std::string_view::npos)
        return {};
    const char* path = std::getenv("PATH");
    if (path == nullptr)
        return {};
    std::string_view rest(path);
    while (true) {
        std::size_t colon = rest.find(':');
        std::string_view dir = rest.substr(0, colon);
        // Empty and relative entries would search the working directory.
        if (!dir.empty() && dir.front() == '/') {
            std::string candidate(dir);
            candidate += '/';
            candidate += name;
            if (is_executable_file(candidate))
                return candidate;
        }
        if (colon == std::string_view::npos)
            break;
        rest.remove_prefix(colon + 1);
    }
    return {};
}

int run_child(const ChildRequest& request) {
    if (request.argv.empty() || request.argv[0].empty())
        return -1;
    if (request.output == ChildOutput::capture && request.sink == nullptr)
        return -1;
    std::string program = find_program(request.argv[0]);
    if (program.empty())
        return -1;

    Fd in_read, in_write, out_read, out_write;
    if (request.stdin_text != nullptr && !make_pipe(in_read, in_write))
        return -1;
    if (request.output == ChildOutput::capture && !make_pipe(out_read, out_write))
        return -1;

    std::vector<char*> argv;
    argv.reserve(request.argv.size() + 1);
    for (const std::string& arg : request.argv)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    // A child that exits without reading its input must not end this process with SIGPIPE;
    // the failed write shows as EPIPE instead. The child gets the default action back.
    static const bool sigpipe_ignored = (signal(SIGPIPE, SIG_IGN), true);
    (void)sigpipe_ignored;

    ChildSetup setup;
    setup.program = program.c_str();
    setup.argv = argv.data();
    setup.stdin_fd = in_read.get();
    setup.output_fd = out_write.get();
    pid_t pid = start_child(setup);
    if (pid < 0)
        return -1;
    // Our copies of the child's ends go at once, so the pipes report their end when it exits.
    in_read.reset();
    out_write.reset();

    Watch watch;
    if (request.time_limit_ms > 0)
        watch.deadline = Clock::now() + std::chrono::milliseconds(request.time_limit_ms);
    watch.end_on_stop = request.end_on_stop;
    pump(in_write, request.stdin_text, out_read, request, pid, watch);
    return wait_for(pid, watch);
}

DetachedStart start_detached_self(const std::vector<std::string>& args, int wait_seconds,
                                  const std::function<bool(std::uint32_t pid)>& ready) {
    DetachedStart result;
    std::string exe = [] {
        char buffer[4096];
        ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }();
    if (exe.empty())
        return result;
    std::vector<char*> argv;
    argv.push_back(exe.data());
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    Fd out_read, out_write;
    if (!make_pipe(out_read, out_write))
        return result;
    SpawnSetup setup;
    if (!setup.ok)
        return result;
    int rc = 0;
    rc |= posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    rc |= posix_spawn_file_actions_adddup2(&setup.actions, out_write.get(), 1);
    rc |= posix_spawn_file_actions_addopen(&setup.actions, 2, "/dev/null", O_WRONLY, 0);
    rc |= posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSID);
    if (rc != 0)
        return result;
    pid_t pid = 0;
    if (posix_spawn(&pid, exe.c_str(), &setup.actions, &setup.attributes, argv.data(), environ) !=
        0) {
        return result;
    }
    result.created = true;
    result.pid = static_cast<std::uint32_t>(pid);
    out_write.reset();

    using namespace std::chrono;
    const auto deadline = steady_clock::now() + seconds(wait_seconds);
    char chunk[512];
    while (true) {
        pollfd fd{out_read.get(), POLLIN, 0};
        if (out_read.get() >= 0 && poll(&fd, 1, 100) > 0) {
            ssize_t r = read(out_read.get(), chunk, sizeof chunk);
            if (r > 0) {
                result.output.append(chunk, static_cast<std::size_t>(r));
                continue;
            }
            if (r == 0 || errno != EINTR)
                out_read.reset();
        } else if (out_read.get() < 0) {
            std::this_thread::sleep_for(milliseconds(100));
        }
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            // Whatever it wrote last is still in the pipe.
            while (out_read.get() >= 0) {
                ssize_t r = read(out_read.get(), chunk, sizeof chunk);
                if (r > 0)
                    result.output.append(chunk, static_cast<std::size_t>(r));
                else if (r == 0 || errno != EINTR)
                    out_read.reset();
            }
            result.ended = true;
            result.exit_code = WIFEXITED(status)
                                   ? WEXITSTATUS(status)
                                   : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
            return result;
        }
        if (ready(result.pid)) {
            result.ready = true;
            return result;
        }
        if (steady_clock::now() >= deadline)
            return result;
    }
}

void release_standard_output() {
    std::fflush(stdout);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0)
        return;
    dup2(null, 1);
    close(null);
}

}  // namespace hv::platform
