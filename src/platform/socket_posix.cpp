#include <chrono>
#include <climits>
#include <cstdint>

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
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
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() {
        if (fd_ >= 0)
            close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

// Waits until the pending connect ends (writable, or an error or hang-up shows). A signal
// that interrupts the wait does not shorten it.
bool wait_connect(int fd, int timeout_sec) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::seconds(timeout_sec);
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        std::int64_t ms = left.count() < 0 ? 0 : left.count();
        pollfd p{fd, POLLOUT, 0};
        int r = poll(&p, 1, ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
        if (r > 0)
            return (p.revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
        if (r == 0 && clock::now() >= deadline)
            return false;
        if (r < 0 && errno != EINTR)
            return false;
    }
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

std::size_t AddressList::resolve(const char* host, const char* service) {
    release();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host, service, &hints, &head_) != 0) {
        head_ = nullptr;
        return 0;
    }
    for (const addrinfo* a = head_; a != nullptr; a = a->ai_next)
        ++count_;
    return count_;
}

ConnectOutcome AddressList::try_connect(std::size_t index, int timeout_sec) const {
    const addrinfo* a = head_;
    for (std::size_t i = 0; a != nullptr && i < index; ++i)
        a = a->ai_next;
    if (a == nullptr)
        return ConnectOutcome::not_started;
    Socket s(socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
    if (s.get() < 0)
        return ConnectOutcome::not_started;
    int flags = fcntl(s.get(), F_GETFL);
    if (flags < 0 || fcntl(s.get(), F_SETFL, flags | O_NONBLOCK) < 0)
        return ConnectOutcome::not_started;
    if (connect(s.get(), a->ai_addr, a->ai_addrlen) == 0)
        return ConnectOutcome::connected;
    // A connect that fails before any wait (no route for this address family, for example)
    // leaves no pending error to read: the socket would look writable with error 0, a false
    // "reachable". Such an address is skipped; a refusal is a refusal whenever it comes.
    if (errno == ECONNREFUSED)
        return ConnectOutcome::refused;
    if (errno != EINPROGRESS && errno != EINTR && errno != EAGAIN)
        return ConnectOutcome::not_started;
    if (!wait_connect(s.get(), timeout_sec))
        return ConnectOutcome::no_answer;
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &error, &length);
    if (error == 0)
        return ConnectOutcome::connected;
    return error == ECONNREFUSED ? ConnectOutcome::refused : ConnectOutcome::failed;
}

}  // namespace hv::platform
