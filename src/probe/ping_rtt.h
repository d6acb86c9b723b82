// The round-trip time of a ping, read from the reply lines of its output.
#pragma once

#include <cstdint>
#include <string_view>

namespace hv {

/// The average round-trip time, in microseconds, of the replies in ping's output: every
/// "time=<number> ms" (iputils), "time=<number>ms" and "time<1ms" (Windows) counts once.
/// "time<1ms" is taken as 500 microseconds. Returns -1 when no reply carries a time. Values
/// beyond an hour are cut to an hour, so hostile output cannot overflow the sum.
std::int64_t average_rtt_us(std::string_view output);

}  // namespace hv
