#include <algorithm>
#include <climits>

#include "probe/probes.h"

namespace hv {
namespace {

bool contains(std::string_view text, std::string_view word) {
    return text.find(word) != std::string_view::npos;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Length of a round-trip time written after '=' or '<' at `at`: optional blanks, digits, an
// optional fraction, optional blanks and "ms" not followed by a letter ("=1ms", "<1ms",
// "= 12 ms"); 0 when there is none.
std::size_t round_trip_time_at(std::string_view line, std::size_t at) {
    std::size_t i = at + 1;
    while (i < line.size() && line[i] == ' ')
        ++i;
    std::size_t digits = i;
    while (i < line.size() && is_digit(line[i]))
        ++i;
    if (i == digits)
        return 0;
    if (i + 1 < line.size() && (line[i] == '.' || line[i] == ',') && is_digit(line[i + 1])) {
        i += 2;
        while (i < line.size() && is_digit(line[i]))
            ++i;
    }
    while (i < line.size() && line[i] == ' ')
        ++i;
    if (line.substr(i, 2) != "ms")
        return 0;
    i += 2;
    if (i < line.size() && is_letter(line[i]))
        return 0;
    return i - at;
}

// A Windows IPv6 reply carries no TTL, and its word for "time" is translated ("time<1ms",
// "Zeit<1ms", "temps<1ms"). What stays the same in every language: the replying address
// followed by a colon, then exactly one round-trip time. Error answers ("Destination host
// unreachable.") carry no time, and the summary's "Minimum = 0ms, Maximum = 0ms, ..." has
// three times and no colon.
bool has_one_round_trip_time(std::string_view line) {
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return false;
    int times = 0;
    bool after_colon = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] != '=' && line[i] != '<')
            continue;
        std::size_t length = round_trip_time_at(line, i);
        if (length == 0)
            continue;
        ++times;
        after_colon = i > colon;
        i += length - 1;
    }
    return times == 1 && after_colon;
}

// One line of ping's output is an echo reply when it carries the reply's TTL (iputils
// "ttl=", Windows IPv4 "TTL=" in every language) or is a Windows IPv6 reply. iputils marks a
// second answer to the same request with "(DUP!)": never a new reply.
bool is_echo_reply(std::string_view line) {
    if (contains(line, "(DUP!)"))
        return false;
    if (contains(line, "ttl=") || contains(line, "TTL="))
        return true;
    return has_one_round_trip_time(line);
}

template <typename Visit>
void for_each_line(std::string_view text, Visit visit) {
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        visit(line);
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
}

bool is_blank(std::string_view line) {
    for (char c : line) {
        if (c != ' ' && c != '\t')
            return false;
    }
    return true;
}

// Digits and dots, or any colon: an address ping never has to look up.
bool is_numeric_address(std::string_view host) {
    if (contains(host, ":"))
        return true;
    for (char c : host) {
        if (!is_digit(c) && c != '.')
            return false;
    }
    return true;
}

// A name that does not resolve makes ping print one line that names the host and fail
// (iputils "ping: nas.lab: Name or service not known", exit code 2; Windows "Ping request
// could not find host nas.lab. ...", exit code 1, translated). Every other output, replies or
// not, has more lines or does not repeat the host text.
bool says_name_failed(std::string_view output, std::string_view host, int exit_code) {
    if (exit_code <= 0 || host.empty() || is_numeric_address(host))
        return false;
    int lines = 0;
    bool names_host = false;
    for_each_line(output, [&](std::string_view line) {
        if (is_blank(line))
            return;
        ++lines;
        names_host = contains(line, host);
    });
    return lines == 1 && names_host;
}

}  // namespace

int count_ping_replies(std::string_view output, int pingcount) {
    int count = 0;
    for_each_line(output, [&](std::string_view line) {
        if (count < INT_MAX && is_echo_reply(line))
            ++count;
    });
    return std::min(count, std::max(pingcount, 0));
}

PingResult read_ping_output(std::string_view output, std::string_view host, int pingcount,
                            int exit_code) {
    PingResult result;
    result.replies = count_ping_replies(output, pingcount);
    result.name_failed = result.replies == 0 && says_name_failed(output, host, exit_code);
    return result;
}

}  // namespace hv
