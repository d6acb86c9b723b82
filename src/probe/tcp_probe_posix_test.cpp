// The TCP fallback against real sockets on the loopback interface. The IsolatedNetwork cases
// use the fixed ports 443, 80 and 22 and names that must not resolve, so they run only in a
// private network namespace (HV_ISOLATED_NETWORK=1, set by the black-box test that starts
// them under unshare -n).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "probe/probes.h"
#include "probe/tcp_walk.h"

namespace hv {
namespace {

using platform::ConnectOutcome;
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

// A TCP socket bound to 127.0.0.1:`port` (0: any free port), listening with `backlog` when
// that is not negative.
struct Loopback {
    Fd fd{socket(AF_INET, SOCK_STREAM, 0)};
    int port = 0;
    Loopback(int wanted_port, int backlog) {
        int one = 1;
        setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(wanted_port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        if (backlog >= 0) {
            EXPECT_EQ(listen(fd.get(), backlog), 0);
        }
    }
    std::string port_text() const { return std::to_string(port); }
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

// The real network, recording what each attempt gave.
class RecordingNetwork : public AddressSource {
  public:
    std::size_t resolve(const char* host, const char* port) override {
        return list_.resolve(host, port);
    }
    ConnectOutcome try_connect(std::size_t index, int timeout_sec) override {
        outcomes.push_back(list_.try_connect(index, timeout_sec));
        return outcomes.back();
    }
    std::vector<ConnectOutcome> outcomes;

  private:
    platform::AddressList list_;
};

double seconds_since(clock::time_point start) {
    return std::chrono::duration<double>(clock::now() - start).count();
}

int walk(const std::vector<std::string>& ports, int timeout_sec, RecordingNetwork& net,
         StatusText& status) {
    std::vector<const char*> texts;
    for (const std::string& p : ports)
        texts.push_back(p.c_str());
    return tcp_fallback_walk("127.0.0.1", timeout_sec, status, texts.data(), texts.size(), net);
}

TEST(TcpFallbackLoopback, AcceptedOrRefusedIsReachable) {
    Loopback listener(0, 5);
    Loopback closed(0, -1);  // bound, never listening: connection requests are refused
    struct Case {
        std::string port;
        ConnectOutcome outcome;
    };
    for (const Case& c : {Case{listener.port_text(), ConnectOutcome::connected},
                          Case{closed.port_text(), ConnectOutcome::refused}}) {
        RecordingNetwork net;
        StatusText status;
        auto start = clock::now();
        EXPECT_EQ(walk({c.port}, 30, net, status), 1);
        EXPECT_LT(seconds_since(start), 10.0) << "an answer ends the wait";
        EXPECT_EQ(net.outcomes, std::vector<ConnectOutcome>{c.outcome});
        EXPECT_EQ(status, "Ping blocked but TCP reachable: 127.0.0.1");
    }
}

TEST(TcpFallbackLoopback, SilenceCostsOneWaitThenTheNextPortIsTried) {
    SilentListener silent(0);
    Loopback closed(0, -1);
    RecordingNetwork net;
    StatusText status;
    auto start = clock::now();
    EXPECT_EQ(walk({silent.port_text(), closed.port_text()}, 1, net, status), 1);
    double elapsed = seconds_since(start);
    EXPECT_EQ(net.outcomes,
              (std::vector<ConnectOutcome>{ConnectOutcome::no_answer, ConnectOutcome::refused}));
    EXPECT_GE(elapsed, 0.9);
    EXPECT_LT(elapsed, 15.0);
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
    auto start = clock::now();
    EXPECT_EQ(tcp_fallback_probe("hostvigil-test.invalid", 1, status), 0);
    EXPECT_EQ(status, "untouched");
    EXPECT_LT(seconds_since(start), 60.0);
}

TEST_F(IsolatedNetwork, AddressWithoutARouteIsUnreachable) {
    // The connect fails before any wait; the socket then polls writable with no pending
    // error, which must not read as an accepted connection.
    StatusText status("untouched");
    auto start = clock::now();
    EXPECT_EQ(tcp_fallback_probe("192.0.2.1", 10, status), 0);
    EXPECT_EQ(status, "untouched");
    EXPECT_LT(seconds_since(start), 20.0) << "skipped without waiting";
}

TEST_F(IsolatedNetwork, StandardPortsAcceptedRefusedOrSilent) {
    StatusText status;
    {
        Loopback https(443, 5);
        EXPECT_EQ(tcp_fallback_probe("127.0.0.1", 30, status), 1);
        EXPECT_EQ(status, "Ping blocked but TCP reachable: 127.0.0.1");
    }
    status.clear();
    EXPECT_EQ(tcp_fallback_probe("127.0.0.1", 30, status), 1);  // 443 refused
    EXPECT_EQ(status, "Ping blocked but TCP reachable: 127.0.0.1");
    {
        SilentListener https(443);
        Loopback ssh(22, 5);
        status.clear();
        auto start = clock::now();
        // 443 stays silent for one wait, 80 refuses.
        EXPECT_EQ(tcp_fallback_probe("127.0.0.1", 1, status), 1);
        EXPECT_GE(seconds_since(start), 0.9);
        EXPECT_LT(seconds_since(start), 15.0);
    }
}

}  // namespace
}  // namespace hv
