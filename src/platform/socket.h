// Network start-up and the TCP connect primitive of the reachability probe.
#pragma once

namespace hv::platform {

/// Starts the socket library (Windows Sockets 2.2); nothing on POSIX. The result is ignored:
/// a failure shows later as failed connects.
void net_startup();

}  // namespace hv::platform
