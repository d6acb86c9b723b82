#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "probe/tcp_walk.h"

namespace hv {
namespace {

using platform::ConnectOutcome;

// A network whose answers are scripted per port; it records every call as "R<port>" for a
// resolution and "C<port>.<index>/<wait>" for a connection attempt.
class ScriptedNetwork : public AddressSource {
  public:
    explicit ScriptedNetwork(std::map<std::string, std::vector<ConnectOutcome>> script)
        : script_(std::move(script)) {}
    std::size_t resolve(const char* host, const char* port) override {
        EXPECT_STREQ(host, "host.example");
        port_ = port;
        trace += "R" + port_ + " ";
        auto it = script_.find(port_);
        return it == script_.end() ? 0 : it->second.size();
    }
    ConnectOutcome try_connect(std::size_t index, int timeout_sec) override {
        trace +=
            "C" + port_ + "." + std::to_string(index) + "/" + std::to_string(timeout_sec) + " ";
        return script_.at(port_).at(index);
    }
    std::string trace;

  private:
    std::map<std::string, std::vector<ConnectOutcome>> script_;
    std::string port_;
};

TEST(TcpFallbackWalk, DecidesOnTheFirstAnswerInPortAndAddressOrder) {
    constexpr auto ok = ConnectOutcome::connected;
    constexpr auto refused = ConnectOutcome::refused;
    constexpr auto failed = ConnectOutcome::failed;
    constexpr auto silent = ConnectOutcome::no_answer;
    constexpr auto no_socket = ConnectOutcome::not_started;
    struct Case {
        const char* name;
        std::map<std::string, std::vector<ConnectOutcome>> script;
        int result;
        const char* trace;
    };
    const Case cases[] = {
        {"nothing resolves", {}, 0, "R443 R80 R22 "},
        {"refused at once", {{"443", {refused, ok}}}, 1, "R443 C443.0/5 "},
        {"accepted", {{"443", {ok}}}, 1, "R443 C443.0/5 "},
        {"other error ends everything", {{"443", {failed, ok}}, {"80", {ok}}}, 0, "R443 C443.0/5 "},
        {"silence moves on",
         {{"443", {silent, silent}}, {"80", {no_socket, ok}}},
         1,
         "R443 C443.0/5 C443.1/5 R80 C80.0/5 C80.1/5 "},
        {"last port decides", {{"22", {refused}}}, 1, "R443 R80 R22 C22.0/5 "},
        {"all silent",
         {{"443", {silent}}, {"80", {silent}}, {"22", {no_socket}}},
         0,
         "R443 C443.0/5 R80 C80.0/5 R22 C22.0/5 "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedNetwork net(c.script);
        StatusText status("untouched");
        EXPECT_EQ(tcp_fallback_walk("host.example", 5, status, kFallbackPorts,
                                    std::size(kFallbackPorts), net),
                  c.result);
        EXPECT_EQ(net.trace, c.trace);
        EXPECT_EQ(status,
                  c.result == 1 ? "Ping blocked but TCP reachable: host.example" : "untouched");
    }
}

TEST(TcpFallbackWalk, UnusableHostIsNeverResolved) {
    ScriptedNetwork net({{"443", {ConnectOutcome::connected}}});
    StatusText status;
    for (const char* host : {"", "-x", "a;b", "a b"}) {
        EXPECT_EQ(tcp_fallback_walk(host, 1, status, kFallbackPorts, 3, net), 0);
    }
    EXPECT_EQ(tcp_fallback_walk(nullptr, 1, status, kFallbackPorts, 3, net), 0);
    EXPECT_EQ(net.trace, "");
}

// The real socket backend against a loopback port where nothing is expected to listen: the
// refusal must come back as an answer, not as a wait that runs out.
TEST(TcpFallbackLoopback, ClosedPortAnswersAtOnce) {
    class Recording : public AddressSource {
      public:
        std::size_t resolve(const char* host, const char* port) override {
            return list.resolve(host, port);
        }
        ConnectOutcome try_connect(std::size_t index, int timeout_sec) override {
            outcomes.push_back(list.try_connect(index, timeout_sec));
            return outcomes.back();
        }
        platform::AddressList list;
        std::vector<ConnectOutcome> outcomes;
    } net;
    platform::net_startup();
    const char* port[] = {"1"};
    StatusText status;
    EXPECT_EQ(tcp_fallback_walk("127.0.0.1", 120, status, port, 1, net), 1);
    ASSERT_EQ(net.outcomes.size(), 1u);
    EXPECT_TRUE(net.outcomes[0] == ConnectOutcome::refused ||
                net.outcomes[0] == ConnectOutcome::connected);
    EXPECT_EQ(status, "Ping blocked but TCP reachable: 127.0.0.1");
}

}  // namespace
}  // namespace hv
