// What a mail reader does with base64 text: decodes standard base64 with padding.
#pragma once

#include <string>
#include <string_view>

namespace hv::test {

inline std::string base64_decode(std::string_view text) {
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=')
            break;
        bits = bits << 6 | static_cast<unsigned>(kAlphabet.find(c));
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>(bits >> count & 0xFF);
        }
    }
    return out;
}

}  // namespace hv::test
