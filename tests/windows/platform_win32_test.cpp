// The Win32 backend of the platform layer, run under Windows or Wine. The child program is
// test_child.exe, built beside this test.
#include <windows.h>

#include <io.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/console_event_win32.h"
#include "platform/files.h"
#include "platform/files_win32_seam.h"
#include "platform/instance.h"
#include "platform/lock_file.h"
#include "platform/process.h"
#include "platform/stop.h"
#include "scratch.h"

namespace hv::platform {
namespace {

std::string own_dir() {
    std::string exe = own_executable_path();
    return exe.substr(0, exe.find_last_of("\\/"));
}

using test::ScopedPath;
using test::ScratchDir;

// A copy of the child program called name in dir; returns its path.
std::string add_copy_of_child(const ScratchDir& dir, const std::string& name) {
    std::string target = dir.path(name);
    CopyFileA((own_dir() + "\\test_child.exe").c_str(), target.c_str(), FALSE);
    return target;
}

struct Captured {
    std::string text;
    std::size_t largest_chunk = 0;
};

void collect(void* context, const char* data, std::size_t size) {
    auto* out = static_cast<Captured*>(context);
    out->text.append(data, size);
    if (size > out->largest_chunk)
        out->largest_chunk = size;
}

int run(std::vector<std::string> argv, Captured& out, const std::string* stdin_text = nullptr) {
    ChildRequest request;
    request.argv = std::move(argv);
    request.stdin_text = stdin_text;
    request.output = ChildOutput::capture;
    request.sink = collect;
    request.sink_context = &out;
    return run_child(request);
}

class Win32Process : public ::testing::Test {
  protected:
    ScopedPath path_{own_dir()};
};

TEST_F(Win32Process, ArgumentsReachTheChildByteForByte) {
    // Each must come back unchanged from the child's C runtime: nothing is interpreted, and the
    // quoting survives blanks, quotes and runs of backslashes before a quote or the end.
    const std::vector<std::string> args = {"plain",
                                           "",
                                           "two words",
                                           "tab\there",
                                           "a\"b",
                                           "\"",
                                           "back\\slash",
                                           "trail\\",
                                           "trail two\\\\",
                                           "x\\\"y",
                                           "\\\\srv\\share\\",
                                           "&calc",
                                           "a|b",
                                           "%PATH%",
                                           "^caret",
                                           "<in >out",
                                           "a & b | c",
                                           "\"%PATH%\" & x",
                                           "!x!",
                                           "-n 1"};
    std::string expected;
    for (const std::string& arg : args)
        expected += "<" + arg + ">\n";
    // Split by the child's C runtime, and by CommandLineToArgvW.
    for (const char* mode : {"args", "wargs"}) {
        std::vector<std::string> argv = {"test_child", mode};
        argv.insert(argv.end(), args.begin(), args.end());
        Captured out;
        ASSERT_EQ(run(argv, out), 0);
        EXPECT_EQ(out.text, expected) << mode;
    }
}

TEST_F(Win32Process, ReturnsTheExitCode) {
    Captured out;
    EXPECT_EQ(run({"test_child", "exit", "3"}, out), 3);
    // A code with the top bit set, as an access violation leaves it, comes back negative.
    EXPECT_EQ(run({"test_child", "exit", "0xC0000005"}, out), static_cast<int>(0xC0000005u));
    ChildRequest quiet;
    quiet.argv = {"test_child", "exit", "7"};
    EXPECT_EQ(run_child(quiet), 7);
}

TEST_F(Win32Process, CapturesBothStreamsInChunks) {
    Captured out;
    EXPECT_EQ(run({"test_child", "spam", "20000"}, out), 0);
    EXPECT_EQ(out.text, std::string(20000, 'x') + "ERR");
    EXPECT_LE(out.largest_chunk, 511u);

    Captured err;
    EXPECT_EQ(run({"test_child", "stderr"}, err), 0);
    EXPECT_EQ(err.text, "only-err");
}

TEST_F(Win32Process, StandardInput) {
    // Larger than a pipe holds in both directions: feeding and draining must not block each
    // other.
    std::string text;
    for (int i = 0; text.size() < 300000; ++i)
        text += "line " + std::to_string(i) + " & | %PATH% \"\r\n";
    Captured out;
    EXPECT_EQ(run({"test_child", "stdin"}, out, &text), 0);
    EXPECT_EQ(out.text, text);

    // Without text the child reads the null device and sees its end at once.
    Captured none;
    EXPECT_EQ(run({"test_child", "stdin"}, none), 0);
    EXPECT_EQ(none.text, "");
}

TEST_F(Win32Process, NothingStartsWithoutAProgram) {
    Captured out;
    EXPECT_EQ(run({}, out), -1);
    EXPECT_EQ(run({""}, out), -1);
    EXPECT_EQ(run({"no_such_program_here"}, out), -1);
    ChildRequest no_sink;
    no_sink.argv = {"test_child", "args"};
    no_sink.output = ChildOutput::capture;
    EXPECT_EQ(run_child(no_sink), -1);
}

TEST_F(Win32Process, EveryChildEndsWhenThisProcessEnds) {
    // Its job object closes with this process, killed or not, and takes the child along.
    Captured out;
    EXPECT_EQ(run({"test_child", "job"}, out), 0);
    // Wine tells a process that it is in a job but not the job's limits.
    const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    EXPECT_EQ(out.text, wine ? "job" : "kill-on-close");
}

TEST(Win32FindProgram, SearchesPathInOrderAndNeverTheWorkingDirectory) {
    ScratchDir first_dir("path1"), second_dir("path2");
    test::ScopedWorkDir cwd("cwd");
    const std::string first = first_dir.dir().string(), second = second_dir.dir().string();
    std::string in_second = add_copy_of_child(second_dir, "hvtool.exe");
    add_copy_of_child(cwd, "hvlocal.exe");
    std::string in_first = add_copy_of_child(first_dir, "hvtool.exe");

    {
        ScopedPath path(first + ";" + second);
        EXPECT_EQ(find_program("hvtool"), in_first);
        EXPECT_EQ(find_program("hvtool.exe"), in_first);
    }
    {
        ScopedPath path("\"" + second + "\";" + first);
        EXPECT_EQ(find_program("hvtool"), in_second);
    }
    {
        // Empty, relative and "." entries would reach the working directory.
        ScopedPath path(";.;.\\;hvdir;" + first);
        EXPECT_EQ(find_program("hvlocal"), "");
        ChildRequest request;
        request.argv = {"hvlocal", "exit", "0"};
        EXPECT_EQ(run_child(request), -1);
        EXPECT_EQ(find_program("hvtool"), in_first);
    }
    {
        ScopedPath path(first);
        // Names with a folder are not looked up; other kinds of program are never run.
        for (const char* name : {".\\hvtool", "hvtool/x", "C:hvtool", "hvtool.bat", "hvtool.cmd"})
            EXPECT_EQ(find_program(name), "") << name;
    }
}

TEST_F(Win32Process, AChildHoldsNoOtherCapturesPipe) {
    // While one worker's capture is being set up, its pipe's child end is inheritable; a child
    // another worker starts in that moment must not get it. The moment is made to last: an
    // inheritable pipe stands open while a long child starts. Once our write end is closed,
    // the read end sees the pipe's end at once, unless the long child holds a copy, and then
    // only when the long child ends, after it has marked its end.
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    ASSERT_TRUE(CreatePipe(&read_end, &write_end, &inheritable, 0));
    ScratchDir dir;
    std::string started = dir.path("long");
    std::string ended = dir.path("long.end");
    std::thread long_run([&] {
        Captured out;
        run({"test_child", "mark", started, "8000"}, out);
    });
    for (int i = 0; i < 3000 && GetFileAttributesA(started.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(10);
    EXPECT_NE(GetFileAttributesA(started.c_str()), INVALID_FILE_ATTRIBUTES);
    CloseHandle(write_end);
    char byte;
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(read_end, &byte, 1, &n, nullptr));
    EXPECT_EQ(GetFileAttributesA(ended.c_str()), INVALID_FILE_ATTRIBUTES)
        << "the long child held the pipe open";
    CloseHandle(read_end);
    long_run.join();
}

// Starts test_child.exe directly, so the test holds its handle and knows its id.
PROCESS_INFORMATION start_child(const char* args) {
    std::string line = "\"" + own_dir() + "\\test_child.exe\" " + args;
    STARTUPINFOA info{};
    info.cb = sizeof info;
    PROCESS_INFORMATION pi{};
    EXPECT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                               nullptr, nullptr, &info, &pi));
    return pi;
}

TEST(Win32Instance, LivenessNeedsARunningProcessOfThisProgram) {
    EXPECT_TRUE(is_instance_alive(current_pid()));
    EXPECT_FALSE(is_instance_alive(0));

    // Running, but another program.
    PROCESS_INFORMATION other = start_child("sleep 20000");
    EXPECT_FALSE(is_instance_alive(other.dwProcessId));
    EXPECT_TRUE(process_exists(other.dwProcessId));
    EXPECT_FALSE(wait_for_process_end(other.dwProcessId, 100));
    // It waits on no stop event, so a stop request finds nothing to ask.
    EXPECT_EQ(request_instance_stop(other.dwProcessId, "key"), StopRequest::not_found);
    TerminateProcess(other.hProcess, 0);
    EXPECT_TRUE(wait_for_process_end(other.dwProcessId, 10000));
    // Ended while its handle is still open, so its id is not reused: not alive.
    EXPECT_FALSE(is_instance_alive(other.dwProcessId));
    EXPECT_FALSE(process_exists(other.dwProcessId));
    CloseHandle(other.hThread);
    CloseHandle(other.hProcess);
}

TEST(Win32Stop, LogoffStopsAConsoleRunButNotAService) {
    clear_stop_request();
    EXPECT_TRUE(on_console_event(CTRL_LOGOFF_EVENT));
    EXPECT_TRUE(stop_requested());
    clear_stop_request();

    set_service_mode();
    EXPECT_TRUE(on_console_event(CTRL_LOGOFF_EVENT));
    EXPECT_FALSE(stop_requested());
    // Everything else still stops a service.
    for (DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_SHUTDOWN_EVENT}) {
        EXPECT_TRUE(on_console_event(event));
        EXPECT_TRUE(stop_requested()) << event;
        clear_stop_request();
    }
}

TEST(Win32LockFile, HeldLockIsSeenAndTheNumberStaysReadable) {
    ScratchDir dir;
    std::string path = dir.path("hostvigil.pid");
    EXPECT_EQ(probe_lock_file(path.c_str()).state, LockProbe::State::missing);
    {
        std::unique_ptr<LockedFile> held;
        ASSERT_EQ(LockedFile::claim(path.c_str(), held), LockedFile::Claim::claimed);
        // Locks are per handle: this process's own look is refused like anyone else's.
        LockProbe probe = probe_lock_file(path.c_str());
        EXPECT_EQ(probe.state, LockProbe::State::locked);
        EXPECT_EQ(probe.recorded_pid, current_pid());
        EXPECT_EQ(probe.file_key, held->file_key());
        std::unique_ptr<LockedFile> second;
        EXPECT_EQ(LockedFile::claim(path.c_str(), second), LockedFile::Claim::held);
        EXPECT_FALSE(remove_unlocked_file(path.c_str()));
        // The lock covers no byte of the content: plain reads still see the number.
        std::FILE* in = std::fopen(path.c_str(), "rb");
        ASSERT_NE(in, nullptr);
        char bytes[32] = {};
        std::size_t n = std::fread(bytes, 1, sizeof bytes, in);
        std::fclose(in);
        EXPECT_EQ(std::string(bytes, n), std::to_string(current_pid()) + "\r\n");
    }
    // Released without its orderly end: the file stays, unlocked, and can be cleared.
    EXPECT_EQ(probe_lock_file(path.c_str()).state, LockProbe::State::unlocked);
    EXPECT_TRUE(remove_unlocked_file(path.c_str()));
    EXPECT_EQ(probe_lock_file(path.c_str()).state, LockProbe::State::missing);

    std::unique_ptr<LockedFile> again;
    ASSERT_EQ(LockedFile::claim(path.c_str(), again), LockedFile::Claim::claimed);
    again->remove();
    EXPECT_EQ(probe_lock_file(path.c_str()).state, LockProbe::State::missing);

    CreateDirectoryA(path.c_str(), nullptr);
    EXPECT_EQ(LockedFile::claim(path.c_str(), again), LockedFile::Claim::not_regular);
    EXPECT_EQ(probe_lock_file(path.c_str()).state, LockProbe::State::not_regular);
    RemoveDirectoryA(path.c_str());
}

TEST(Win32Instance, OwnPathAndComputerName) {
    std::string exe = own_executable_path();
    EXPECT_NE(exe.find("platform_win32_test.exe"), std::string::npos) << exe;
    std::string name = computer_name();
    EXPECT_FALSE(name.empty());
    EXPECT_LE(name.size(), 127u);
    EXPECT_STREQ(os_name(), "Windows");
}

TEST(Win32Files, ExclusiveCreateAndTextMode) {
    ScratchDir dir;
    std::string file = dir.path("made.txt");
    std::string other = dir.path("other.txt");
    std::FILE* f = create_exclusive(file.c_str(), true);
    ASSERT_NE(f, nullptr);
    std::fputs("1234\n", f);
    std::fclose(f);
    EXPECT_EQ(create_exclusive(file.c_str(), true), nullptr);

    std::FILE* in = std::fopen(file.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    char bytes[16] = {};
    std::size_t n = std::fread(bytes, 1, sizeof bytes, in);
    std::fclose(in);
    EXPECT_EQ(std::string(bytes, n), "1234\r\n");

    std::FILE* g = create_exclusive(other.c_str(), false);
    ASSERT_NE(g, nullptr);
    std::fclose(g);
    bool existed = false;
    EXPECT_FALSE(publish_exclusive(other.c_str(), file.c_str(), existed));
    EXPECT_TRUE(existed);
    EXPECT_TRUE(replace_file(other.c_str(), file.c_str()));
    EXPECT_TRUE(delete_file(file.c_str()));
    EXPECT_FALSE(delete_file(file.c_str()));
}

std::string read_bytes(const std::string& path) {
    std::string text;
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr)
        return "(missing)";
    char chunk[256];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0)
        text.append(chunk, n);
    std::fclose(in);
    return text;
}

// The names in `dir` other than "." and "..".
std::vector<std::string> names_in(const ScratchDir& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(dir.path("*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::string name = found.cFileName;
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

// The alert file's rewrite goes through ReplaceFileW (which keeps the ACL and attributes on
// Windows; Wine does not keep them, so that is not asserted here) and leaves no file behind.
TEST(Win32Files, RewriteReplacesTheContentAndLeavesNothingBehind) {
    ScratchDir dir;
    std::string file = dir.path("alerts.txt");
    std::FILE* f = create_exclusive(file.c_str(), false);
    ASSERT_NE(f, nullptr);
    std::fputs("password : \"pw\"\r\n", f);
    std::fclose(f);
    ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_HIDDEN));

    EXPECT_TRUE(replace_file_whole(file.c_str(), "password : \"encry1B1C\"\r\n",
                                   ReplacePolicy::keep_existing));
    std::FILE* in = std::fopen(file.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    char bytes[64] = {};
    std::size_t n = std::fread(bytes, 1, sizeof bytes, in);
    std::fclose(in);
    EXPECT_EQ(std::string(bytes, n), "password : \"encry1B1C\"\r\n");

    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(dir.path("*.tmp").c_str(), &found);
    EXPECT_EQ(search, INVALID_HANDLE_VALUE) << "a temporary file was left";
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_FALSE(
        replace_file_whole(dir.path("missing.txt").c_str(), "x", ReplacePolicy::keep_existing));
    EXPECT_FALSE(replace_file_whole(dir.dir().string().c_str(), "x",
                                    ReplacePolicy::keep_existing));  // a folder
    DeleteFileA(file.c_str());
}

// Stand-ins for ReplaceFileW failing halfway, each leaving what the system documents.
BOOL WINAPI old_file_gone(LPCWSTR replaced, LPCWSTR, LPCWSTR, DWORD, LPVOID, LPVOID) {
    DeleteFileW(replaced);
    SetLastError(ERROR_UNABLE_TO_MOVE_REPLACEMENT);
    return FALSE;
}
BOOL WINAPI old_file_under_backup_name(LPCWSTR replaced, LPCWSTR, LPCWSTR backup, DWORD, LPVOID,
                                       LPVOID) {
    MoveFileW(replaced, backup != nullptr ? backup : (std::wstring(replaced) + L"~").c_str());
    SetLastError(ERROR_UNABLE_TO_MOVE_REPLACEMENT_2);
    return FALSE;
}
BOOL WINAPI nothing_moved(LPCWSTR, LPCWSTR, LPCWSTR, DWORD, LPVOID, LPVOID) {
    SetLastError(ERROR_UNABLE_TO_REMOVE_REPLACED);
    return FALSE;
}

// However the swap fails, the alert file with its credentials is still there afterwards: the
// old content put back, or the new one moved into place. Nothing else is left behind.
TEST(Win32Files, AFailedSwapNeverLosesTheAlertFile) {
    const std::string before = "password : \"pw\"\r\n";
    const std::string after = "password : \"encry1B1C\"\r\n";
    struct Case {
        const char* what;
        ReplaceFileFunction swap;
        bool replaced;
    };
    const Case cases[] = {
        {"old file deleted, new one left under its own name", old_file_gone, true},
        {"old file left under the backup name", old_file_under_backup_name, false},
        {"nothing moved", nothing_moved, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        std::string file = dir.path("alerts.txt");
        std::FILE* f = create_exclusive(file.c_str(), false);
        ASSERT_NE(f, nullptr);
        std::fputs(before.c_str(), f);
        std::fclose(f);
        set_replace_file_function(c.swap);
        const bool result = replace_file_whole(file.c_str(), after, ReplacePolicy::keep_existing);
        set_replace_file_function(nullptr);
        EXPECT_EQ(result, c.replaced);
        EXPECT_EQ(read_bytes(file), c.replaced ? after : before);
        EXPECT_EQ(names_in(dir), std::vector<std::string>{"alerts.txt"});
    }
}

TEST(Win32Files, AppendedLogIsNotInherited) {
    ScratchDir dir;
    std::string file = dir.path("log.txt");
    std::FILE* f = open_append(file.c_str());
    ASSERT_NE(f, nullptr);
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f))), &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
    std::fputs("line\n", f);
    std::fclose(f);
    f = open_append(file.c_str());
    ASSERT_NE(f, nullptr);
    std::fputs("more\n", f);
    std::fclose(f);
    std::FILE* in = std::fopen(file.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    char bytes[64] = {};
    std::size_t n = std::fread(bytes, 1, sizeof bytes, in);
    std::fclose(in);
    EXPECT_EQ(std::string(bytes, n), "line\r\nmore\r\n");
    DeleteFileA(file.c_str());
}

}  // namespace
}  // namespace hv::platform
