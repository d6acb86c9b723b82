// The line syntax shared by both configuration files: `key : "value"`, '*' disables a line,
// '#' starts a comment.
#pragma once

#include <cstdio>

#include "output/fixed_text.h"

namespace hv {

inline constexpr std::size_t kReadUnitSize = 8192;  ///< one read: at most 8,191 bytes
using ConfigKey = FixedText<128>;
using ConfigValue = FixedText<8192>;

/// Strips leading and trailing C-locale white space in place; null does nothing.
void trim_whitespace(char* text);

/// Splits one read unit into key, value and disabled flag. Returns 1 when the line yields a
/// key and a value, 0 otherwise.
int parse_config_line(const char* line, ConfigKey& key, ConfigValue& value, int& disabled);

}  // namespace hv
