#include <climits>
#include <string>

#include "config/host_text.h"
#include "platform/ping_command.h"
#include "platform/process.h"
#include "probe/ping_rtt.h"
#include "probe/probes.h"
#include "probe/runner.h"

namespace hv {

int ping_time_limit_ms(int pingcount, int timeoutsec) {
    constexpr long long kMarginMs = 5000;
    long long per_reply = timeoutsec > 1 ? timeoutsec : 1;  // ping waits at least a second
    long long count = pingcount > 1 ? pingcount : 1;
    long long limit = count * per_reply * 1000 + kMarginMs;
    return limit > INT_MAX ? INT_MAX : static_cast<int>(limit);
}

PingResult ping_probe(const char* host, int timeoutsec, int pingcount, StatusText& status) {
    // A host text that could read as an option or hold anything but a name or an address is
    // never handed to ping: the check fails.
    if (host == nullptr || !is_usable_host(host))
        return {};
    const int count = pingcount;
    CaptureText output;
    // A ping that hangs (a stalled name lookup, a stopped process) must not hold its worker:
    // it is ended after every reply's wait plus a margin, and the check fails.
    // A stopping monitor drops the result anyway, so a running ping is not waited for.
    int exit_code = run_command_capture(platform::ping_argv(host, count, timeoutsec), output,
                                        nullptr, ping_time_limit_ms(count, timeoutsec), true);
    if (exit_code == platform::kChildEndedOnStop) {
        PingResult interrupted;
        interrupted.interrupted = true;
        return interrupted;
    }
    if (exit_code < 0)
        return {};
    PingResult result = read_ping_output(output.view(), host, count, exit_code);
    if (result.replies > 0) {
        status.format("Ping OK %s received=%d/%d", host, result.replies, count);
        result.rtt_us = average_rtt_us(output);
    }
    return result;
}

}  // namespace hv
