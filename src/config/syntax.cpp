#include "config/syntax.h"

#include <cstring>
#include <limits>

namespace hv {

namespace {

// Length of the well-formed UTF-8 sequence `text` starts with; 0 when it starts with none.
std::size_t utf8_sequence_length(std::string_view text) {
    unsigned char lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;  // the range of the second byte, narrowed for some leads
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;  // overlong
        else if (lead == 0xED)
            high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;  // overlong
        else if (lead == 0xF4)
            high = 0x8F;  // beyond U+10FFFF
    } else {
        return 0;
    }
    if (text.size() < length)
        return 0;
    unsigned char second = static_cast<unsigned char>(text[1]);
    if (second < low || second > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
            return 0;
    }
    return length;
}

}  // namespace

bool is_utf8_text(std::string_view text) {
    while (!text.empty()) {
        std::size_t length = utf8_sequence_length(text);
        if (length == 0)
            return false;
        text.remove_prefix(length);
    }
    return true;
}

std::string to_utf8_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        std::size_t length = utf8_sequence_length(text);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            length = 1;
        } else {
            out.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return out;
}

std::string_view trim_view(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size() && is_config_space(text[begin]))
        ++begin;
    std::size_t end = text.size();
    while (end > begin && is_config_space(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

void trim_whitespace(char* text) {
    if (text == nullptr)
        return;
    std::string_view trimmed = trim_view(text);
    std::memmove(text, trimmed.data(), trimmed.size());
    text[trimmed.size()] = '\0';
}

std::size_t find_config_separator(std::string_view text) {
    std::size_t separator = text.find(':');
    if (separator == std::string_view::npos)
        separator = text.find('=');
    return separator;
}

int parse_config_line(const char* line, ConfigKey& key, ConfigValue& value, int& disabled) {
    key.clear();
    value.clear();
    disabled = 0;
    if (line == nullptr)
        return 0;

    std::string_view rest(line);
    std::size_t start = 0;
    while (start < rest.size() && is_config_space(rest[start]))
        ++start;
    if (start == rest.size())
        return 0;
    if (rest[start] == '*') {
        disabled = 1;
        ++start;
        while (start < rest.size() && is_config_space(rest[start]))
            ++start;
        if (start == rest.size())
            return 0;
    }
    rest.remove_prefix(start);

    std::size_t separator = find_config_separator(rest);
    if (separator == std::string_view::npos || separator == 0)
        return 0;

    std::size_t key_end = separator;
    while (key_end > 0 && is_config_space(rest[key_end - 1]))
        --key_end;
    std::size_t key_size = key_end < ConfigKey::kCapacity ? key_end : ConfigKey::kCapacity;
    // The key is cut before it is trimmed, so a long key may lose its tail's white space too.
    std::string_view key_text = trim_view(rest.substr(0, key_size));

    std::size_t open = rest.find('"', separator + 1);
    if (open == std::string_view::npos)
        return 0;
    std::size_t close = rest.find('"', open + 1);
    if (close == std::string_view::npos)
        return 0;
    std::string_view value_text = rest.substr(open + 1, close - open - 1);
    if (value_text.size() > ConfigValue::kCapacity)
        value_text = value_text.substr(0, ConfigValue::kCapacity);

    key.assign(key_text);
    value.assign(trim_view(value_text));
    return 1;
}

std::int32_t parse_config_number(std::string_view value) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
    std::size_t i = 0;
    bool negative = false;
    if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
        negative = value[i] == '-';
        ++i;
    }
    std::int64_t magnitude = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (value[i] - '0');
        // Beyond the 32-bit range the digits that follow cannot bring it back: saturate.
        if (magnitude > kMax + 1)
            magnitude = kMax + 1;
    }
    std::int64_t number = negative ? -magnitude : magnitude;
    if (number > kMax)
        return static_cast<std::int32_t>(kMax);
    if (number < kMin)
        return static_cast<std::int32_t>(kMin);
    return static_cast<std::int32_t>(number);
}

void print_utf16_refusal(const char* path) {
    std::printf("%s is UTF-16 text; save it as UTF-8\n", path);
}

TextEncoding ReadUnitReader::encoding() {
    if (examined_ || file_ == nullptr)
        return encoding_;
    examined_ = true;
    while (ahead_end_ < sizeof ahead_) {
        int c = std::getc(file_);
        if (c == EOF) {
            failed_ = std::ferror(file_) != 0;
            break;
        }
        ahead_[ahead_end_++] = static_cast<unsigned char>(c);
    }
    std::string_view start(reinterpret_cast<const char*>(ahead_), ahead_end_);
    if (start.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
        encoding_ = TextEncoding::utf8_bom;
        ahead_begin_ = kUtf8Bom.size();
    } else if (start.substr(0, 2) == std::string_view("\xFF\xFE")) {
        encoding_ = TextEncoding::utf16_le;
    } else if (start.substr(0, 2) == std::string_view("\xFE\xFF")) {
        encoding_ = TextEncoding::utf16_be;
    }
    return encoding_;
}

int ReadUnitReader::read_byte() {
    if (ahead_begin_ < ahead_end_)
        return ahead_[ahead_begin_++];
    if (failed_)
        return EOF;
    int c = std::getc(file_);
    if (c == EOF)
        failed_ = std::ferror(file_) != 0;
    return c;
}

bool ReadUnitReader::next(char (&unit)[kReadUnitSize], std::size_t& size) {
    size = 0;
    unit[0] = '\0';
    if (file_ == nullptr)
        return false;
    encoding();
    if (failed_)
        return false;
    while (size < kReadUnitSize - 1) {
        int c = read_byte();
        if (c == EOF)
            break;
        unit[size++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    unit[size] = '\0';
    return size > 0 && !failed_;
}

}  // namespace hv
