#include "notify/curl_run.h"

#include "probe/runner.h"

namespace hv {

int run_curl(std::vector<std::string> options, const std::string& config) {
    std::vector<std::string> argv;
    argv.reserve(options.size() + 7);
    argv.emplace_back("curl");
    for (std::string& option : options)
        argv.push_back(std::move(option));
    // A send that hangs would hold its caller (and, for e-mail, the mail lock) forever.
    for (const char* tail : {"--connect-timeout", "15", "--max-time", "60", "-K", "-"})
        argv.emplace_back(tail);
    // curl keeps its own limit; this one ends a curl that does not (a stalled name lookup).
    constexpr int kCurlLimitMs = (60 + 15) * 1000;
    return run_command(argv, &config, kCurlLimitMs);
}

}  // namespace hv
