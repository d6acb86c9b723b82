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
    return run_command(argv, &config);
}

}  // namespace hv
