#include "platform/clock.h"

namespace hv::platform {

std::tm local_time(std::time_t t) {
    std::tm result{};
    localtime_r(&t, &result);
    return result;
}

int utc_offset_minutes(std::time_t t) {
    std::tm local = local_time(t);
    return static_cast<int>(local.tm_gmtoff / 60);
}

}  // namespace hv::platform
