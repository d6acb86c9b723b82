#include "output/timestamp.h"

#include "platform/clock.h"

namespace hv {

TimestampText format_timestamp(std::time_t t) {
    std::tm tm = platform::local_time(t);
    TimestampText text;
    text.format("%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

TimestampText timestamp_now() {
    return format_timestamp(std::time(nullptr));
}

}  // namespace hv
