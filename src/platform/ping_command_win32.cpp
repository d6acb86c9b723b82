#include <cstdint>
#include <string>

#include "platform/ping_command.h"

namespace hv::platform {

// Windows ping: -n request count, -w wait per reply in milliseconds (a 32-bit value). It
// prints numeric addresses unless asked for names (-a).
std::vector<std::string> ping_argv(const std::string& host, int count, int timeout_sec) {
    std::int64_t ms = static_cast<std::int64_t>(timeout_sec) * 1000;
    if (ms > INT32_MAX)
        ms = INT32_MAX;
    return {"ping", "-n", std::to_string(count), "-w", std::to_string(ms), host};
}

}  // namespace hv::platform
