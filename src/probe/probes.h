// The two reachability probes of a host check.
#pragma once

#include <cstdint>
#include <string_view>

#include "output/fixed_text.h"

namespace hv {

using StatusText = FixedText<512>;

/// What one run of ping showed. New findings from ping's output go here as further fields.
struct PingResult {
    int replies = 0;           ///< echo replies counted, 0 to `pingcount`
    bool name_failed = false;  ///< ping said the host name does not resolve
    /// Average round-trip time of the replies in microseconds; -1 when none carried a time.
    std::int64_t rtt_us = -1;
    /// The run was ended by the stop request: it says nothing about the host.
    bool interrupted = false;
};

/// What the TCP fallback found.
struct FallbackResult {
    bool reachable = false;    ///< a connection was accepted or refused
    bool name_failed = false;  ///< the host name did not resolve within the wait
    /// A look-up of the name from an earlier check was still running: nothing was tried.
    bool lookup_pending = false;
};

/// How long one ping run may take: `pingcount` replies of `timeoutsec` each (each at least a
/// second, ping's interval) plus a 5-second margin, in milliseconds, at most INT_MAX.
int ping_time_limit_ms(int pingcount, int timeoutsec);

/// Counts the echo replies in ping's output, line by line: an iputils reply ("ttl="), a
/// Windows IPv4 reply ("TTL=") or a Windows IPv6 reply (an address, a colon and one round-trip
/// time such as "time<1ms" in any language). Duplicates ("(DUP!)") and ICMP error answers
/// never count; the count never exceeds `pingcount`.
int count_ping_replies(std::string_view output, int pingcount);

/// Reads ping's whole output for `host`: the reply count, and whether ping reported that the
/// name does not resolve (no reply, a failing `exit_code`, and a single line that names the
/// host; never for a numeric address).
PingResult read_ping_output(std::string_view output, std::string_view host, int pingcount,
                            int exit_code);

/// Pings `host` `pingcount` times, waiting `timeoutsec` seconds per reply. Writes
/// "Ping OK %s received=%d/%d" into `status` when a reply came; `status` is untouched
/// otherwise. An unusable host text starts nothing and gives no reply. A ping still running
/// after ping_time_limit_ms is ended with all it started, and gives no reply. A ping still
/// running when run mode's stop request is set is ended the same way and comes back
/// `interrupted`.
PingResult ping_probe(const char* host, int timeoutsec, int pingcount, StatusText& status);

/// Resolves `host` once, waiting at most `timeoutsec` seconds, then tries TCP connections to
/// ports 443, 80 and 22 on its addresses all at once, waiting at most `timeoutsec` seconds for
/// the first to be accepted or refused. When one is, writes
/// "Ping blocked but TCP reachable: %s" into `status`; `status` is untouched otherwise.
/// A look-up that outlives the wait goes on in the background; until it ends, further calls
/// for the same name try nothing and come back `lookup_pending`.
FallbackResult tcp_fallback_probe(const char* host, int timeoutsec, StatusText& status);

}  // namespace hv
