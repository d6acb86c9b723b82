#include "config/syntax.h"

#include <cstring>
#include <limits>

namespace hv {

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

bool ReadUnitReader::next(char (&unit)[kReadUnitSize], std::size_t& size) {
    size = 0;
    unit[0] = '\0';
    if (file_ == nullptr || failed_)
        return false;
    while (size < kReadUnitSize - 1) {
        int c = std::getc(file_);
        if (c == EOF) {
            failed_ = std::ferror(file_) != 0;
            break;
        }
        unit[size++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    unit[size] = '\0';
    return size > 0 && !failed_;
}

}  // namespace hv
