// Network start-up, name resolution and the TCP connect primitive of the reachability probe.
#pragma once

#include <cstddef>

struct addrinfo;

namespace hv::platform {

/// Starts the socket library (Windows Sockets 2.2); nothing on POSIX. The result is ignored:
/// a failure shows later as failed connects.
void net_startup();

/// How one connection attempt to one address ended.
enum class ConnectOutcome {
    connected,   ///< the connection was accepted
    refused,     ///< the address answered with a refusal (POSIX ECONNREFUSED, Windows 10061)
    failed,      ///< the attempt ended with another error after the wait
    no_answer,   ///< nothing within the wait, or the wait itself failed
    not_started  ///< no socket could be made, or the attempt failed before any wait
};

/// The addresses of one resolution (family unspecified, stream sockets), in the resolver's
/// order. The list is released when the object is destroyed or resolves again.
class AddressList {
  public:
    AddressList() = default;
    AddressList(const AddressList&) = delete;
    AddressList& operator=(const AddressList&) = delete;
    ~AddressList();

    /// Resolves `host` with the service (port) text `service`, replacing the previous list.
    /// Returns the number of addresses; 0 when resolution fails or yields nothing.
    std::size_t resolve(const char* host, const char* service);

    /// Addresses of the last resolution.
    std::size_t size() const { return count_; }

    /// Connects a fresh non-blocking socket to address `index` and waits up to `timeout_sec`
    /// seconds for the attempt to end. The socket is closed before this returns, whatever
    /// happened. Safe to call from several threads on different lists.
    ConnectOutcome try_connect(std::size_t index, int timeout_sec) const;

  private:
    void release();
    addrinfo* head_ = nullptr;
    std::size_t count_ = 0;
};

}  // namespace hv::platform
