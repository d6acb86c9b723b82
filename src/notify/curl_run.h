// One curl run of a channel, and the reason of a failed one.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace hv {

/// The protocol a channel's server answers in, which names its reply codes in a reason.
enum class CurlProtocol { http, smtp };

/// Longest failure reason, in bytes.
inline constexpr std::size_t kCurlFailureMax = 200;

/// Runs curl with `options`, then "--show-error --write-out <reply code line>
/// --connect-timeout 15 --max-time 60 -K -", handing `config` (curl config lines holding the
/// secrets) on its standard input, so that no secret stands in the argument vector. Its output
/// is captured (bounded) only to find the reason of a failure. Returns curl's exit code, or -1
/// when it could not be started. `failure`, when given, receives curl_failure_reason of the
/// output when the exit code is not 0, and is empty otherwise.
int run_curl(std::vector<std::string> options, const std::string& config, CurlProtocol protocol,
             const std::vector<std::string_view>& secrets, std::string* failure);

/// The reason of a failed run, read from curl's captured output: "HTTP <code>" or
/// "SMTP <code>" when the server's last reply was an error (400 or above); for SMTP, or when no
/// such reply came, curl's own error line ("curl: (67) Login denied") follows, joined by ", ".
/// One line of printable text, valid UTF-8, at most kCurlFailureMax bytes, with every
/// occurrence of a non-empty `secrets` value replaced by "***". Empty when nothing is known.
std::string curl_failure_reason(std::string_view output, CurlProtocol protocol,
                                const std::vector<std::string_view>& secrets);

}  // namespace hv
