#include "platform/socket.h"

#include <winsock2.h>

namespace hv::platform {

void net_startup() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
}

}  // namespace hv::platform
