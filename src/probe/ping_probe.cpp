#include <string>

#include "config/host_text.h"
#include "platform/ping_command.h"
#include "probe/ping_rtt.h"
#include "probe/probes.h"
#include "probe/runner.h"

namespace hv {

PingResult ping_probe(const char* host, int timeoutsec, int pingcount, StatusText& status) {
    // A host text that could read as an option or hold anything but a name or an address is
    // never handed to ping: the check fails.
    if (host == nullptr || !is_usable_host(host))
        return {};
    const int count = pingcount;
    CaptureText output;
    int exit_code = run_command_capture(platform::ping_argv(host, count, timeoutsec), output);
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
