// The port and address walk of the TCP fallback, apart from the network so that its order and
// its early ends can be checked with a scripted network.
#pragma once

#include <cstddef>

#include "platform/socket.h"
#include "probe/probes.h"

namespace hv {

/// What the walk needs from the network: one resolution at a time, and connection attempts
/// to its addresses. The real one is a platform::AddressList.
class AddressSource {
  public:
    virtual ~AddressSource() = default;
    /// Resolves `host` with `port`, releasing the previous list; the number of addresses.
    virtual std::size_t resolve(const char* host, const char* port) = 0;
    /// One attempt to address `index` of the last resolution, waiting up to `timeout_sec`.
    virtual platform::ConnectOutcome try_connect(std::size_t index, int timeout_sec) = 0;
};

/// The ports the fallback tries, in this order.
inline constexpr const char* kFallbackPorts[] = {"443", "80", "22"};

/// tcp_fallback_probe over the `port_count` port texts of `ports`, through `net`: the first
/// accepted or refused connection makes the host reachable; any other error after a wait ends the
/// walk with 0 at once; no answer moves on to the next address.
int tcp_fallback_walk(const char* host, int timeoutsec, StatusText& status,
                      const char* const* ports, std::size_t port_count, AddressSource& net);

}  // namespace hv
