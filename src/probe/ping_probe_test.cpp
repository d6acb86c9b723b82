#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "probe/probes.h"
#include "scratch.h"

namespace hv {
namespace {

namespace fs = std::filesystem;

// Real outputs, as the runner captures them (standard error included). Windows prints in the
// console's code page: the German texts carry CP850 umlauts.
const char kLinuxReplies[] =
    "PING 127.0.0.1 (127.0.0.1) 56(84) bytes of data.\n"
    "64 bytes from 127.0.0.1: icmp_seq=1 ttl=64 time=0.030 ms\n"
    "64 bytes from 127.0.0.1: icmp_seq=2 ttl=64 time=0.041 ms\n"
    "64 bytes from 127.0.0.1: icmp_seq=3 ttl=64 time=0.052 ms\n\n"
    "--- 127.0.0.1 ping statistics ---\n"
    "3 packets transmitted, 3 received, 0% packet loss, time 2030ms\n"
    "rtt min/avg/max/mdev = 0.030/0.041/0.052/0.009 ms\n";

const char kLinuxLosses[] =
    "PING 10.50.0.13 (10.50.0.13) 56(84) bytes of data.\n"
    "64 bytes from 10.50.0.13: icmp_seq=2 ttl=63 time=0.412 ms\n\n"
    "--- 10.50.0.13 ping statistics ---\n"
    "3 packets transmitted, 1 received, 66.6667% packet loss, time 2041ms\n"
    "rtt min/avg/max/mdev = 0.412/0.412/0.412/0.000 ms\n";

const char kLinuxLost[] =
    "PING 192.0.2.7 (192.0.2.7) 56(84) bytes of data.\n\n"
    "--- 192.0.2.7 ping statistics ---\n"
    "3 packets transmitted, 0 received, 100% packet loss, time 2040ms\n";

// A network that duplicates packets: iputils shows the second answer to a request as (DUP!).
const char kLinuxDuplicates[] =
    "PING 10.50.0.13 (10.50.0.13) 56(84) bytes of data.\n"
    "64 bytes from 10.50.0.13: icmp_seq=1 ttl=64 time=0.109 ms\n"
    "64 bytes from 10.50.0.13: icmp_seq=1 ttl=64 time=0.118 ms (DUP!)\n"
    "64 bytes from 10.50.0.13: icmp_seq=2 ttl=64 time=0.055 ms\n"
    "64 bytes from 10.50.0.13: icmp_seq=2 ttl=64 time=0.063 ms (DUP!)\n"
    "64 bytes from 10.50.0.13: icmp_seq=3 ttl=64 time=0.056 ms\n\n"
    "--- 10.50.0.13 ping statistics ---\n"
    "3 packets transmitted, 3 received, +2 duplicates, 0% packet loss, time 2050ms\n"
    "rtt min/avg/max/mdev = 0.055/0.080/0.118/0.027 ms\n";

// Duplicates on a lossy link: only the first answer to request 2 is a reply.
const char kLinuxLossesAndDuplicate[] =
    "PING 10.50.0.13 (10.50.0.13) 56(84) bytes of data.\n"
    "64 bytes from 10.50.0.13: icmp_seq=2 ttl=63 time=0.398 ms\n"
    "64 bytes from 10.50.0.13: icmp_seq=2 ttl=63 time=0.431 ms (DUP!)\n\n"
    "--- 10.50.0.13 ping statistics ---\n"
    "3 packets transmitted, 1 received, +1 duplicates, 66.6667% packet loss, time 2039ms\n"
    "rtt min/avg/max/mdev = 0.398/0.414/0.431/0.016 ms\n";

const char kLinuxUnreachable[] =
    "PING 10.50.0.20 (10.50.0.20) 56(84) bytes of data.\n"
    "From 10.50.0.1 icmp_seq=1 Destination Host Unreachable\n"
    "From 10.50.0.1 icmp_seq=2 Destination Host Unreachable\n"
    "From 10.50.0.1 icmp_seq=3 Destination Host Unreachable\n\n"
    "--- 10.50.0.20 ping statistics ---\n"
    "3 packets transmitted, 0 received, +3 errors, 100% packet loss, time 2046ms\n"
    "pipe 3\n";

const char kLinuxTtlExceeded[] =
    "PING 10.60.0.1 (10.60.0.1) 56(84) bytes of data.\n"
    "From 10.50.0.1 icmp_seq=1 Time to live exceeded\n\n"
    "--- 10.60.0.1 ping statistics ---\n"
    "1 packets transmitted, 0 received, +1 errors, 100% packet loss, time 0ms\n";

const char kLinuxIpv6Replies[] =
    "PING ::1(::1) 56 data bytes\n"
    "64 bytes from ::1: icmp_seq=1 ttl=64 time=0.040 ms\n"
    "64 bytes from ::1: icmp_seq=2 ttl=64 time=0.061 ms\n\n"
    "--- ::1 ping statistics ---\n"
    "2 packets transmitted, 2 received, 0% packet loss, time 1017ms\n"
    "rtt min/avg/max/mdev = 0.040/0.050/0.061/0.010 ms\n";

const char kLinuxIpv6Unreachable[] =
    "PING 2001:db8::20(2001:db8::20) 56 data bytes\n"
    "From 2001:db8::1 icmp_seq=1 Destination unreachable: Address unreachable\n"
    "From 2001:db8::1 icmp_seq=2 Destination unreachable: Address unreachable\n\n"
    "--- 2001:db8::20 ping statistics ---\n"
    "2 packets transmitted, 0 received, +2 errors, 100% packet loss, time 1030ms\n";

const char kWindowsReplies[] =
    "\r\nPinging 192.168.1.1 with 32 bytes of data:\r\n"
    "Reply from 192.168.1.1: bytes=32 time=2ms TTL=64\r\n"
    "Reply from 192.168.1.1: bytes=32 time<1ms TTL=64\r\n"
    "Reply from 192.168.1.1: bytes=32 time=1ms TTL=64\r\n\r\n"
    "Ping statistics for 192.168.1.1:\r\n"
    "    Packets: Sent = 3, Received = 3, Lost = 0 (0% loss),\r\n"
    "Approximate round trip times in milli-seconds:\r\n"
    "    Minimum = 0ms, Maximum = 2ms, Average = 1ms\r\n";

// A switched-off host on the local subnet: the own address answers, and the summary counts
// those answers as received.
const char kWindowsHostUnreachable[] =
    "\r\nPinging 192.168.1.20 with 32 bytes of data:\r\n"
    "Reply from 192.168.1.5: Destination host unreachable.\r\n"
    "Reply from 192.168.1.5: Destination host unreachable.\r\n"
    "Reply from 192.168.1.5: Destination host unreachable.\r\n\r\n"
    "Ping statistics for 192.168.1.20:\r\n"
    "    Packets: Sent = 3, Received = 3, Lost = 0 (0% loss),\r\n";

const char kWindowsTtlExpired[] =
    "\r\nPinging 10.60.0.1 with 32 bytes of data:\r\n"
    "Reply from 10.50.0.1: TTL expired in transit.\r\n"
    "Reply from 10.50.0.1: TTL expired in transit.\r\n\r\n"
    "Ping statistics for 10.60.0.1:\r\n"
    "    Packets: Sent = 2, Received = 2, Lost = 0 (0% loss),\r\n";

const char kWindowsTimeouts[] =
    "\r\nPinging 192.0.2.7 with 32 bytes of data:\r\n"
    "Request timed out.\r\nRequest timed out.\r\n\r\n"
    "Ping statistics for 192.0.2.7:\r\n"
    "    Packets: Sent = 2, Received = 0, Lost = 2 (100% loss),\r\n";

const char kWindowsMixed[] =
    "\r\nPinging 192.168.1.1 with 32 bytes of data:\r\n"
    "Request timed out.\r\n"
    "Reply from 192.168.1.1: bytes=32 time=14ms TTL=64\r\n"
    "Reply from 192.168.1.5: Destination host unreachable.\r\n"
    "General failure.\r\n\r\n"
    "Ping statistics for 192.168.1.1:\r\n"
    "    Packets: Sent = 4, Received = 2, Lost = 2 (50% loss),\r\n"
    "Approximate round trip times in milli-seconds:\r\n"
    "    Minimum = 14ms, Maximum = 14ms, Average = 14ms\r\n";

const char kWindowsIpv6Replies[] =
    "\r\nPinging nas.lab [fe80::1c2:3ff:fe04:506%12] with 32 bytes of data:\r\n"
    "Reply from fe80::1c2:3ff:fe04:506%12: time=3ms \r\n"
    "Reply from fe80::1c2:3ff:fe04:506%12: time<1ms \r\n"
    "Reply from fe80::1c2:3ff:fe04:506%12: time=1ms \r\n\r\n"
    "Ping statistics for fe80::1c2:3ff:fe04:506%12:\r\n"
    "    Packets: Sent = 3, Received = 3, Lost = 0 (0% loss),\r\n"
    "Approximate round trip times in milli-seconds:\r\n"
    "    Minimum = 0ms, Maximum = 3ms, Average = 1ms\r\n";

const char kWindowsIpv6Unreachable[] =
    "\r\nPinging 2001:db8::20 with 32 bytes of data:\r\n"
    "Reply from 2001:db8::1: Destination host unreachable.\r\n"
    "Request timed out.\r\n"
    "Reply from 2001:db8::1: Destination host unreachable.\r\n\r\n"
    "Ping statistics for 2001:db8::20:\r\n"
    "    Packets: Sent = 3, Received = 2, Lost = 1 (33% loss),\r\n";

const char kGermanReplies[] =
    "\r\nPing wird ausgef\x81hrt f\x81r 192.168.178.1 mit 32 Bytes Daten:\r\n"
    "Antwort von 192.168.178.1: Bytes=32 Zeit=1ms TTL=64\r\n"
    "Antwort von 192.168.178.1: Bytes=32 Zeit<1ms TTL=64\r\n"
    "Antwort von 192.168.178.1: Bytes=32 Zeit<1ms TTL=64\r\n\r\n"
    "Ping-Statistik f\x81r 192.168.178.1:\r\n"
    "    Pakete: Gesendet = 3, Empfangen = 3, Verloren = 0\r\n"
    "    (0% Verlust),\r\n"
    "Ca. Zeitangaben in Millisek.:\r\n"
    "    Minimum = 0ms, Maximum = 1ms, Mittelwert = 0ms\r\n";

const char kGermanUnreachable[] =
    "\r\nPing wird ausgef\x81hrt f\x81r 192.168.178.20 mit 32 Bytes Daten:\r\n"
    "Antwort von 192.168.178.5: Zielhost nicht erreichbar.\r\n"
    "Antwort von 192.168.178.5: Zielhost nicht erreichbar.\r\n"
    "Antwort von 192.168.178.5: Zielhost nicht erreichbar.\r\n\r\n"
    "Ping-Statistik f\x81r 192.168.178.20:\r\n"
    "    Pakete: Gesendet = 3, Empfangen = 3, Verloren = 0\r\n"
    "    (0% Verlust),\r\n";

const char kGermanTtlExpired[] =
    "\r\nPing wird ausgef\x81hrt f\x81r 10.60.0.1 mit 32 Bytes Daten:\r\n"
    "Antwort von 10.50.0.1: TTL beim Transit abgelaufen.\r\n"
    "Zeit\x81"
    "berschreitung der Anforderung.\r\n\r\n"
    "Ping-Statistik f\x81r 10.60.0.1:\r\n"
    "    Pakete: Gesendet = 2, Empfangen = 1, Verloren = 1\r\n"
    "    (50% Verlust),\r\n";

const char kGermanIpv6Replies[] =
    "\r\nPing wird ausgef\x81hrt f\x81r ::1 mit 32 Bytes Daten:\r\n"
    "Antwort von ::1: Zeit<1ms \r\n"
    "Antwort von ::1: Zeit<1ms \r\n"
    "Antwort von ::1: Zeit=2ms \r\n\r\n"
    "Ping-Statistik f\x81r ::1:\r\n"
    "    Pakete: Gesendet = 3, Empfangen = 3, Verloren = 0\r\n"
    "    (0% Verlust),\r\n"
    "Ca. Zeitangaben in Millisek.:\r\n"
    "    Minimum = 0ms, Maximum = 2ms, Mittelwert = 0ms\r\n";

const char kGermanIpv6Lost[] =
    "\r\nPing wird ausgef\x81hrt f\x81r 2001:db8::20 mit 32 Bytes Daten:\r\n"
    "Antwort von 2001:db8::1: Zielhost nicht erreichbar.\r\n"
    "Zeit\x81"
    "berschreitung der Anforderung.\r\n\r\n"
    "Ping-Statistik f\x81r 2001:db8::20:\r\n"
    "    Pakete: Gesendet = 2, Empfangen = 1, Verloren = 1\r\n"
    "    (50% Verlust),\r\n";

TEST(CountPingReplies, CountsEchoRepliesOnly) {
    struct Case {
        const char* name;
        std::string_view output;
        int pingcount;
        int replies;
    };
    const Case cases[] = {
        {"iputils replies", kLinuxReplies, 3, 3},
        {"iputils losses", kLinuxLosses, 3, 1},
        {"iputils all lost", kLinuxLost, 3, 0},
        {"iputils duplicates", kLinuxDuplicates, 3, 3},
        {"iputils duplicates, fewer requests", kLinuxDuplicates, 2, 2},
        {"iputils duplicates beside losses", kLinuxLossesAndDuplicate, 3, 1},
        {"iputils host unreachable", kLinuxUnreachable, 3, 0},
        {"iputils TTL exceeded", kLinuxTtlExceeded, 1, 0},
        {"iputils IPv6 replies", kLinuxIpv6Replies, 2, 2},
        {"iputils IPv6 unreachable", kLinuxIpv6Unreachable, 2, 0},
        {"Windows replies", kWindowsReplies, 3, 3},
        {"Windows host unreachable", kWindowsHostUnreachable, 3, 0},
        {"Windows TTL expired", kWindowsTtlExpired, 2, 0},
        {"Windows time-outs", kWindowsTimeouts, 2, 0},
        {"Windows mixed answers", kWindowsMixed, 4, 1},
        {"Windows IPv6 replies", kWindowsIpv6Replies, 3, 3},
        {"Windows IPv6 unreachable", kWindowsIpv6Unreachable, 3, 0},
        {"German replies", kGermanReplies, 3, 3},
        {"German host unreachable", kGermanUnreachable, 3, 0},
        {"German TTL expired", kGermanTtlExpired, 2, 0},
        {"German IPv6 replies", kGermanIpv6Replies, 3, 3},
        {"German IPv6 unreachable", kGermanIpv6Lost, 2, 0},
        {"more reply lines than requests", kWindowsReplies, 2, 2},
        {"empty", "", 3, 0},
        {"summary alone", "Packets: Sent = 3, Received = 3, Lost = 0 (0% loss),", 3, 0},
        {"last line without a line end", "Reply from ::1: time<1ms", 3, 1},
        {"two times on a line", "Reply from ::1: time<1ms time=2ms", 3, 0},
        {"time before any colon", "Reply time=1ms from ::1", 3, 0},
        {"a word that only starts with ms", "Reply from ::1: time=1msec", 3, 0},
        {"other letter case", "Ttl=64 tTL=64", 3, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(count_ping_replies(c.output, c.pingcount), c.replies) << c.name;
}

TEST(ReadPingOutput, TellsANameThatDoesNotResolve) {
    struct Case {
        const char* name;
        std::string_view output;
        const char* host;
        int exit_code;
        bool name_failed;
    };
    const Case cases[] = {
        {"iputils, DNS does not answer",
         "ping: nas-missing.lab: Temporary failure in name resolution\n", "nas-missing.lab", 2,
         true},
        {"iputils, no such name", "ping: nas-missing.lab: Name or service not known\n",
         "nas-missing.lab", 2, true},
        {"Windows",
         "Ping request could not find host nas-missing.lab. Please check the name and try "
         "again.\r\n",
         "nas-missing.lab", 1, true},
        {"German Windows",
         "Ping-Anforderung konnte Host \"nas-missing.lab\" nicht finden. \x9A"
         "berpr\x81"
         "fen Sie den Namen, und versuchen Sie es erneut.\r\n",
         "nas-missing.lab", 1, true},
        {"a name that resolved, no replies", kLinuxLost, "192.0.2.7", 1, false},
        {"resolved, then lost",
         "PING nas.lab (10.0.0.9) 56(84) bytes of data.\n\n--- nas.lab "
         "ping statistics ---\n1 packets transmitted, 0 received, 100% packet loss\n",
         "nas.lab", 1, false},
        {"numeric address", "ping: connect: Network is unreachable\n", "192.0.2.1", 2, false},
        {"numeric address named", "ping: 192.0.2.1: Address family not supported\n", "192.0.2.1", 2,
         false},
        {"IPv6 address", "ping: fe80::1%eth9: Name or service not known\n", "fe80::1%eth9", 2,
         false},
        {"error without the host", "ping: socket: Operation not permitted\n", "nas.lab", 2, false},
        {"successful exit", "ping: nas.lab: odd\n", "nas.lab", 0, false},
        {"replies", "64 bytes from nas.lab (10.0.0.9): icmp_seq=1 ttl=64 time=1 ms\n", "nas.lab", 0,
         false},
    };
    for (const Case& c : cases) {
        PingResult result = read_ping_output(c.output, c.host, 3, c.exit_code);
        EXPECT_EQ(result.name_failed, c.name_failed) << c.name;
    }
    PingResult replies = read_ping_output(kLinuxDuplicates, "10.50.0.13", 3, 0);
    EXPECT_EQ(replies.replies, 3);
    EXPECT_FALSE(replies.name_failed);
}

// A fake ping first on PATH that records its arguments, one a line, and prints Linux reply
// lines; it exits with 1 to show that only the output counts.
class FakePing : public ::testing::Test {
  protected:
    void SetUp() override {
        if (test::on_windows())
            GTEST_SKIP() << "the fake ping is a shell script";
        work_.emplace("fakeping");
        dir_ = work_->dir();
        fs::create_directory(dir_ / "bin");
        args_ = dir_ / "args";
        std::ofstream script(dir_ / "bin" / "ping");
        script << "#!/bin/sh\n"
               << "printf '%s\\n' \"$@\" > '" << args_.string() << "'\n"
               << "echo '64 bytes from 127.0.0.1: icmp_seq=1 ttl=64 time=0.1 ms'\n"
               << "echo '64 bytes from 127.0.0.1: icmp_seq=2 ttl=64 time=0.1 ms'\n"
               << "exit 1\n";
        script.close();
        fs::permissions(dir_ / "bin" / "ping", fs::perms::owner_all);
        path_.emplace(test::ScopedPath::with_first((dir_ / "bin").string()));
    }
    std::string recorded_args() { return work_->read("args"); }

    fs::path dir_, args_;
    std::optional<test::ScopedWorkDir> work_;
    std::optional<test::ScopedPath> path_;  // restored before the directory goes
};

TEST_F(FakePing, GetsTheNumericCountAndWaitOptions) {
    StatusText status;
    EXPECT_EQ(ping_probe("192.0.2.7", 3, 4, status).replies, 2);
    EXPECT_EQ(recorded_args(), "-n\n-c\n4\n-W\n3\n192.0.2.7\n");
    EXPECT_EQ(status, "Ping OK 192.0.2.7 received=2/4");

    // A wait ping would refuse is cut to the longest it accepts.
    EXPECT_EQ(ping_probe("192.0.2.7", 3000000, 1, status).replies, 1);
    EXPECT_EQ(recorded_args(), "-n\n-c\n1\n-W\n2147483\n192.0.2.7\n");
    EXPECT_EQ(status, "Ping OK 192.0.2.7 received=1/1") << "never more replies than requests";
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
    EXPECT_EQ(ping_probe("127.0.0.1", 1, 1, status).replies, 0);
    EXPECT_EQ(status, "before");
    // The background sleep was in the ping's process group and is gone too (at most a zombie
    // waiting for its new parent).
    std::ifstream pid_in(pid_file);
    long sleeper = 0;
    ASSERT_TRUE(pid_in >> sleeper);
    // SIGKILL was sent; the kernel may take a moment to end it on a busy machine.
    std::string state;
    for (int i = 0; i < 100; ++i) {
        std::ifstream stat("/proc/" + std::to_string(sleeper) + "/stat");
        std::string pid_field, name;
        if (!(stat >> pid_field >> name >> state) || state == "Z")
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "the process ping started still runs (state " << state << ")";
}

TEST_F(FakePing, UnusableHostTextsStartNothing) {
    for (const char* host :
         {"127.0.0.1;touch x", "$(touch x)", "`touch x`", "-f", "a b", "", "127.0.0.1\n-f"}) {
        SCOPED_TRACE(host);
        StatusText status("untouched");
        EXPECT_EQ(ping_probe(host, 1, 1, status).replies, 0);
        EXPECT_EQ(status, "untouched");
        StatusText tcp_status("untouched");
        EXPECT_FALSE(tcp_fallback_probe(host, 1, tcp_status).reachable);
        EXPECT_EQ(tcp_status, "untouched");
    }
    EXPECT_FALSE(fs::exists(args_)) << "ping was started";
    EXPECT_FALSE(fs::exists(dir_ / "x"));
    StatusText status;
    EXPECT_EQ(ping_probe(nullptr, 1, 1, status).replies, 0);
}

TEST(PingProbe, MissingPingCountsAsNoReply) {
    test::ScratchDir nothing("noping");
    test::ScopedPath empty(nothing.dir().string());
    StatusText status("untouched");
    EXPECT_EQ(ping_probe("127.0.0.1", 1, 1, status).replies, 0);
    EXPECT_EQ(status, "untouched");
}

TEST(PingProbe, RealPingOfTheLoopbackAddress) {
    if (test::on_windows())
        GTEST_SKIP() << "the emulator's ping is not the system's";
    StatusText status;
    EXPECT_EQ(ping_probe("127.0.0.1", 2, 2, status).replies, 2);
    EXPECT_EQ(status, "Ping OK 127.0.0.1 received=2/2");
}

}  // namespace
}  // namespace hv
