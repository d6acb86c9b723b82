#include "config/secret.h"

#include <cstring>

#include "config/alert_config.h"

namespace hv {
namespace {

constexpr unsigned char kScrambleKey = 0x6B;
constexpr unsigned char kKeptByte = '~';

unsigned char transform(unsigned char byte) {
    return byte == kKeptByte ? byte : static_cast<unsigned char>(byte ^ kScrambleKey);
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

void scramble_secret(std::string_view secret, ScrambledText& out) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    if (secret.size() > kMaxScrambledBytes)
        secret = secret.substr(0, kMaxScrambledBytes);
    out.assign(kScramblePrefix);
    for (char c : secret) {
        unsigned char byte = transform(static_cast<unsigned char>(c));
        char pair[2] = {kDigits[byte >> 4], kDigits[byte & 0x0F]};
        out.append(std::string_view(pair, 2));
    }
}

int reveal_secret_length(const char* text, char* out, std::size_t out_size, std::size_t& length) {
    length = 0;
    if (out == nullptr || out_size == 0)
        return 0;
    out[0] = '\0';
    if (text == nullptr)
        return 0;

    std::string_view stored(text);
    if (stored.substr(0, kScramblePrefix.size()) != kScramblePrefix) {
        length = stored.size();
        std::size_t n = length < out_size - 1 ? length : out_size - 1;
        std::memcpy(out, stored.data(), n);
        out[n] = '\0';
        return 1;
    }

    std::string_view digits = stored.substr(kScramblePrefix.size());
    if (digits.size() % 2 != 0 || digits.size() / 2 > kMaxRevealedBytes)
        return 0;
    unsigned char bytes[kMaxRevealedBytes];
    std::size_t count = digits.size() / 2;
    for (std::size_t i = 0; i < count; ++i) {
        int high = hex_digit(digits[2 * i]);
        int low = hex_digit(digits[2 * i + 1]);
        if (high < 0 || low < 0)
            return 0;
        bytes[i] = transform(static_cast<unsigned char>(high << 4 | low));
    }
    length = count;
    std::size_t n = count < out_size - 1 ? count : out_size - 1;
    std::memcpy(out, bytes, n);
    out[n] = '\0';
    return 1;
}

int reveal_secret(const char* text, char* out, std::size_t out_size) {
    std::size_t length = 0;
    return reveal_secret_length(text, out, out_size, length);
}

}  // namespace hv
