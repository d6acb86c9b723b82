#include <climits>

#include "probe/probes.h"

namespace hv {
namespace {

// Non-overlapping occurrences, each search resuming after the whole of the previous hit.
int count_occurrences(std::string_view text, std::string_view word) {
    int count = 0;
    for (std::size_t at = text.find(word); at != std::string_view::npos;
         at = text.find(word, at + word.size())) {
        if (count == INT_MAX)
            break;
        ++count;
    }
    return count;
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A decimal number as the C library reads one: leading white space, an optional sign, then
// digits up to the first non-digit; 0 without digits. Out-of-range values stop at the int
// limits instead of wrapping.
int read_number(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value <= static_cast<long long>(INT_MAX) + 1)
            value = value * 10 + (text[i] - '0');
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

}  // namespace

int count_ping_replies(std::string_view output) {
    if (output.empty())
        return 0;
    // Windows reply lines carry "TTL=", Linux ones "ttl=".
    int count = count_occurrences(output, "TTL=");
    int lower = count_occurrences(output, "ttl=");
    count = lower > INT_MAX - count ? INT_MAX : count + lower;
    if (count != 0)
        return count;
    // Without reply lines, the Windows summary "Received = N" decides.
    constexpr std::string_view kReceived = "Received =";
    std::size_t at = output.find(kReceived);
    if (at == std::string_view::npos)
        return 0;
    std::string_view rest = output.substr(at + kReceived.size());
    while (!rest.empty() && rest.front() == ' ')
        rest.remove_prefix(1);
    return read_number(rest);
}

}  // namespace hv
