#include <gtest/gtest.h>

#include <string_view>

#include "probe/ping_rtt.h"

namespace hv {
namespace {

TEST(AverageRtt, ReadsTheReplyTimesOfEachPing) {
    struct Case {
        const char* name;
        std::string_view output;
        std::int64_t rtt_us;
    };
    const Case cases[] = {
        {"iputils replies",
         "PING 127.0.0.1 (127.0.0.1) 56(84) bytes of data.\n"
         "64 bytes from 127.0.0.1: icmp_seq=1 ttl=64 time=0.030 ms\n"
         "64 bytes from 127.0.0.1: icmp_seq=2 ttl=64 time=0.041 ms\n\n"
         "--- 127.0.0.1 ping statistics ---\n"
         "2 packets transmitted, 2 received, 0% packet loss, time 1001ms\n"
         "rtt min/avg/max/mdev = 0.030/0.035/0.041/0.005 ms\n",
         35},
        {"iputils whole milliseconds",
         "icmp_seq=1 ttl=52 time=12 ms\nicmp_seq=2 ttl=52 time=14 ms\n", 13000},
        {"Windows replies",
         "Reply from 192.0.2.7: bytes=32 time=3ms TTL=128\r\n"
         "Reply from 192.0.2.7: bytes=32 time<1ms TTL=128\r\n"
         "    Minimum = 0ms, Maximum = 3ms, Average = 1ms\r\n",
         1750},
        {"no replies", "3 packets transmitted, 0 received, 100% packet loss, time 2040ms\n", -1},
        {"empty", "", -1},
        {"time= without a unit", "time=12 ttl=1\n", -1},
        {"time= without digits", "time=ms time=.ms\n", -1},
        {"hostile huge value is cut to an hour", "time=99999999999999999999999999 ms\n",
         3'600'000'000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(average_rtt_us(c.output), c.rtt_us);
    }
}

}  // namespace
}  // namespace hv
