#include "output/sinks.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "scratch.h"

#ifndef _WIN32
#include <fcntl.h>
#endif

namespace hv {
namespace {

namespace fs = std::filesystem;

// Runs each test in a fresh working directory, as the sinks write by relative name.
class SinksTest : public ::testing::Test {
  protected:
    void TearDown() override { set_silent(false); }
    std::vector<std::string> log_lines() {
        std::ifstream in(kEventLogFile);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    test::ScopedWorkDir work_{"sinks"};
};

TEST_F(SinksTest, ConcurrentEntriesAreWholeLines) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i)
                log_event("worker %d entry %d %s", t, i, std::string(200, 'x').c_str());
        });
    }
    for (auto& th : threads)
        th.join();
    std::vector<std::string> lines = log_lines();
    ASSERT_EQ(lines.size(), 400u);
    std::regex entry(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d worker \d entry \d+ x{200}\r?)");
    for (const std::string& line : lines)
        EXPECT_TRUE(std::regex_match(line, entry)) << line;
}

TEST_F(SinksTest, DeletedLogIsRecreatedAndSilentOnlyMutesTheConsole) {
    log_event("first");
    fs::remove(kEventLogFile);
    set_silent(true);
    ::testing::internal::CaptureStdout();
    console_print("not shown %d\n", 1);
    log_event("second\nwith a second line");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    std::vector<std::string> lines = log_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(" second"), std::string::npos);
    EXPECT_EQ(lines[1].rfind("with a second line", 0), 0u);

    set_silent(false);
    ::testing::internal::CaptureStdout();
    console_print("[%s] %s\n", "h", "shown");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "[h] shown\n");
}

#ifndef _WIN32
// The log is opened close-on-exec: a child started by another worker while an entry is being
// written must not inherit it.
TEST_F(SinksTest, EventLogHandleIsNotInherited) {
    std::FILE* f = platform::open_append(kEventLogFile);
    ASSERT_NE(f, nullptr);
    EXPECT_NE(fcntl(fileno(f), F_GETFD) & FD_CLOEXEC, 0);
    std::fclose(f);
}
#endif

}  // namespace
}  // namespace hv
