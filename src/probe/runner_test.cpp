#include "probe/runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "platform/instance.h"
#include "platform/process.h"
#include "platform/stop.h"
#include "scratch.h"

namespace hv {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;
using test::ScopedPath;

const char* const kChild = "probe_test_child";

// The test child is built beside this test program.
fs::path child_dir() {
    return fs::path(platform::own_executable_path()).parent_path();
}

// Puts the test child first on PATH for every test of this file.
class Runner : public ::testing::Test {
  protected:
    ScopedPath path_{ScopedPath::with_first(child_dir().string())};
};

// Fails the test instead of hanging it when a run never ends.
template <typename F>
auto bounded(F f) {
    auto future = std::async(std::launch::async, f);
    if (future.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "run did not end within 60 s";
        std::fflush(nullptr);
        std::_Exit(1);
    }
    return future.get();
}

TEST_F(Runner, ReturnsTheExitCodeFromBothOperations) {
    for (const char* code : {"0", "3", "255"}) {
        SCOPED_TRACE(code);
        CaptureText out;
        EXPECT_EQ(run_command({kChild, "exit", code}), std::atoi(code));
        EXPECT_EQ(run_command_capture({kChild, "exit", code}, out), std::atoi(code));
        EXPECT_TRUE(out.empty());
    }
}

TEST_F(Runner, ChildEndedBySignalGives128PlusTheSignal) {
    if (test::on_windows())
        GTEST_SKIP() << "POSIX signals";
    CaptureText out;
    EXPECT_EQ(run_command({kChild, "signal"}), 128 + 15);
    EXPECT_EQ(run_command_capture({kChild, "signal"}, out), 128 + 15);
}

TEST_F(Runner, NothingStartedGivesMinusOneAndAnEmptyCapture) {
    const Args cases[] = {{}, {""}, {"hostvigil-no-such-program"}, {"/bin/true"}};
    for (const Args& argv : cases) {
        SCOPED_TRACE(argv.empty() ? "(empty)" : argv[0]);
        CaptureText out("stale");
        EXPECT_EQ(run_command(argv), -1);
        EXPECT_EQ(run_command_capture(argv, out), -1);
        EXPECT_TRUE(out.empty());
    }
}

TEST_F(Runner, ProgramInTheWorkingDirectoryIsNotFound) {
    test::ScopedWorkDir work("runner");
    fs::path child = child_dir() / kChild;
    if (test::on_windows())
        child += ".exe";
    fs::copy_file(child, work.dir() / child.filename());
    {
        // Empty and relative entries both name the working directory.
        std::string sep(1, test::path_separator());
        ScopedPath only_cwd(sep + "." + sep);
        EXPECT_EQ(run_command({kChild, "exit", "0"}), -1);
    }
    EXPECT_EQ(run_command({kChild, "exit", "0"}), 0);  // still found through PATH
}

TEST_F(Runner, LargeOutputIsCutToWholeReadsAndTheChildRunsToItsEnd) {
    CaptureText out;
    EXPECT_EQ(bounded([&] { return run_command_capture({kChild, "spam", "20000"}, out); }), 7);
    EXPECT_LE(out.size(), 8190u);
    // Reads are at most 511 bytes, so only the last one that did not fit can be missing.
    EXPECT_GT(out.size(), 8190u - 511u);
    EXPECT_EQ(out.view().find_first_not_of('x'), std::string_view::npos);
}

TEST_F(Runner, StandardErrorIsCaptured) {
    CaptureText out;
    EXPECT_EQ(run_command_capture({kChild, "stderr"}, out), 0);
    EXPECT_EQ(out, "only-err");
}

TEST_F(Runner, StandardInputIsTheNullDeviceOrTheGivenText) {
    CaptureText out;
    EXPECT_EQ(bounded([&] { return run_command_capture({kChild, "stdin"}, out); }), 0);
    EXPECT_EQ(out, "<eof>");

    // No line end: the child's standard output is in text mode on some systems.
    const std::string text = "url = \"https://example.invalid/\"";
    EXPECT_EQ(run_command_capture({kChild, "stdin"}, out, &text), 0);
    EXPECT_EQ(out, text + "<eof>");
    EXPECT_EQ(run_command({kChild, "stdin"}, &text), 0);

    // Input far beyond the pipes' capacity, echoed back while it is written: feeding and
    // draining must go on together or both sides wait for ever.
    const std::string big(1 << 20, 'y');
    EXPECT_EQ(bounded([&] { return run_command_capture({kChild, "stdin"}, out, &big); }), 0);
    EXPECT_EQ(out.view().substr(0, 100), std::string(100, 'y'));
    // A child that never reads its input still ends, and so does the run.
    EXPECT_EQ(bounded([&] { return run_command({kChild, "exit", "4"}, &big); }), 4);
}

TEST_F(Runner, RunCommandShowsNothingOfTheChildsOutput) {
    if (test::on_windows())
        GTEST_SKIP() << "redirects this process's standard streams with POSIX calls";
    test::ScratchDir scratch("runner");
    const std::string file = scratch.path("output");
    std::fflush(nullptr);
    int saved_out = dup(1), saved_err = dup(2);
    FILE* sink = std::fopen(file.c_str(), "w");
    ASSERT_NE(sink, nullptr);
    dup2(fileno(sink), 1);
    dup2(fileno(sink), 2);
    int rc_spam = run_command({kChild, "spam", "3000"});
    int rc_err = run_command({kChild, "stderr"});
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    std::fclose(sink);
    EXPECT_EQ(rc_spam, 7);
    EXPECT_EQ(rc_err, 0);
    EXPECT_EQ(fs::file_size(file), 0u);
}

TEST_F(Runner, TimeLimitEndsAChildThatRunsOn) {
    // Within its limit a child's own result comes back; past it, the child is ended.
    CaptureText out;
    EXPECT_EQ(bounded([] { return run_command({kChild, "exit", "3"}, nullptr, 20000); }), 3);
    EXPECT_EQ(bounded([&out] {
                  return run_command_capture({kChild, "spam", "2000"}, out, nullptr, 20000);
              }),
              7);
    EXPECT_EQ(out.size(), 2000u);
    EXPECT_EQ(bounded([] {
                  return run_command({kChild, "sleep", "60000"}, nullptr, 300);
              }),
              platform::kChildTimedOut);
    EXPECT_EQ(bounded([&out] {
                  return run_command_capture({kChild, "sleep", "60000"}, out, nullptr, 300);
              }),
              platform::kChildTimedOut);
    const std::string text = "input";
    EXPECT_EQ(bounded([&text] {
                  return run_command({kChild, "sleep", "60000"}, &text, 300);
              }),
              platform::kChildTimedOut);
}

TEST_F(Runner, StopRequestEndsAProbeButNeverASend) {
    using clock = std::chrono::steady_clock;
    // The probe's own child holds the capture pipe too: only ending the whole process group
    // (POSIX) or job (Windows) ends the capture.
    Args probe = test::on_windows() ? Args{kChild, "sleep", "30000"}
                                    : Args{"sh", "-c", std::string(kChild) + " sleep 30000 & wait"};
    auto began = clock::now();
    auto probe_run = std::async(std::launch::async, [&probe] {
        CaptureText out;
        return run_command_capture(probe, out, nullptr, 0, true);
    });
    // A send with a time limit is watched while it runs, like a probe, and still must not
    // be ended by the stop: curl runs this way.
    auto send_run = std::async(std::launch::async, [] {
        return run_command({kChild, "sleep", "1500"}, nullptr, 60000);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    platform::request_stop();
    int probe_rc = bounded([&probe_run] { return probe_run.get(); });
    double probe_seconds = std::chrono::duration<double>(clock::now() - began).count();
    int send_rc = bounded([&send_run] { return send_run.get(); });
    platform::clear_stop_request();
    EXPECT_EQ(probe_rc, platform::kChildEndedOnStop);
    // Not a speed check: far below the 30 s the probe would otherwise run.
    EXPECT_LT(probe_seconds, 20.0);
    EXPECT_EQ(send_rc, 0);
}

// Keeps what the child wrote; at the first read it waits until the child has exited on its
// own and then sets the stop request, with the rest of the output still in the pipe.
struct StopAfterExit {
    std::string kept;
    bool stop_set = false;
};

void stop_after_exit(void* context, const char* data, std::size_t size) {
    StopAfterExit& run = *static_cast<StopAfterExit*>(context);
    run.kept.append(data, size);
    if (run.stop_set)
        return;
    run.stop_set = true;
    // The child's first write is its process id on a line of its own.
    unsigned long pid = std::strtoul(run.kept.c_str(), nullptr, 10);
    EXPECT_TRUE(platform::wait_for_process_end(static_cast<std::uint32_t>(pid), 30000));
    platform::request_stop();
}

TEST_F(Runner, ProbeThatEndedBeforeTheStopKeepsItsWholeOutput) {
    // A ping that had its answer and exited just before the stop must not come back as a run
    // with its answer missing: that would be taken for a host that did not reply.
    StopAfterExit run;
    platform::ChildRequest request;
    request.argv = {kChild, "pid", "3000"};
    request.output = platform::ChildOutput::capture;
    request.sink = stop_after_exit;
    request.sink_context = &run;
    request.end_on_stop = true;
    int rc = bounded([&request] { return platform::run_child(request); });
    platform::clear_stop_request();
    ASSERT_TRUE(run.stop_set);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(std::count(run.kept.begin(), run.kept.end(), 'x'), 3000);
}

TEST_F(Runner, SlowSiblingsDoNotHoldAFastCapture) {
    // A capture ends when every holder of its pipe's write end is gone; a write end leaked
    // into a sibling child would hold it for the sibling's whole run.
    using clock = std::chrono::steady_clock;
    std::vector<std::thread> threads;
    std::vector<double> seconds(20);
    for (int i = 0; i < 20; ++i) {
        threads.emplace_back([i, &seconds] {
            CaptureText out;
            // The slow ones run far longer than a fast one may take even where process starts
            // are slow (Wine), so a held pipe cannot pass for a slow start.
            const char* ms = i % 2 == 0 ? "100" : "10000";
            auto start = clock::now();
            run_command_capture({kChild, "sleep", ms}, out);
            seconds[i] = std::chrono::duration<double>(clock::now() - start).count();
        });
    }
    for (std::thread& t : threads)
        t.join();
    for (int i = 0; i < 20; i += 2)
        EXPECT_LT(seconds[i], 6.0) << "fast child " << i;
}

}  // namespace
}  // namespace hv
