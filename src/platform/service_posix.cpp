#include "platform/service.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace hv::platform {
namespace {

// Sends one notification datagram the way systemd's sd_notify does, without linking libsystemd.
// A name starting with '@' is in the abstract namespace. Failures are ignored: systemd notices
// a missing READY=1 itself.
void notify(const char* socket_name, const char* message) {
    std::size_t length = std::strlen(socket_name);
    sockaddr_un address{};
    if (length < 2 || length >= sizeof address.sun_path ||
        (socket_name[0] != '/' && socket_name[0] != '@'))
        return;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socket_name, length);
    if (address.sun_path[0] == '@')
        address.sun_path[0] = '\0';
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    (void)sendto(fd, message, std::strlen(message), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&address), size);
    close(fd);
}

}  // namespace

void service_report_running() {
    const char* socket_name = std::getenv("NOTIFY_SOCKET");
    if (socket_name == nullptr)
        return;
    notify(socket_name, "READY=1\nSTATUS=Monitoring");
    unsetenv("NOTIFY_SOCKET");
}

int run_as_service(const std::string&, const std::string&, ServiceBody, void*) {
    return -1;
}

ServiceOutcome install_service(const std::string&, const std::string&) {
    return {ServiceError::not_supported, {}};
}

ServiceOutcome uninstall_service(const std::string&) {
    return {ServiceError::not_supported, {}};
}

}  // namespace hv::platform
