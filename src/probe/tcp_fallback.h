// The TCP fallback apart from the system's network, so that its name look-up bound and its
// verdicts can be checked with a scripted network.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>

#include "platform/socket.h"
#include "probe/probes.h"

namespace hv {

/// What the fallback needs from the network. The real one is a platform::AddressList.
class FallbackNetwork {
  public:
    virtual ~FallbackNetwork() = default;
    /// Resolves `host`, for as long as the resolver takes; the number of addresses. Runs on a
    /// helper thread that may outlive the fallback's wait, so it touches nothing else.
    virtual std::size_t resolve(const std::string& host) = 0;
    /// Connects to `ports` on the first `addresses_per_port` resolved addresses at once,
    /// waiting up to `timeout_sec` seconds for the first accepted or refused attempt.
    virtual platform::ConnectOutcome connect_any(std::span<const std::uint16_t> ports,
                                                 std::size_t addresses_per_port,
                                                 int timeout_sec) = 0;
};

/// The ports the fallback tries.
inline constexpr std::uint16_t kFallbackPorts[] = {443, 80, 22};

/// Addresses tried per port: a name with many addresses still opens at most 12 sockets.
inline constexpr std::size_t kAddressesPerPort = 4;

/// The system's resolver and sockets, through a platform::AddressList.
std::shared_ptr<FallbackNetwork> system_network();

/// The host names whose look-up is still running. Behind a resolver that hangs, every check
/// would otherwise leave one more waiting thread behind; this way there is one per name.
class PendingLookups {
  public:
    /// Claims the look-up of `host`; false while an earlier one is still running.
    bool claim(const std::string& host);
    /// Gives the claim back once the look-up has ended.
    void release(const std::string& host);
    /// Waits until no look-up is running.
    void wait_until_idle();

  private:
    std::mutex mutex_;
    std::condition_variable idle_;
    std::set<std::string> hosts_;
};

/// The look-ups of the system's resolver, shared by every check of this process.
std::shared_ptr<PendingLookups> system_lookups();

/// tcp_fallback_probe over `ports` through `net`: one resolution on a helper thread, waited
/// for at most `timeoutsec` seconds (a late answer is dropped with the thread, which keeps
/// `net` and `lookups` alive until it ends); then one connect_any. While a look-up of `host`
/// started by an earlier call is still running, nothing is tried and the result says
/// `lookup_pending`.
FallbackResult tcp_fallback_with(const char* host, int timeoutsec, StatusText& status,
                                 std::span<const std::uint16_t> ports,
                                 std::shared_ptr<FallbackNetwork> net,
                                 std::shared_ptr<PendingLookups> lookups = system_lookups());

}  // namespace hv
