// The two reachability probes of a host check.
#pragma once

#include <cstdint>
#include <string_view>

#include "output/fixed_text.h"

namespace hv {

using StatusText = FixedText<512>;

/// Counts the replies in ping's output: "TTL=" and "ttl=" occurrences, or failing those the
/// number after the first "Received =".
int count_ping_replies(std::string_view output);

/// How long one ping run may take: `pingcount` replies of `timeoutsec` each (each at least a
/// second, ping's interval) plus a 5-second margin, in milliseconds, at most INT_MAX.
int ping_time_limit_ms(int pingcount, int timeoutsec);

/// Pings `host` `pingcount` times, waiting `timeoutsec` seconds per reply. Returns the reply
/// count and writes "Ping OK %s received=%d/%d" into `status` when it is positive; otherwise a
/// value of 0 or below, `status` untouched. An unusable host text starts nothing and gives 0.
/// A ping still running after ping_time_limit_ms is ended with all it started, and gives 0.
/// When `rtt_us` is given it receives the average round-trip time of the replies in
/// microseconds, -1 when none carried a time.
int ping_probe(const char* host, int timeoutsec, int pingcount, StatusText& status,
               std::int64_t* rtt_us = nullptr);

/// Tries TCP connections to ports 443, 80 and 22. Returns 1 and writes
/// "Ping blocked but TCP reachable: %s" when one is accepted or refused; 0 otherwise.
int tcp_fallback_probe(const char* host, int timeoutsec, StatusText& status);

}  // namespace hv
