#include "config/host_history.h"

namespace hv {
namespace {

std::int64_t hour_of(std::int64_t t) {
    return t >= 0 ? t / 3600 : (t - 3599) / 3600;
}

}  // namespace

void HostHistory::record(bool up, HostCondition new_state, std::int64_t now) {
    state = new_state;

    recent_bits = (recent_bits << 1) | (up ? 1u : 0u);
    if (recent_count < kRecent)
        ++recent_count;

    const std::int64_t hour = hour_of(now);
    HourBucket& bucket = hours[static_cast<std::size_t>(((hour % kHours) + kHours) % kHours)];
    if (bucket.hour != hour)
        bucket = HourBucket{hour, 0, 0};
    ++bucket.checks;
    if (up)
        ++bucket.up;
}

double HostHistory::availability(std::int64_t now) const {
    const std::int64_t hour = hour_of(now);
    std::uint64_t checks = 0;
    std::uint64_t up = 0;
    for (const HourBucket& bucket : hours) {
        // The current hour and the 23 before it.
        if (bucket.hour < 0 || bucket.hour > hour || bucket.hour <= hour - kHours)
            continue;
        checks += bucket.checks;
        up += bucket.up;
    }
    return checks == 0 ? -1.0 : static_cast<double>(up) / static_cast<double>(checks);
}

}  // namespace hv
