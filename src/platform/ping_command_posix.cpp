#include <string>

#include "platform/ping_command.h"

namespace hv::platform {

// iputils ping: -n numeric output (no reverse look-ups slow a probe), -c request count,
// -W wait per reply in seconds. It refuses a wait above INT_MAX / 1000 seconds, which would
// turn every check into a failure, hence the cut.
std::vector<std::string> ping_argv(const std::string& host, int count, int timeout_sec) {
    int wait = timeout_sec > kMaxPingWaitSeconds ? kMaxPingWaitSeconds : timeout_sec;
    return {"ping", "-n", "-c", std::to_string(count), "-W", std::to_string(wait), host};
}

}  // namespace hv::platform
