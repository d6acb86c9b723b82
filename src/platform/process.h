// Starting external programs. The only place where a child process is created.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace hv::platform {

/// run_child's result for a child that was still running at its time limit and was ended.
inline constexpr int kChildTimedOut = -2;

/// run_child's result for a child ended because run mode's stop request was set (end_on_stop).
inline constexpr int kChildEndedOnStop = -3;

/// Where a child's standard output and standard error go.
enum class ChildOutput {
    null_device,  ///< both streams are discarded
    capture,      ///< both streams share one pipe that is read through the request's sink
};

/// Receives captured output in the order the child wrote it, one read (at most 511 bytes) at a
/// time. Called on the thread that runs the child.
using CaptureSink = void (*)(void* context, const char* data, std::size_t size);

/// One program run. Nothing in it is ever interpreted by a command shell: every argument
/// reaches the program byte for byte.
struct ChildRequest {
    /// argv[0] is the program name, resolved through PATH (see find_program); the rest are its
    /// arguments. An empty vector or an empty argv[0] starts nothing.
    std::vector<std::string> argv;
    /// Text written to the child's standard input, which is then closed. Null: the child's
    /// standard input is the null device.
    const std::string* stdin_text = nullptr;
    ChildOutput output = ChildOutput::null_device;
    CaptureSink sink = nullptr;  ///< required with ChildOutput::capture
    void* sink_context = nullptr;
    /// Milliseconds the child may run; 0 for no limit. A child still running then is ended
    /// together with every process it started (its process group on POSIX, its job object on
    /// Windows).
    int time_limit_ms = 0;
    /// Ends the child together with every process it started as soon as run mode's stop
    /// request is set (platform/stop.h). For probes, whose result a stopping monitor drops;
    /// never for a send, which must be allowed to finish.
    bool end_on_stop = false;
};

/// Runs the program to its end on the calling thread, reading all of its output so that it is
/// never blocked by a full pipe. The child inherits no handle or descriptor of this process
/// other than its own standard streams, and runs in its own process group (POSIX) so that a
/// Ctrl+C meant for the monitor does not reach it. It never outlives this process, also when
/// this process is killed: it gets SIGKILL then (Linux), or its job object is closed (Windows).
/// Returns the child's exit code; -1 when nothing could be started (empty argv, program not on
/// PATH, no resources); kChildTimedOut when it was ended at its time limit; kChildEndedOnStop (see
/// end_on_stop); 1 when the exit code cannot be read; 128 + the signal number for a child ended by
/// a signal (POSIX). An exit code with the top bit set comes back negative (Windows).
int run_child(const ChildRequest& request);

/// The path of `name` found through the PATH environment variable, in PATH order, with ".exe"
/// appended on Windows. Empty or relative PATH entries are skipped, so the working directory is
/// never searched. A name that holds a directory separator is not searched and not returned.
/// Returns an empty string when nothing executable is found.
std::string find_program(std::string_view name);

/// What became of a copy of this program started by start_detached_self.
struct DetachedStart {
    bool created = false;  ///< the process was created
    std::uint32_t pid = 0;
    bool ready = false;  ///< `ready` said yes while it ran
    bool ended = false;  ///< it ended first; `exit_code` holds its exit code
    int exit_code = 0;
    std::string output;  ///< what it wrote to its standard output until then
};

/// Starts this program's own executable again with `args` (after the program path), detached
/// from this process: on POSIX in a new session; on Windows hidden, without a console, as
/// CREATE_NO_WINDOW | DETACHED_PROCESS. The caller's environment and working directory are
/// kept; standard input and standard error are the null device. Its standard output is a pipe
/// that this process reads while it waits: until `ready(pid)` (asked every 100 ms) returns
/// true, the copy ends, or `wait_seconds` pass. The copy goes on running after the return; it
/// calls release_standard_output once it no longer reports to the starter.
DetachedStart start_detached_self(const std::vector<std::string>& args, int wait_seconds,
                                  const std::function<bool(std::uint32_t pid)>& ready);

/// Points standard output at the null device, so a starter reading it sees its end.
void release_standard_output();

}  // namespace hv::platform
