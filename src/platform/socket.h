// Network start-up, name resolution and the TCP connect primitive of the reachability probe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

struct addrinfo;

namespace hv::platform {

/// Starts the socket library (Windows Sockets 2.2); nothing on POSIX. The result is ignored:
/// a failure shows later as failed connects.
void net_startup();

/// How a set of simultaneous connection attempts ended.
enum class ConnectOutcome {
    connected,   ///< an attempt was accepted
    refused,     ///< an address answered with a refusal (POSIX ECONNREFUSED, Windows 10061)
    failed,      ///< every attempt ended with another error (unreachable, prohibited)
    no_answer,   ///< the wait ran out, or the wait itself failed
    not_started  ///< no attempt could be started (no socket, no route for the family)
};

/// The addresses of one name resolution (family unspecified, stream sockets), in the
/// resolver's order. The list is released when the object is destroyed or resolves again.
class AddressList {
  public:
    AddressList() = default;
    AddressList(const AddressList&) = delete;
    AddressList& operator=(const AddressList&) = delete;
    ~AddressList();

    /// Resolves `host` alone, with no service, replacing the previous list. Blocks for as long
    /// as the system resolver takes. Returns the number of addresses; 0 when resolution fails
    /// or yields nothing.
    std::size_t resolve(const char* host);

    /// Addresses of the last resolution.
    std::size_t size() const { return count_; }

    /// Starts non-blocking connections to each of the first `addresses_per_port` addresses on
    /// every port of `ports`, all at once, and waits up to `timeout_sec` seconds in total for
    /// the first that is accepted or refused. An attempt that ends with any other error drops
    /// out and the others are still waited for. Every socket is closed before this returns,
    /// whatever happened. Safe to call from several threads on different lists.
    ConnectOutcome connect_any(std::span<const std::uint16_t> ports, std::size_t addresses_per_port,
                               int timeout_sec) const;

  private:
    void release();
    addrinfo* head_ = nullptr;
    std::size_t count_ = 0;
};

}  // namespace hv::platform
