// The line syntax shared by both configuration files: `key : "value"`, '*' disables a line,
// '#' starts a comment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "output/fixed_text.h"

namespace hv {

inline constexpr std::size_t kReadUnitSize = 8192;  ///< one read: at most 8,191 bytes
using ConfigKey = FixedText<128>;
using ConfigValue = FixedText<8192>;

/// The C-locale white space: space and 0x09 to 0x0D. Bytes 0x80 to 0xFF never are.
inline bool is_config_space(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u == ' ' || (u >= 0x09 && u <= 0x0D);
}

/// `text` without its leading and trailing white space.
std::string_view trim_view(std::string_view text);

/// Strips leading and trailing C-locale white space in place; null does nothing.
void trim_whitespace(char* text);

/// Splits one read unit into key, value and disabled flag. Returns 1 when the line yields a
/// key and a value, 0 otherwise. Only the text before the first NUL byte is looked at.
int parse_config_line(const char* line, ConfigKey& key, ConfigValue& value, int& disabled);

/// A numeric value: an optional sign, then decimal digits up to the first other character.
/// A value that does not start with digits gives 0; a number beyond the 32-bit range gives
/// INT32_MIN or INT32_MAX.
std::int32_t parse_config_number(std::string_view value);

/// The position of a configuration line's separator: the first ':', or the first '=' when the
/// text holds no ':'. npos when there is neither.
std::size_t find_config_separator(std::string_view text);

/// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates, nothing beyond
/// U+10FFFF). ASCII is.
bool is_utf8_text(std::string_view text);

/// `text` with every byte that does not belong to a well-formed UTF-8 sequence replaced by
/// U+FFFD, so that a text saved in a legacy code page still reaches a UTF-8 receiver, visibly
/// marked, instead of being refused whole.
std::string to_utf8_text(std::string_view text);

/// Reads a file in the units every configuration reader works on: a unit ends after a line
/// feed or after kReadUnitSize - 1 bytes, whichever comes first, so a longer physical line
/// arrives as several units. Each unit's true length is reported, so a NUL byte inside a line
/// neither ends the file early nor loses bytes for a reader that copies units.
class ReadUnitReader {
  public:
    explicit ReadUnitReader(std::FILE* file) : file_(file) {}

    /// Fills `unit` with the next unit, NUL-terminated, and `size` with its length in bytes
    /// (NUL bytes inside included). False at the end of the file or after a read error.
    bool next(char (&unit)[kReadUnitSize], std::size_t& size);

    /// True when reading stopped because of a read error rather than the end of the file.
    bool failed() const { return failed_; }

  private:
    std::FILE* file_;
    bool failed_ = false;
};

/// Opens a configuration file (`path` not null) for reading and closes it when it goes out of
/// scope. Files are read as bytes: a CR before the line feed is white space to every reader, and
/// units are copied exactly as they stand on disk.
class ConfigFile {
  public:
    explicit ConfigFile(const char* path) : file_(std::fopen(path, "rb")) {}
    ~ConfigFile() { close(); }
    ConfigFile(const ConfigFile&) = delete;
    ConfigFile& operator=(const ConfigFile&) = delete;

    bool is_open() const { return file_ != nullptr; }
    std::FILE* get() const { return file_; }

    /// Closes the file early, before it is replaced.
    void close() {
        if (file_ != nullptr)
            std::fclose(file_);
        file_ = nullptr;
    }

  private:
    std::FILE* file_;
};

}  // namespace hv
