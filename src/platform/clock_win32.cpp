#include "platform/clock.h"

#include <windows.h>

namespace hv::platform {

std::tm local_time(std::time_t t) {
    std::tm result{};
    localtime_s(&result, &t);
    return result;
}

int utc_offset_minutes(std::time_t t) {
    std::tm local{};
    std::tm utc{};
    localtime_s(&local, &t);
    gmtime_s(&utc, &t);
    // Both as if they were UTC: their difference is the zone's offset, DST included.
    std::time_t as_local = _mkgmtime(&local);
    std::time_t as_utc = _mkgmtime(&utc);
    return static_cast<int>((as_local - as_utc) / 60);
}

}  // namespace hv::platform
