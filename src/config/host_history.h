// What the reports show of a host's recent checks: a run-time part of its HostRecord.
#pragma once

#include <array>
#include <cstdint>

namespace hv {

/// The three states a report shows. `down` while failures count towards `alertcount`,
/// `alert` once the alert is out.
enum class HostCondition { up, down, alert };

/// Checks and successes within one clock hour.
struct HourBucket {
    std::int64_t hour = -1;  ///< hours since the epoch this bucket counts; -1 unused
    std::uint32_t checks = 0;
    std::uint32_t up = 0;
};

/// A host's recent results. Guarded by the host-state lock like the record's other run-time
/// fields. Times are seconds since the epoch.
struct HostHistory {
    static constexpr int kRecent = 60;  ///< results kept for the status page's strip
    static constexpr int kHours = 24;   ///< hours the availability covers

    HostCondition state = HostCondition::up;  ///< as the most recent check left it
    std::int64_t last_rtt_us = -1;  ///< average round trip of the last answered ping; -1 none
    std::uint64_t recent_bits = 0;  ///< bit 0: the newest result, 1 = up
    std::int32_t recent_count = 0;  ///< results held in recent_bits, 0 to kRecent
    std::array<HourBucket, kHours> hours{};

    /// Adds one check result that ended at `now` with the host left in `state`.
    void record(bool up, HostCondition new_state, std::int64_t now);

    /// Share of successful checks within the 24 hours before `now`, 0 to 1; -1 when there
    /// was no check in that time.
    double availability(std::int64_t now) const;

    /// The result `age` checks ago (0: the newest); only for age < recent_count.
    bool recent_up(int age) const { return ((recent_bits >> age) & 1u) != 0; }
};

}  // namespace hv
