#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "probe/tcp_fallback.h"

namespace hv {
namespace {

using platform::ConnectOutcome;

// A network with scripted answers. It records every call as "R<host>" for a resolution and
// "C<ports>x<addresses>/<wait>" for the connection attempts. A resolution can be held until
// the test lets it go, like a DNS server that does not answer.
class ScriptedNetwork : public FallbackNetwork {
  public:
    ScriptedNetwork(std::size_t addresses, ConnectOutcome outcome)
        : addresses_(addresses), outcome_(outcome) {}

    std::size_t resolve(const std::string& host) override {
        std::unique_lock<std::mutex> lock(mutex_);
        trace_ += "R" + host + " ";
        changed_.wait(lock, [this] { return !hold_; });
        resolved_ = true;
        changed_.notify_all();
        return addresses_;
    }
    ConnectOutcome connect_any(std::span<const std::uint16_t> ports, std::size_t addresses_per_port,
                               int timeout_sec) override {
        std::lock_guard<std::mutex> lock(mutex_);
        trace_ += "C";
        for (std::uint16_t port : ports)
            trace_ += std::to_string(port) + ",";
        trace_ += "x" + std::to_string(addresses_per_port) + "/" + std::to_string(timeout_sec);
        return outcome_;
    }

    void hold() {
        std::lock_guard<std::mutex> lock(mutex_);
        hold_ = true;
    }
    // Lets a held resolution finish and waits until it has.
    void release_and_wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        hold_ = false;
        changed_.notify_all();
        changed_.wait(lock, [this] { return resolved_; });
    }
    std::string trace() {
        std::lock_guard<std::mutex> lock(mutex_);
        return trace_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool hold_ = false;
    bool resolved_ = false;
    std::string trace_;
    std::size_t addresses_;
    ConnectOutcome outcome_;
};

TEST(TcpFallback, OneLookupThenOneRoundOfConnects) {
    struct Case {
        const char* name;
        std::size_t addresses;
        ConnectOutcome outcome;
        bool reachable;
        bool name_failed;
        const char* trace;
    };
    const Case cases[] = {
        {"accepted", 2, ConnectOutcome::connected, true, false, "Rhost.example C443,80,22,x4/5"},
        {"refused", 1, ConnectOutcome::refused, true, false, "Rhost.example C443,80,22,x4/5"},
        {"failed everywhere", 1, ConnectOutcome::failed, false, false,
         "Rhost.example C443,80,22,x4/5"},
        {"silent", 1, ConnectOutcome::no_answer, false, false, "Rhost.example C443,80,22,x4/5"},
        {"no socket", 1, ConnectOutcome::not_started, false, false,
         "Rhost.example C443,80,22,x4/5"},
        {"name does not resolve", 0, ConnectOutcome::connected, false, true, "Rhost.example "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto net = std::make_shared<ScriptedNetwork>(c.addresses, c.outcome);
        StatusText status("untouched");
        FallbackResult result = tcp_fallback_with("host.example", 5, status, kFallbackPorts, net);
        EXPECT_EQ(result.reachable, c.reachable);
        EXPECT_EQ(result.name_failed, c.name_failed);
        EXPECT_EQ(net->trace(), c.trace);
        EXPECT_EQ(status,
                  c.reachable ? "Ping blocked but TCP reachable: host.example" : "untouched");
    }
}

TEST(TcpFallback, LookupThatDoesNotAnswerEndsAfterTheWait) {
    auto net = std::make_shared<ScriptedNetwork>(1, ConnectOutcome::connected);
    net->hold();
    StatusText status("untouched");
    FallbackResult result = tcp_fallback_with("slow.example", 1, status, kFallbackPorts, net);
    EXPECT_FALSE(result.reachable);
    EXPECT_TRUE(result.name_failed);
    EXPECT_EQ(status, "untouched");
    // The late answer is dropped: no connection is tried after the fallback has given up.
    net->release_and_wait();
    EXPECT_EQ(net->trace(), "Rslow.example ");
}

TEST(TcpFallback, AtMostOneLookupPerNameWhileTheResolverHangs) {
    auto net = std::make_shared<ScriptedNetwork>(1, ConnectOutcome::connected);
    auto lookups = std::make_shared<PendingLookups>();
    net->hold();
    StatusText status("untouched");
    auto fallback = [&](const char* host) {
        return tcp_fallback_with(host, 1, status, kFallbackPorts, net, lookups);
    };
    // The first check of each name starts its look-up and gives up on it after the wait.
    FallbackResult first = fallback("hang.example");
    EXPECT_TRUE(first.name_failed);
    EXPECT_FALSE(first.lookup_pending);
    // Later checks of that name find it still running and try nothing; other names are apart.
    for (int i = 0; i < 4; ++i) {
        FallbackResult later = fallback("hang.example");
        EXPECT_FALSE(later.reachable);
        EXPECT_FALSE(later.name_failed);
        EXPECT_TRUE(later.lookup_pending);
    }
    EXPECT_TRUE(fallback("other.example").name_failed);
    EXPECT_EQ(net->trace(), "Rhang.example Rother.example ");
    EXPECT_EQ(status, "untouched");

    // Once the resolver answers, the next check looks the name up afresh.
    net->release_and_wait();
    lookups->wait_until_idle();
    FallbackResult after = fallback("hang.example");
    EXPECT_TRUE(after.reachable);
    EXPECT_FALSE(after.lookup_pending);
    EXPECT_EQ(net->trace(), "Rhang.example Rother.example Rhang.example C443,80,22,x4/1");
}

TEST(TcpFallback, UnusableHostIsNeverResolved) {
    auto net = std::make_shared<ScriptedNetwork>(1, ConnectOutcome::connected);
    StatusText status;
    for (const char* host : {"", "-x", "a;b", "a b"})
        EXPECT_FALSE(tcp_fallback_with(host, 1, status, kFallbackPorts, net).reachable);
    EXPECT_FALSE(tcp_fallback_with(nullptr, 1, status, kFallbackPorts, net).reachable);
    EXPECT_EQ(net->trace(), "");
}

// The real socket backend against a loopback port where nothing is expected to listen: the
// refusal must come back as an answer, not as a wait that runs out.
TEST(TcpFallbackLoopback, ClosedPortAnswersAtOnce) {
    platform::net_startup();
    platform::AddressList list;
    ASSERT_GE(list.resolve("127.0.0.1"), 1u);
    const std::uint16_t port[] = {1};
    ConnectOutcome outcome = list.connect_any(port, 4, 120);
    EXPECT_TRUE(outcome == ConnectOutcome::refused || outcome == ConnectOutcome::connected);
    StatusText status;
    EXPECT_TRUE(tcp_fallback_with("127.0.0.1", 120, status, port, system_network()).reachable);
    EXPECT_EQ(status, "Ping blocked but TCP reachable: 127.0.0.1");
}

}  // namespace
}  // namespace hv
