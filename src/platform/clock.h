// Thread-safe local time.
#pragma once

#include <ctime>

namespace hv::platform {

/// `t` as local broken-down time (the thread-safe form of localtime).
std::tm local_time(std::time_t t);

/// The local zone's offset from UTC at `t`, in minutes east of Greenwich (+60 for UTC+01:00).
int utc_offset_minutes(std::time_t t);

}  // namespace hv::platform
