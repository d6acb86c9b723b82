#include <string>

#include "config/host_text.h"
#include "platform/ping_command.h"
#include "platform/process.h"
#include "probe/ping_rtt.h"
#include "probe/probes.h"
#include "probe/runner.h"

namespace hv {

int ping_probe(const char* host, int timeoutsec, int pingcount, StatusText& status,
               std::int64_t* rtt_us) {
    if (rtt_us != nullptr)
        *rtt_us = -1;
    // A host text that could read as an option or hold anything but a name or an address is
    // never handed to ping: the check fails.
    if (host == nullptr || !is_usable_host(host))
        return 0;
    const int count = pingcount;
    CaptureText output;
    // A stopping monitor drops the check's result, so a running ping is not waited for.
    int rc =
        run_command_capture(platform::ping_argv(host, count, timeoutsec), output, nullptr, true);
    if (rc == platform::kEndedOnStop)
        return kPingInterrupted;
    if (rc < 0)
        return 0;
    int replies = count_ping_replies(output);
    if (replies > 0) {
        status.format("Ping OK %s received=%d/%d", host, replies, count);
        if (rtt_us != nullptr)
            *rtt_us = average_rtt_us(output);
    }
    return replies;
}

}  // namespace hv
