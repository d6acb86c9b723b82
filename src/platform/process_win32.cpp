#include "platform/process.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/stop.h"

namespace hv::platform {
namespace {

struct Handle {
    HANDLE h = nullptr;
    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }
    void reset(HANDLE next = nullptr) {
        if (h != nullptr && h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        h = next;
    }
};

// Quotes one argument so that CommandLineToArgvW (and the C runtime) give it back unchanged.
void append_quoted(std::string& line, const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        line += arg;
        return;
    }
    line += '"';
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
        } else if (c == '"') {
            line.append(backslashes * 2 + 1, '\\');
            line += '"';
            backslashes = 0;
        } else {
            line.append(backslashes, '\\');
            line += c;
            backslashes = 0;
        }
    }
    line.append(backslashes * 2, '\\');
    line += '"';
}

std::string command_line(const std::string& program, const std::vector<std::string>& argv) {
    std::string line;
    append_quoted(line, program);
    for (std::size_t i = 1; i < argv.size(); ++i) {
        line += ' ';
        append_quoted(line, argv[i]);
    }
    return line;
}

bool is_absolute(std::string_view dir) {
    return (dir.size() >= 3 && dir[1] == ':' && (dir[2] == '\\' || dir[2] == '/')) ||
           (dir.size() >= 2 && (dir[0] == '\\' || dir[0] == '/') &&
            (dir[1] == '\\' || dir[1] == '/'));
}

bool is_file(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The pipe end the child gets is inheritable; ours is not.
bool make_pipe(Handle& ours, Handle& theirs, bool theirs_reads) {
    SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &sa, 65536))
        return false;
    ours.reset(theirs_reads ? write_end : read_end);
    theirs.reset(theirs_reads ? read_end : write_end);
    SetHandleInformation(ours.h, HANDLE_FLAG_INHERIT, 0);
    return true;
}

bool open_null(Handle& handle, bool for_writing) {
    SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE h = CreateFileA("NUL", for_writing ? GENERIC_WRITE : GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    handle.reset(h);
    return true;
}

// Attribute list that confines inheritance to the given handles: a child started by one worker
// never holds another worker's pipe open.
struct InheritList {
    std::vector<char> storage;
    LPPROC_THREAD_ATTRIBUTE_LIST list = nullptr;
    HANDLE handles[3];
    bool init(HANDLE in, HANDLE out, HANDLE err) {
        handles[0] = in;
        handles[1] = out;
        handles[2] = err;
        DWORD count = out == err ? 2 : 3;
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage.resize(size);
        list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
        if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            list = nullptr;
            return false;
        }
        return UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                         count * sizeof(HANDLE), nullptr, nullptr) != 0;
    }
    ~InheritList() {
        if (list != nullptr)
            DeleteProcThreadAttributeList(list);
    }
};

}  // namespace

std::string find_program(std::string_view name) {
    if (name.empty() || name.find_first_of("\\/:") != std::string_view::npos)
        return {};
    std::string file(name);
    if (file.size() < 4 || _stricmp(file.c_str() + file.size() - 4, ".exe") != 0)
        file += ".exe";
    const char* path = std::getenv("PATH");
    if (path == nullptr)
        return {};
    std::string_view rest(path);
    while (true) {
        std::size_t semi = rest.find(';');
        std::string_view dir = rest.substr(0, semi);
        // An entry may stand in double quotes (a folder name with a ';' needs them).
        if (dir.size() >= 2 && dir.front() == '"' && dir.back() == '"')
            dir = dir.substr(1, dir.size() - 2);
        // Empty, relative and drive-relative entries would search the working directory.
        if (is_absolute(dir)) {
            std::string candidate(dir);
            if (candidate.back() != '\\' && candidate.back() != '/')
                candidate += '\\';
            candidate += file;
            if (is_file(candidate))
                return candidate;
        }
        if (semi == std::string_view::npos)
            break;
        rest.remove_prefix(semi + 1);
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

    Handle in_ours, in_theirs, out_ours, out_theirs;
    if (request.stdin_text != nullptr) {
        if (!make_pipe(in_ours, in_theirs, true))
            return -1;
    } else if (!open_null(in_theirs, false)) {
        return -1;
    }
    if (request.output == ChildOutput::capture) {
        if (!make_pipe(out_ours, out_theirs, false))
            return -1;
    } else if (!open_null(out_theirs, true)) {
        return -1;
    }

    InheritList inherit;
    if (!inherit.init(in_theirs.h, out_theirs.h, out_theirs.h))
        return -1;
    STARTUPINFOEXA info{};
    info.StartupInfo.cb = sizeof info;
    info.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    info.StartupInfo.wShowWindow = SW_HIDE;
    info.StartupInfo.hStdInput = in_theirs.h;
    info.StartupInfo.hStdOutput = out_theirs.h;
    info.StartupInfo.hStdError = out_theirs.h;
    info.lpAttributeList = inherit.list;

    // Every child goes into a job object of its own before it runs. Ending the job ends it
    // together with everything it started (at a time limit, at the stop request), and the job
    // ends with its last handle, which this process holds: a child never outlives this
    // process, also when it is killed, so a send's curl cannot deliver on its own and have a
    // restarted instance send the same notice again.
    const bool limited = request.time_limit_ms > 0 || request.end_on_stop;
    Handle job;
    job.reset(CreateJobObjectA(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job.h != nullptr &&
        !SetInformationJobObject(job.h, JobObjectExtendedLimitInformation, &limits, sizeof limits))
        job.reset();
    std::string line = command_line(program, request.argv);
    PROCESS_INFORMATION pi{};
    DWORD flags = CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT | CREATE_SUSPENDED;
    if (!CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                        nullptr, &info.StartupInfo, &pi)) {
        return -1;
    }
    Handle process, thread;
    process.reset(pi.hProcess);
    thread.reset(pi.hThread);
    in_theirs.reset();
    out_theirs.reset();
    if (job.h != nullptr && !AssignProcessToJobObject(job.h, process.h))
        job.reset();  // ended alone, then
    ResumeThread(thread.h);

    // The watchdog ends the child at its time limit or at the stop request; its pipes then
    // close, so the reads below end too.
    std::atomic<bool> timed_out{false};
    std::atomic<bool> stopped{false};
    std::thread watchdog;
    if (limited) {
        auto watch = [&process, &job, &timed_out, &stopped](int limit_ms, bool end_on_stop) {
            const ULONGLONG began = GetTickCount64();
            while (true) {
                DWORD step = INFINITE;
                if (limit_ms > 0) {
                    ULONGLONG spent = GetTickCount64() - began;
                    step = spent >= static_cast<ULONGLONG>(limit_ms)
                               ? 0
                               : static_cast<DWORD>(limit_ms - static_cast<int>(spent));
                }
                if (end_on_stop)
                    step = std::min<DWORD>(step, 100);
                if (WaitForSingleObject(process.h, step) != WAIT_TIMEOUT)
                    return;
                if (end_on_stop && stop_requested())
                    stopped = true;
                else if (limit_ms > 0 &&
                         GetTickCount64() - began >= static_cast<ULONGLONG>(limit_ms))
                    timed_out = true;
                else
                    continue;
                if (job.h == nullptr || !TerminateJobObject(job.h, 1))
                    TerminateProcess(process.h, 1);
                return;
            }
        };
        try {
            watchdog = std::thread(watch, request.time_limit_ms, request.end_on_stop);
        } catch (...) {
            // No thread to spare: this child runs without its limit.
        }
    }

    // The text is written from its own thread while this one drains the output, so neither
    // pipe can fill up and stop the other. The writer then closes its end, so the child sees
    // the end of its input.
    auto feed = [](HANDLE h, const std::string* text) {
        std::size_t done = 0;
        while (done < text->size()) {
            DWORD n = 0;
            DWORD want = static_cast<DWORD>(std::min<std::size_t>(text->size() - done, 65536));
            if (!WriteFile(h, text->data() + done, want, &n, nullptr) || n == 0)
                break;
            done += n;
        }
        CloseHandle(h);
    };
    std::thread writer;
    if (in_ours.h != nullptr) {
        HANDLE h = in_ours.h;
        in_ours.h = nullptr;
        try {
            writer = std::thread(feed, h, request.stdin_text);
        } catch (...) {
            // No thread to spare: write first, then read. Texts that fit the pipe's buffer,
            // which is what the callers hand over, cannot block this way.
            feed(h, request.stdin_text);
        }
    }
    if (out_ours.h != nullptr) {
        char chunk[512];
        DWORD n = 0;
        while (ReadFile(out_ours.h, chunk, 511, &n, nullptr) && n > 0) {
            request.sink(request.sink_context, chunk, n);
        }
    }
    if (writer.joinable())
        writer.join();
    WaitForSingleObject(process.h, INFINITE);
    if (watchdog.joinable())
        watchdog.join();
    if (timed_out)
        return kChildTimedOut;
    if (stopped)
        return kChildEndedOnStop;
    DWORD code = 1;
    if (!GetExitCodeProcess(process.h, &code))
        code = 1;
    return static_cast<int>(code);
}

DetachedStart start_detached_self(const std::vector<std::string>& args, int wait_seconds,
                                  const std::function<bool(std::uint32_t pid)>& ready) {
    DetachedStart result;
    char exe[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(nullptr, exe, sizeof exe);
    if (n == 0 || n >= sizeof exe)
        return result;
    std::vector<std::string> argv{std::string(exe, n)};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string line = command_line(argv[0], argv);

    Handle out_ours, out_theirs, in_null, err_null;
    if (!make_pipe(out_ours, out_theirs, false) || !open_null(in_null, false) ||
        !open_null(err_null, true)) {
        return result;
    }
    // Only these three handles are inherited: the copy holds none of the caller's pipes or
    // files open.
    InheritList inherit;
    if (!inherit.init(in_null.h, out_theirs.h, err_null.h))
        return result;
    STARTUPINFOEXA info{};
    info.StartupInfo.cb = sizeof info;
    info.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    info.StartupInfo.wShowWindow = SW_HIDE;
    info.StartupInfo.hStdInput = in_null.h;
    info.StartupInfo.hStdOutput = out_theirs.h;
    info.StartupInfo.hStdError = err_null.h;
    info.lpAttributeList = inherit.list;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(argv[0].c_str(), line.data(), nullptr, nullptr, TRUE,
                        CREATE_NO_WINDOW | DETACHED_PROCESS | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                        nullptr, &info.StartupInfo, &pi)) {
        return result;
    }
    Handle process, thread;
    process.reset(pi.hProcess);
    thread.reset(pi.hThread);
    out_theirs.reset();
    result.created = true;
    result.pid = pi.dwProcessId;

    // Reads what is there without blocking, so the wait can look at the process and the
    // PID file in between.
    auto drain = [&] {
        DWORD available = 0;
        char chunk[512];
        while (out_ours.h != nullptr &&
               PeekNamedPipe(out_ours.h, nullptr, 0, nullptr, &available, nullptr) &&
               available > 0) {
            DWORD got = 0;
            if (!ReadFile(out_ours.h, chunk, sizeof chunk, &got, nullptr) || got == 0)
                break;
            result.output.append(chunk, got);
        }
    };
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(wait_seconds) * 1000;
    while (true) {
        bool ended = WaitForSingleObject(process.h, 100) == WAIT_OBJECT_0;
        drain();
        if (ended) {
            DWORD code = 1;
            if (!GetExitCodeProcess(process.h, &code))
                code = 1;
            result.ended = true;
            result.exit_code = static_cast<int>(code);
            return result;
        }
        if (ready(result.pid)) {
            result.ready = true;
            return result;
        }
        if (GetTickCount64() >= deadline)
            return result;
    }
}

void release_standard_output() {
    std::fflush(stdout);
    int null = _open("NUL", _O_WRONLY);
    if (null < 0)
        return;
    // The C runtime closes the pipe behind descriptor 1 and takes the null device instead.
    _dup2(null, 1);
    _close(null);
    SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
}

}  // namespace hv::platform
