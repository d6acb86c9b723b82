#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "platform/socket.h"

namespace hv::platform {
namespace {

class Socket {
  public:
    explicit Socket(SOCKET s) : s_(s) {}
    Socket(Socket&& other) noexcept : s_(other.s_) { other.s_ = INVALID_SOCKET; }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket& operator=(Socket&&) = delete;
    ~Socket() {
        if (s_ != INVALID_SOCKET)
            closesocket(s_);
    }
    SOCKET get() const { return s_; }

  private:
    SOCKET s_;
};

// The address `a` with its port replaced by `port`; false for a family without ports.
bool with_port(const addrinfo& a, std::uint16_t port, sockaddr_storage& out) {
    if (a.ai_addrlen > sizeof out)
        return false;
    std::memset(&out, 0, sizeof out);
    std::memcpy(&out, a.ai_addr, a.ai_addrlen);
    if (a.ai_family == AF_INET)
        reinterpret_cast<sockaddr_in&>(out).sin_port = htons(port);
    else if (a.ai_family == AF_INET6)
        reinterpret_cast<sockaddr_in6&>(out).sin6_port = htons(port);
    else
        return false;
    return true;
}

enum class Start { pending, connected, refused, skipped };

Start start_connect(const addrinfo& a, std::uint16_t port, std::vector<Socket>& pending) {
    sockaddr_storage target;
    if (!with_port(a, port, target))
        return Start::skipped;
    Socket s(socket(a.ai_family, a.ai_socktype, a.ai_protocol));
    if (s.get() == INVALID_SOCKET)
        return Start::skipped;
    // Children get an explicit handle list, but a socket that is not inheritable at all can
    // never end up in one. A failure here changes nothing for the probe itself.
    SetHandleInformation(reinterpret_cast<HANDLE>(s.get()), HANDLE_FLAG_INHERIT, 0);
    u_long non_blocking = 1;
    if (ioctlsocket(s.get(), FIONBIO, &non_blocking) != 0)
        return Start::skipped;
    if (connect(s.get(), reinterpret_cast<const sockaddr*>(&target),
                static_cast<int>(a.ai_addrlen)) == 0)
        return Start::connected;
    int started = WSAGetLastError();
    if (started == WSAECONNREFUSED)
        return Start::refused;
    if (started != WSAEWOULDBLOCK)
        return Start::skipped;
    pending.push_back(std::move(s));
    return Start::pending;
}

// Waits for the pending connects until one is accepted or refused, all have failed otherwise,
// or the deadline passes. A failed non-blocking connect is reported in the exception set, not
// the write set: waiting on the write set alone would turn every refusal into a full time-out.
ConnectOutcome wait_any(const std::vector<Socket>& pending, int timeout_sec) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::seconds(timeout_sec);
    std::vector<bool> open(pending.size(), true);
    std::size_t open_count = pending.size();
    while (open_count > 0) {
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        for (std::size_t i = 0; i < pending.size(); ++i) {
            if (open[i]) {
                FD_SET(pending[i].get(), &writable);
                FD_SET(pending[i].get(), &failed);
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - clock::now());
        if (left.count() < 0)
            left = std::chrono::microseconds(0);
        timeval wait{};
        wait.tv_sec = static_cast<long>(left.count() / 1000000);
        wait.tv_usec = static_cast<long>(left.count() % 1000000);
        int r = select(0, nullptr, &writable, &failed, &wait);
        if (r < 0)
            return ConnectOutcome::no_answer;
        if (r == 0 && clock::now() >= deadline)
            return ConnectOutcome::no_answer;
        for (std::size_t i = 0; i < pending.size(); ++i) {
            SOCKET s = pending[i].get();
            if (!open[i] || (!FD_ISSET(s, &writable) && !FD_ISSET(s, &failed)))
                continue;
            int error = 0;
            int length = sizeof error;
            getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
            if (error == WSAECONNREFUSED)
                return ConnectOutcome::refused;
            if (error == 0 && !FD_ISSET(s, &failed))
                return ConnectOutcome::connected;
            open[i] = false;
            --open_count;
        }
    }
    return ConnectOutcome::failed;
}

}  // namespace

void net_startup() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
}

AddressList::~AddressList() {
    release();
}

void AddressList::release() {
    if (head_ != nullptr)
        freeaddrinfo(head_);
    head_ = nullptr;
    count_ = 0;
}

std::size_t AddressList::resolve(const char* host) {
    release();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host, nullptr, &hints, &head_) != 0) {
        head_ = nullptr;
        return 0;
    }
    for (const addrinfo* a = head_; a != nullptr; a = a->ai_next)
        ++count_;
    return count_;
}

ConnectOutcome AddressList::connect_any(std::span<const std::uint16_t> ports,
                                        std::size_t addresses_per_port, int timeout_sec) const {
    std::vector<Socket> pending;
    for (std::uint16_t port : ports) {
        std::size_t tried = 0;
        for (const addrinfo* a = head_; a != nullptr && tried < addresses_per_port;
             a = a->ai_next, ++tried) {
            switch (start_connect(*a, port, pending)) {
                case Start::connected:
                    return ConnectOutcome::connected;
                case Start::refused:
                    return ConnectOutcome::refused;
                case Start::pending:
                case Start::skipped:
                    break;
            }
        }
    }
    if (pending.empty())
        return ConnectOutcome::not_started;
    return wait_any(pending, timeout_sec);
}

}  // namespace hv::platform
