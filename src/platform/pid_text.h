// The process id a PID file records, read the same way by every backend.
#pragma once

#include <cstdint>
#include <string_view>

namespace hv::platform {

/// The number at the start of `text` after leading white space; 0 when there is none or it
/// does not fit 32 bits.
inline std::uint32_t parse_recorded_pid(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' ||
                               text[i] == '\r' || text[i] == '\v' || text[i] == '\f'))
        ++i;
    if (i == text.size() || text[i] < '0' || text[i] > '9')
        return 0;
    unsigned long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
        if (value > 0xFFFFFFFFull)
            return 0;
    }
    return static_cast<std::uint32_t>(value);
}

}  // namespace hv::platform
