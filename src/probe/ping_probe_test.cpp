#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include <unistd.h>

#include "probe/probes.h"
#include "probe/test_path.h"

namespace hv {
namespace {

namespace fs = std::filesystem;

const char kWindowsReplies[] =
    "\r\nPinging 192.0.2.7 with 32 bytes of data:\r\n"
    "Reply from 192.0.2.7: bytes=32 time<1ms TTL=128\r\n"
    "Reply from 192.0.2.7: bytes=32 time<1ms TTL=128\r\n"
    "Reply from 192.0.2.7: bytes=32 time=1ms TTL=128\r\n\r\n"
    "Ping statistics for 192.0.2.7:\r\n"
    "    Packets: Sent = 3, Received = 3, Lost = 0 (0% loss),\r\n";

const char kWindowsTimeouts[] =
    "\r\nPinging 192.0.2.7 with 32 bytes of data:\r\n"
    "Request timed out.\r\nRequest timed out.\r\n\r\n"
    "Ping statistics for 192.0.2.7:\r\n"
    "    Packets: Sent = 2, Received = 0, Lost = 2 (100% loss),\r\n";

const char kLinuxReplies[] =
    "PING 127.0.0.1 (127.0.0.1) 56(84) bytes of data.\n"
    "64 bytes from 127.0.0.1: icmp_seq=1 ttl=64 time=0.030 ms\n"
    "64 bytes from 127.0.0.1: icmp_seq=2 ttl=64 time=0.041 ms\n\n"
    "--- 127.0.0.1 ping statistics ---\n"
    "2 packets transmitted, 2 received, 0% packet loss, time 1001ms\n";

const char kLinuxLost[] =
    "PING 192.0.2.7 (192.0.2.7) 56(84) bytes of data.\n\n"
    "--- 192.0.2.7 ping statistics ---\n"
    "3 packets transmitted, 0 received, 100% packet loss, time 2040ms\n";

TEST(CountPingReplies, FollowsTheReplyAndSummaryRules) {
    struct Case {
        const char* name;
        std::string_view output;
        int replies;
    };
    const Case cases[] = {
        {"Windows replies", kWindowsReplies, 3},
        {"Windows time-outs", kWindowsTimeouts, 0},
        {"Linux replies", kLinuxReplies, 2},
        {"Linux all lost", kLinuxLost, 0},
        {"empty", "", 0},
        {"other wording", "Request timed out.\nGeneral failure.\n", 0},
        {"both spellings add up", "TTL=1 ttl=2 TTL=3", 3},
        {"hits back to back", "TTL=TTL=ttl=", 3},
        {"other letter case", "Ttl=64 tTL=64 received = 4", 0},
        {"summary with a blank", "Packets: Sent = 4, Received = 2, Lost = 2", 2},
        {"summary without a blank", "Received =2, Lost = 2", 2},
        {"blanks then white space", "Received =   \t 5", 5},
        {"only the first summary", "Received = 1\nReceived = 4", 1},
        {"reply lines win", "Reply TTL=55\nReceived = 4", 1},
        {"signed", "Received = +4", 4},
        {"negative", "Received = -2", -2},
        {"no digits", "Received = , Lost", 0},
        {"at the very end", "Received =", 0},
        {"out of range", "Received = 99999999999999", INT_MAX},
        {"below range", "Received = -99999999999999", INT_MIN},
    };
    for (const Case& c : cases)
        EXPECT_EQ(count_ping_replies(c.output), c.replies) << c.name;
}

// A fake ping first on PATH that records its arguments, one a line, and prints Linux reply
// lines; it exits with 1 to show that only the output counts.
class FakePing : public ::testing::Test {
  protected:
    void SetUp() override {
        if (test::on_windows())
            GTEST_SKIP() << "the fake ping is a shell script";
        dir_ = fs::temp_directory_path() / ("hv-fakeping-" + std::to_string(getpid()));
        fs::create_directories(dir_ / "bin");
        args_ = dir_ / "args";
        std::ofstream script(dir_ / "bin" / "ping");
        script << "#!/bin/sh\n"
               << "printf '%s\\n' \"$@\" > '" << args_.string() << "'\n"
               << "echo '64 bytes from 127.0.0.1: icmp_seq=1 ttl=64 time=0.1 ms'\n"
               << "echo '64 bytes from 127.0.0.1: icmp_seq=2 ttl=64 time=0.1 ms'\n"
               << "exit 1\n";
        script.close();
        fs::permissions(dir_ / "bin" / "ping", fs::perms::owner_all);
        path_.emplace((dir_ / "bin").string() + ":" + test::ScopedPath::current());
        before_ = fs::current_path();
        fs::current_path(dir_);
    }
    void TearDown() override {
        if (dir_.empty())
            return;
        fs::current_path(before_);
        path_.reset();
        fs::remove_all(dir_);
    }
    std::string recorded_args() {
        std::ifstream in(args_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path dir_, args_, before_;
    std::optional<test::ScopedPath> path_;
};

TEST_F(FakePing, GetsTheNumericCountAndWaitOptions) {
    StatusText status;
    EXPECT_EQ(ping_probe("192.0.2.7", 3, 4, status), 2);
    EXPECT_EQ(recorded_args(), "-n\n-c\n4\n-W\n3\n192.0.2.7\n");
    EXPECT_EQ(status, "Ping OK 192.0.2.7 received=2/4");

    // A wait ping would refuse is cut to the longest it accepts.
    EXPECT_EQ(ping_probe("192.0.2.7", 3000000, 1, status), 2);
    EXPECT_EQ(recorded_args(), "-n\n-c\n1\n-W\n2147483\n192.0.2.7\n");
}

TEST(PingTimeLimit, EveryReplyWaitPlusAMargin) {
    EXPECT_EQ(ping_time_limit_ms(3, 2), 11000);
    EXPECT_EQ(ping_time_limit_ms(4, 0), 9000);  // ping sends once a second whatever the wait
    EXPECT_EQ(ping_time_limit_ms(2000000, 2000000), INT_MAX);
}

// A ping that prints a reply and then hangs (a stalled name lookup, a stopped process) is
// ended with the process it started at its limit, and the check fails.
TEST_F(FakePing, HangingPingIsEndedAndFails) {
    const fs::path pid_file = dir_ / "sleeper.pid";
    {
        std::ofstream script(dir_ / "bin" / "ping", std::ios::trunc);
        script << "#!/bin/sh\n"
               << "echo '64 bytes from 127.0.0.1: icmp_seq=1 ttl=64 time=0.1 ms'\n"
               << "sleep 120 &\n"
               << "echo $! > '" << pid_file.string() << "'\n"
               << "wait\n";
    }
    StatusText status;
    status.assign("before");
    EXPECT_EQ(ping_probe("127.0.0.1", 1, 1, status), 0);
    EXPECT_EQ(status, "before");
    // The background sleep was in the ping's process group and is gone too (at most a zombie
    // waiting for its new parent).
    std::ifstream pid_in(pid_file);
    long sleeper = 0;
    ASSERT_TRUE(pid_in >> sleeper);
    std::ifstream stat("/proc/" + std::to_string(sleeper) + "/stat");
    std::string pid_field, name, state;
    if (stat >> pid_field >> name >> state) {
        EXPECT_EQ(state, "Z") << "the process ping started still runs";
    }
}

TEST_F(FakePing, UnusableHostTextsStartNothing) {
    for (const char* host :
         {"127.0.0.1;touch x", "$(touch x)", "`touch x`", "-f", "a b", "", "127.0.0.1\n-f"}) {
        SCOPED_TRACE(host);
        StatusText status("untouched");
        EXPECT_EQ(ping_probe(host, 1, 1, status), 0);
        EXPECT_EQ(status, "untouched");
        StatusText tcp_status("untouched");
        EXPECT_EQ(tcp_fallback_probe(host, 1, tcp_status), 0);
        EXPECT_EQ(tcp_status, "untouched");
    }
    EXPECT_FALSE(fs::exists(args_)) << "ping was started";
    EXPECT_FALSE(fs::exists(dir_ / "x"));
    StatusText status;
    EXPECT_EQ(ping_probe(nullptr, 1, 1, status), 0);
}

TEST(PingProbe, MissingPingCountsAsNoReply) {
    test::ScopedPath empty(fs::temp_directory_path().string());
    StatusText status("untouched");
    EXPECT_EQ(ping_probe("127.0.0.1", 1, 1, status), 0);
    EXPECT_EQ(status, "untouched");
}

TEST(PingProbe, RealPingOfTheLoopbackAddress) {
    if (test::on_windows())
        GTEST_SKIP() << "the emulator's ping is not the system's";
    StatusText status;
    EXPECT_EQ(ping_probe("127.0.0.1", 2, 2, status), 2);
    EXPECT_EQ(status, "Ping OK 127.0.0.1 received=2/2");
}

}  // namespace
}  // namespace hv
