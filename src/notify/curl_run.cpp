#include "notify/curl_run.h"

#include <string>

#include "config/syntax.h"
#include "probe/runner.h"

namespace hv {
namespace {

// curl writes the server's last reply code on a line of its own after everything else it
// prints on standard output ("000" when no reply came).
constexpr std::string_view kReplyMark = "hv-reply:";
constexpr std::string_view kCurlError = "curl: (";

// Printable bytes only: control characters (line ends, tabs, escapes) are dropped.
std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F)
            out += c;
    }
    return out;
}

void redact(std::string& text, std::string_view secret) {
    if (secret.empty())
        return;
    for (std::size_t at = text.find(secret); at != std::string::npos;
         at = text.find(secret, at + 3))
        text.replace(at, secret.size(), "***");
}

}  // namespace

std::string curl_failure_reason(std::string_view output, CurlProtocol protocol,
                                const std::vector<std::string_view>& secrets) {
    std::string_view reply_code;
    std::string_view error_line;
    while (!output.empty()) {
        std::size_t end = output.find('\n');
        std::string_view line = output.substr(0, end);
        output.remove_prefix(end == std::string_view::npos ? output.size() : end + 1);
        if (line.starts_with(kReplyMark))
            reply_code = line.substr(kReplyMark.size());
        else if (line.starts_with(kCurlError))
            error_line = line;
    }

    std::string reason;
    const std::string code = printable(reply_code);
    bool error_reply = code.size() == 3 && code >= "400";
    for (char c : code)
        error_reply = error_reply && c >= '0' && c <= '9';
    if (error_reply)
        reason = (protocol == CurlProtocol::http ? "HTTP " : "SMTP ") + code;
    // An HTTP error status says it all (curl's line would only repeat it); an SMTP reply code
    // alone does not say which step the server refused, and curl's line does.
    if (!error_line.empty() && (!error_reply || protocol == CurlProtocol::smtp)) {
        if (!reason.empty())
            reason += ", ";
        reason += printable(error_line);
    }
    for (std::string_view secret : secrets)
        redact(reason, printable(secret));

    reason = to_utf8_text(reason);
    if (reason.size() > kCurlFailureMax) {
        std::size_t cut = kCurlFailureMax;
        while (cut > 0 && (static_cast<unsigned char>(reason[cut]) & 0xC0) == 0x80)
            --cut;  // never inside a UTF-8 sequence
        reason.resize(cut);
    }
    return reason;
}

int run_curl(std::vector<std::string> options, const std::string& config, CurlProtocol protocol,
             const std::vector<std::string_view>& secrets, std::string* failure) {
    std::vector<std::string> argv;
    argv.reserve(options.size() + 10);
    argv.emplace_back("curl");
    for (std::string& option : options)
        argv.push_back(std::move(option));
    // -S: curl's error line even though -s keeps its progress quiet. Never -v: it would show
    // the login and the secret URLs.
    argv.emplace_back("--show-error");
    argv.emplace_back("--write-out");
    argv.emplace_back("\\n" + std::string(kReplyMark) + "%{response_code}\\n");
    // A send that hangs would hold its caller (and, for e-mail, the mail lock) forever.
    for (const char* tail : {"--connect-timeout", "15", "--max-time", "60", "-K", "-"})
        argv.emplace_back(tail);
    // curl keeps its own limit; this one ends a curl that does not (a stalled name lookup).
    constexpr int kCurlLimitMs = (60 + 15) * 1000;
    CaptureText output;
    int rc = run_command_capture(argv, output, &config, kCurlLimitMs);
    if (failure != nullptr) {
        failure->clear();
        if (rc != 0)
            *failure = curl_failure_reason(output.view(), protocol, secrets);
    }
    return rc;
}

}  // namespace hv
