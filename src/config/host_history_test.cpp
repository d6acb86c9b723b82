#include <gtest/gtest.h>

#include "config/host_history.h"

namespace hv {
namespace {

constexpr std::int64_t kHour = 3600;
constexpr std::int64_t kStart = 1'796'000'400;  // some seconds into an hour

TEST(HostHistory, KeepsTheLastSixtyResultsNewestFirst) {
    HostHistory history;
    for (int i = 0; i < 70; ++i)
        history.record(i % 3 != 0, HostCondition::up, kStart + i);
    EXPECT_EQ(history.recent_count, 60);
    EXPECT_FALSE(history.recent_up(0));   // i = 69
    EXPECT_TRUE(history.recent_up(1));    // i = 68
    EXPECT_FALSE(history.recent_up(3));   // i = 66
    EXPECT_FALSE(history.recent_up(57));  // i = 12
    EXPECT_TRUE(history.recent_up(59));   // i = 10
}

TEST(HostHistory, AvailabilityCoversTheLast24Hours) {
    HostHistory history;
    EXPECT_EQ(history.availability(kStart), -1.0);
    // 30 hours of one good and one bad check per hour, then a good hour.
    for (int h = 0; h < 30; ++h) {
        history.record(true, HostCondition::up, kStart + h * kHour);
        history.record(false, HostCondition::down, kStart + h * kHour + 60);
    }
    history.record(true, HostCondition::up, kStart + 30 * kHour);
    history.record(true, HostCondition::up, kStart + 30 * kHour + 60);
    // Hours 7 to 30 count: 23 half-good hours and one good one.
    EXPECT_DOUBLE_EQ(history.availability(kStart + 30 * kHour + 120), 25.0 / 48.0);
    // A day without checks leaves nothing to judge.
    EXPECT_EQ(history.availability(kStart + 55 * kHour), -1.0);
}

}  // namespace
}  // namespace hv
