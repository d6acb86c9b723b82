#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include "platform/socket.h"

namespace hv::platform {
namespace {

class Socket {
  public:
    explicit Socket(int fd) : fd_(fd) {}
    Socket(Socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket& operator=(Socket&&) = delete;
    ~Socket() {
        if (fd_ >= 0)
            close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_;
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

// Opens a non-blocking socket and starts its connect. A connect that fails before any wait (no
// route for this address family, for example) leaves no pending error to read: the socket
// would look writable with error 0, a false "reachable", so such an attempt is skipped. A
// refusal is a refusal whenever it comes.
Start start_connect(const addrinfo& a, std::uint16_t port, std::vector<Socket>& pending) {
    sockaddr_storage target;
    if (!with_port(a, port, target))
        return Start::skipped;
    Socket s(socket(a.ai_family, a.ai_socktype | SOCK_CLOEXEC, a.ai_protocol));
    if (s.get() < 0)
        return Start::skipped;
    int flags = fcntl(s.get(), F_GETFL);
    if (flags < 0 || fcntl(s.get(), F_SETFL, flags | O_NONBLOCK) < 0)
        return Start::skipped;
    if (connect(s.get(), reinterpret_cast<const sockaddr*>(&target), a.ai_addrlen) == 0)
        return Start::connected;
    if (errno == ECONNREFUSED)
        return Start::refused;
    if (errno != EINPROGRESS && errno != EINTR && errno != EAGAIN)
        return Start::skipped;
    pending.push_back(std::move(s));
    return Start::pending;
}

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    std::int64_t ms = left.count() < 0 ? 0 : left.count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// Waits for the pending connects until one is accepted or refused, all have failed otherwise,
// or the deadline passes. A finished attempt leaves the poll set (a negative descriptor is
// ignored by poll). A signal that interrupts the wait does not shorten it.
ConnectOutcome wait_any(const std::vector<Socket>& pending, int timeout_sec) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_sec);
    std::vector<pollfd> polls;
    for (const Socket& s : pending)
        polls.push_back(pollfd{s.get(), POLLOUT, 0});
    std::size_t open = polls.size();
    while (open > 0) {
        int r = poll(polls.data(), polls.size(), remaining_ms(deadline));
        if (r < 0 && errno != EINTR)
            return ConnectOutcome::no_answer;
        if (r == 0 && std::chrono::steady_clock::now() >= deadline)
            return ConnectOutcome::no_answer;
        for (pollfd& p : polls) {
            if (p.fd < 0 || (p.revents & (POLLOUT | POLLERR | POLLHUP)) == 0)
                continue;
            int error = 0;
            socklen_t length = sizeof error;
            getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error == 0)
                return ConnectOutcome::connected;
            if (error == ECONNREFUSED)
                return ConnectOutcome::refused;
            p.fd = -1;
            --open;
        }
    }
    return ConnectOutcome::failed;
}

}  // namespace

void net_startup() {}

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
