// One curl run of a channel.
#pragma once

#include <string>
#include <vector>

namespace hv {

/// Runs curl with `options`, then "--connect-timeout 15 --max-time 60 -K -", handing
/// `config` (curl config lines holding the secrets) on its standard input, so that no secret
/// stands in the argument vector. Its output goes to the null device. Returns run_command's
/// result: curl's exit code, or -1 when it could not be started.
int run_curl(std::vector<std::string> options, const std::string& config);

}  // namespace hv
