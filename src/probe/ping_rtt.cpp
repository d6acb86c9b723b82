#include "probe/ping_rtt.h"

namespace hv {
namespace {

constexpr std::int64_t kMaxRttUs = 3'600'000'000;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Reads "<digits>[.<digits>][ ]ms" at the start of `text` as microseconds; -1 when the text
// is not such a time.
std::int64_t read_ms(std::string_view text) {
    std::size_t i = 0;
    std::int64_t us = 0;
    bool digits = false;
    for (; i < text.size() && is_digit(text[i]); ++i) {
        digits = true;
        if (us < kMaxRttUs)
            us = us * 10 + (text[i] - '0') * 1000;
        else
            us = kMaxRttUs;
    }
    if (i < text.size() && text[i] == '.') {
        std::int64_t scale = 100;
        for (++i; i < text.size() && is_digit(text[i]); ++i) {
            digits = true;
            us += (text[i] - '0') * scale;
            scale /= 10;
        }
    }
    if (!digits)
        return -1;
    if (i < text.size() && text[i] == ' ')
        ++i;
    if (text.substr(i, 2) != "ms")
        return -1;
    return us > kMaxRttUs ? kMaxRttUs : us;
}

}  // namespace

std::int64_t average_rtt_us(std::string_view output) {
    std::int64_t sum = 0;
    std::int64_t count = 0;
    constexpr std::string_view kTime = "time";
    for (std::size_t at = output.find(kTime); at != std::string_view::npos;
         at = output.find(kTime, at + kTime.size())) {
        std::string_view rest = output.substr(at + kTime.size());
        std::int64_t us = -1;
        if (rest.substr(0, 1) == "=")
            us = read_ms(rest.substr(1));
        else if (rest.substr(0, 4) == "<1ms")
            us = 500;
        if (us < 0)
            continue;
        sum += us;
        ++count;
    }
    return count == 0 ? -1 : sum / count;
}

}  // namespace hv
