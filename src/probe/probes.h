// The two reachability probes of a host check.
#pragma once

#include <cstdint>
#include <string_view>

#include "output/fixed_text.h"

namespace hv {

using StatusText = FixedText<512>;

/// What ping_probe returns for a ping ended by the stop request: no result at all.
inline constexpr int kPingInterrupted = -2;

/// Counts the replies in ping's output: "TTL=" and "ttl=" occurrences, or failing those the
/// number after the first "Received =".
int count_ping_replies(std::string_view output);

/// Pings `host` `pingcount` times, waiting `timeoutsec` seconds per reply. Returns the reply
/// count and writes "Ping OK %s received=%d/%d" into `status` when it is positive; otherwise a
/// value of 0 or below, `status` untouched. An unusable host text starts nothing and gives 0.
/// When `rtt_us` is given it receives the average round-trip time of the replies in
/// microseconds, -1 when none carried a time.
/// kPingInterrupted: run mode was asked to stop and the ping was ended before its result.
int ping_probe(const char* host, int timeoutsec, int pingcount, StatusText& status,
               std::int64_t* rtt_us = nullptr);

/// Tries TCP connections to ports 443, 80 and 22. Returns 1 and writes
/// "Ping blocked but TCP reachable: %s" when one is accepted or refused; 0 otherwise.
int tcp_fallback_probe(const char* host, int timeoutsec, StatusText& status);

}  // namespace hv
