#include "platform/socket.h"

namespace hv::platform {

void net_startup() {}

}  // namespace hv::platform
