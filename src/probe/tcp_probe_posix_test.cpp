// The TCP fallback against real sockets on the loopback interface. The IsolatedNetwork cases
// use the fixed ports 443, 80 and 22 and names that must not resolve, so they run only in a
// private network namespace (HV_ISOLATED_NETWORK=1, set by the black-box test that starts
// them under unshare -n).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "probe/probes.h"
#include "probe/tcp_fallback.h"

namespace hv {
namespace {

using clock = std::chrono::steady_clock;

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0)
            close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

// A TCP socket bound to `address`:`port` (0: any free port), listening with `backlog` when
// that is not negative.
struct Loopback {
    Fd fd{socket(AF_INET, SOCK_STREAM, 0)};
    int port = 0;
    Loopback(int wanted_port, int backlog, const char* address = "127.0.0.1") {
        int one = 1;
        setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(wanted_port));
        inet_pton(AF_INET, address, &a.sin_addr);
        EXPECT_EQ(bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        if (backlog >= 0) {
            EXPECT_EQ(listen(fd.get(), backlog), 0);
        }
    }
};

// A listener whose accept queue is full and never served: further connection requests get no
// answer at all, like a host behind a filter that drops them.
struct SilentListener : Loopback {
    std::vector<Fd> fillers;
    SilentListener(int wanted_port) : Loopback(wanted_port, 0) {
        for (int i = 0; i < 3; ++i) {
            Fd c(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            connect(c.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
            pollfd p{c.get(), POLLOUT, 0};
            poll(&p, 1, 200);
            fillers.push_back(std::move(c));
        }
    }
};

double seconds_since(clock::time_point start) {
    return std::chrono::duration<double>(clock::now() - start).count();
}

// The fallback against 127.0.0.1 on the given ports.
FallbackResult fallback(const std::vector<int>& ports, int timeout_sec, StatusText& status) {
    std::vector<std::uint16_t> numbers;
    for (int p : ports)
        numbers.push_back(static_cast<std::uint16_t>(p));
    return tcp_fallback_with("127.0.0.1", timeout_sec, status, numbers, system_network());
}

TEST(TcpFallbackLoopback, AcceptedOrRefusedIsReachable) {
    Loopback listener(0, 5);
    Loopback closed(0, -1);  // bound, never listening: connection requests are refused
    for (int port : {listener.port, closed.port}) {
        StatusText status;
        auto start = clock::now();
        EXPECT_TRUE(fallback({port}, 30, status).reachable);
        EXPECT_LT(seconds_since(start), 10.0) << "an answer ends the wait";
        EXPECT_EQ(status, "Ping blocked but TCP reachable: 127.0.0.1");
    }
}

// The ports are tried at once: a refusal behind a silent port answers without waiting for the
// silent one, and a host silent on every port costs one wait, not one per port.
TEST(TcpFallbackLoopback, PortsAreTriedAtOnce) {
    SilentListener first(0), third(0), fourth(0);
    Loopback closed(0, -1);
    StatusText status;
    auto start = clock::now();
    EXPECT_TRUE(fallback({first.port, closed.port, third.port}, 30, status).reachable);
    EXPECT_LT(seconds_since(start), 10.0) << "the silent port was waited for";

    status.clear();
    start = clock::now();
    EXPECT_FALSE(fallback({first.port, third.port, fourth.port}, 2, status).reachable);
    double elapsed = seconds_since(start);
    EXPECT_EQ(status, "");
    EXPECT_GE(elapsed, 1.9);
    EXPECT_LT(elapsed, 4.0) << "one wait of 2 s, not one per port";
}

TEST(TcpFallbackLoopback, EverySocketIsClosed) {
    auto open_descriptors = [] {
        int count = 0;
        for (int fd = 0; fd < 1024; ++fd)
            count += fcntl(fd, F_GETFD) != -1 ? 1 : 0;
        return count;
    };
    SilentListener silent(0);
    Loopback listener(0, 5), closed(0, -1);
    const int before = open_descriptors();
    StatusText status;
    fallback({silent.port, silent.port, listener.port}, 5, status);  // accepted
    fallback({silent.port, closed.port}, 5, status);                 // refused
    fallback({silent.port}, 1, status);                              // silent
    EXPECT_EQ(open_descriptors(), before);
}

class IsolatedNetwork : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* flag = std::getenv("HV_ISOLATED_NETWORK");
        if (flag == nullptr || std::string(flag) != "1")
            GTEST_SKIP() << "needs a private network namespace";
    }
};

TEST_F(IsolatedNetwork, NameThatDoesNotResolveIsUnreachable) {
    StatusText status("untouched");
    FallbackResult result = tcp_fallback_probe("hostvigil-test.invalid", 1, status);
    EXPECT_FALSE(result.reachable);
    EXPECT_TRUE(result.name_failed);
    EXPECT_EQ(status, "untouched");
}

TEST_F(IsolatedNetwork, AddressWithoutARouteIsUnreachable) {
    // The connect fails before any wait; the socket then polls writable with no pending
    // error, which must not read as an accepted connection.
    StatusText status("untouched");
    auto start = clock::now();
    FallbackResult result = tcp_fallback_probe("192.0.2.1", 10, status);
    EXPECT_FALSE(result.reachable);
    EXPECT_FALSE(result.name_failed);
    EXPECT_EQ(status, "untouched");
    EXPECT_LT(seconds_since(start), 9.0) << "skipped without waiting";
}

// The cases below rely on the nftables rules the namespace test installs:
//   127.0.0.2  echo dropped; 443 and 80 rejected "administratively prohibited"
//   127.0.0.3  echo dropped; 443 and 22 dropped
//   127.0.0.4  everything dropped
//   127.0.0.5  every echo request sent twice
//   127.0.0.6  every TCP port rejected "administratively prohibited"
TEST_F(IsolatedNetwork, FirewallRejectionsDoNotEndTheFallback) {
    Loopback ssh(22, 5, "127.0.0.2");
    StatusText status;
    EXPECT_EQ(ping_probe("127.0.0.2", 1, 1, status).replies, 0);
    auto start = clock::now();
    EXPECT_TRUE(tcp_fallback_probe("127.0.0.2", 30, status).reachable);
    EXPECT_LT(seconds_since(start), 10.0);
    EXPECT_EQ(status, "Ping blocked but TCP reachable: 127.0.0.2");

    // Rejected everywhere: no answer, and no wait either.
    status.clear();
    start = clock::now();
    EXPECT_FALSE(tcp_fallback_probe("127.0.0.6", 30, status).reachable);
    EXPECT_LT(seconds_since(start), 10.0);
}

TEST_F(IsolatedNetwork, SilentAndRefusedPorts) {
    StatusText status;
    auto start = clock::now();
    EXPECT_TRUE(tcp_fallback_probe("127.0.0.3", 30, status).reachable);  // 80 refuses
    EXPECT_LT(seconds_since(start), 10.0) << "443 was waited for";
    EXPECT_EQ(status, "Ping blocked but TCP reachable: 127.0.0.3");

    status.clear();
    start = clock::now();
    EXPECT_FALSE(tcp_fallback_probe("127.0.0.4", 2, status).reachable);
    double elapsed = seconds_since(start);
    EXPECT_GE(elapsed, 1.9);
    EXPECT_LT(elapsed, 4.0) << "one wait of 2 s, not one per port";
}

TEST_F(IsolatedNetwork, DuplicatedRepliesCountOnce) {
    StatusText status;
    EXPECT_EQ(ping_probe("127.0.0.5", 1, 2, status).replies, 2);
    EXPECT_EQ(status, "Ping OK 127.0.0.5 received=2/2");
}

}  // namespace
}  // namespace hv
