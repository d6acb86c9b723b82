// The command line of the system's ping: its options differ between operating systems.
#pragma once

#include <string>
#include <vector>

namespace hv::platform {

/// The largest per-reply wait, in seconds, that every supported ping accepts: its millisecond
/// form must fit a signed 32-bit integer.
inline constexpr int kMaxPingWaitSeconds = 2147483;

/// The argument vector that makes the system's ping send `count` echo requests to `host` and
/// wait up to `timeout_sec` seconds for each reply, printing addresses only in numeric form.
/// argv[0] is "ping", found through PATH by the runner. A wait longer than
/// kMaxPingWaitSeconds is cut to it. The host is the last argument, passed as it is: callers
/// check it first (is_usable_host), so it never reads as an option.
std::vector<std::string> ping_argv(const std::string& host, int count, int timeout_sec);

}  // namespace hv::platform
