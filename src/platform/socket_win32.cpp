#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include "platform/socket.h"

namespace hv::platform {
namespace {

class Socket {
  public:
    explicit Socket(SOCKET s) : s_(s) {}
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() {
        if (s_ != INVALID_SOCKET)
            closesocket(s_);
    }
    SOCKET get() const { return s_; }

  private:
    SOCKET s_;
};

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
    Socket s(socket(a->ai_family, a->ai_socktype, a->ai_protocol));
    if (s.get() == INVALID_SOCKET)
        return ConnectOutcome::not_started;
    // Children get an explicit handle list, but a socket that is not inheritable at all can
    // never end up in one. A failure here changes nothing for the probe itself.
    SetHandleInformation(reinterpret_cast<HANDLE>(s.get()), HANDLE_FLAG_INHERIT, 0);
    u_long non_blocking = 1;
    if (ioctlsocket(s.get(), FIONBIO, &non_blocking) != 0)
        return ConnectOutcome::not_started;
    if (connect(s.get(), a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0)
        return ConnectOutcome::connected;
    int started = WSAGetLastError();
    if (started == WSAECONNREFUSED)
        return ConnectOutcome::refused;
    if (started != WSAEWOULDBLOCK)
        return ConnectOutcome::not_started;
    // A failed non-blocking connect is reported in the exception set, not the write set:
    // waiting on the write set alone would turn every refusal into a full time-out.
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s.get(), &writable);
    FD_SET(s.get(), &failed);
    timeval wait{};
    wait.tv_sec = timeout_sec;
    if (select(0, nullptr, &writable, &failed, &wait) <= 0)
        return ConnectOutcome::no_answer;
    if (!FD_ISSET(s.get(), &writable) && !FD_ISSET(s.get(), &failed))
        return ConnectOutcome::no_answer;
    int error = 0;
    int length = sizeof error;
    getsockopt(s.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
    if (error == WSAECONNREFUSED)
        return ConnectOutcome::refused;
    if (error == 0 && !FD_ISSET(s.get(), &failed))
        return ConnectOutcome::connected;
    return ConnectOutcome::failed;
}

}  // namespace hv::platform
