#include "notify/text_encoding.h"

namespace hv {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool is_unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// An encoded word has at most 75 characters, and a header line holding one at most 76 bytes;
// each word carries, besides its base64 text, the 12 characters of "=?UTF-8?B?" and "?=".
constexpr std::size_t kEncodedWordBytes = 75;
constexpr std::size_t kEncodedLineBytes = 76;
constexpr std::size_t kWordFrameBytes = 12;

// Payload bytes of a word that starts `taken` bytes into its line: whole base64 groups of four
// characters for three bytes (45 bytes behind the blank of a continuation line), at least one
// group.
std::size_t word_bytes(std::size_t taken) {
    std::size_t word = taken < kEncodedLineBytes ? kEncodedLineBytes - taken : 0;
    if (word > kEncodedWordBytes)
        word = kEncodedWordBytes;
    std::size_t groups = word > kWordFrameBytes ? (word - kWordFrameBytes) / 4 : 0;
    return (groups > 0 ? groups : 1) * 3;
}

// Length of the UTF-8 sequence that starts with `lead`; 1 for a stray continuation byte.
std::size_t sequence_length(unsigned char lead) {
    if (lead >= 0xF0)
        return 4;
    if (lead >= 0xE0)
        return 3;
    if (lead >= 0xC0)
        return 2;
    return 1;
}

}  // namespace

std::string percent_encode(std::string_view text, std::size_t room) {
    std::string out;
    for (char ch : text) {
        if (out.size() + 4 >= room)
            break;
        auto c = static_cast<unsigned char>(ch);
        if (is_unreserved(c)) {
            out += ch;
        } else {
            out += '%';
            out += kHexDigits[c >> 4];
            out += kHexDigits[c & 0x0F];
        }
    }
    return out;
}

std::string escape_json_text(const char* text) {
    std::string out;
    if (text == nullptr)
        return out;
    for (const char* p = text; *p != '\0'; ++p) {
        if (out.size() + 8 >= kTeamsTextRoom)
            break;
        switch (*p) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            // A raw control character makes the whole card invalid JSON, which the webhook
            // refuses: the alert would be lost.
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(*p) < 0x20) {
                    out += "\\u00";
                    out += kHexDigits[static_cast<unsigned char>(*p) >> 4];
                    out += kHexDigits[*p & 0x0F];
                } else {
                    out += *p;
                }
        }
    }
    return out;
}

std::string curl_config_line(std::string_view key, std::string_view value) {
    std::string line(key);
    line += " = \"";
    for (char c : value) {
        switch (c) {
            case '\\':
                line += "\\\\";
                break;
            case '"':
                line += "\\\"";
                break;
            case '\r':
                line += "\\r";
                break;
            case '\n':
                line += "\\n";
                break;
            case '\t':
                line += "\\t";
                break;
            default:
                line += c;
        }
    }
    line += "\"\n";
    return line;
}

std::string base64_encode(std::string_view bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                     static_cast<unsigned char>(bytes[i + 1]) << 8 |
                     static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += kAlphabet[v >> 6 & 63];
        out += kAlphabet[v & 63];
    }
    std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2)
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += rest == 2 ? kAlphabet[v >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

std::string encode_header_text(std::string_view text, std::size_t first_line_taken) {
    std::string clean(text);
    bool ascii = true;
    for (char& c : clean) {
        if (c == '\r' || c == '\n')
            c = ' ';
        if (static_cast<unsigned char>(c) >= 0x80)
            ascii = false;
    }
    if (ascii)
        return clean;

    std::string out;
    std::size_t pos = 0;
    while (pos < clean.size()) {
        // The first word follows the header's name, every other one the blank of its line.
        const std::size_t limit = word_bytes(out.empty() ? first_line_taken : 1);
        std::size_t end = pos;
        while (end < clean.size()) {
            std::size_t next = end + sequence_length(static_cast<unsigned char>(clean[end]));
            if (next > clean.size())
                next = clean.size();
            if (next - pos > limit && end > pos)
                break;
            end = next;
        }
        if (!out.empty())
            out += "\r\n ";
        out += "=?UTF-8?B?";
        out += base64_encode(std::string_view(clean).substr(pos, end - pos));
        out += "?=";
        pos = end;
    }
    return out;
}

}  // namespace hv
