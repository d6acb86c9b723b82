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

/// How a configuration file is encoded, as its first bytes tell. Windows editors save UTF-8
/// with a byte order mark, and "Unicode" means UTF-16 to them.
enum class TextEncoding {
    utf8,      ///< no byte order mark: UTF-8, ASCII or a legacy code page
    utf8_bom,  ///< UTF-8 behind the byte order mark EF BB BF
    utf16_le,  ///< starts with FF FE: the readers cannot use it
    utf16_be,  ///< starts with FE FF: the readers cannot use it
};

/// The UTF-8 byte order mark.
inline constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

/// True for the encodings no configuration reader understands.
inline bool is_utf16(TextEncoding encoding) {
    return encoding == TextEncoding::utf16_le || encoding == TextEncoding::utf16_be;
}

/// Prints "<path> is UTF-16 text; save it as UTF-8": the one message for a configuration file
/// no reader understands.
void print_utf16_refusal(const char* path);

/// Reads a file in the units every configuration reader works on: a unit ends after a line
/// feed or after kReadUnitSize - 1 bytes, whichever comes first, so a longer physical line
/// arrives as several units. Each unit's true length is reported, so a NUL byte inside a line
/// neither ends the file early nor loses bytes for a reader that copies units. A UTF-8 byte
/// order mark at the start of the file is not part of any unit.
class ReadUnitReader {
  public:
    explicit ReadUnitReader(std::FILE* file) : file_(file) {}

    /// The encoding the file's first bytes show. Looks at them before the first unit is read;
    /// a UTF-16 file's bytes are still handed out as they stand.
    TextEncoding encoding();

    /// Fills `unit` with the next unit, NUL-terminated, and `size` with its length in bytes
    /// (NUL bytes inside included). False at the end of the file or after a read error.
    bool next(char (&unit)[kReadUnitSize], std::size_t& size);

    /// True when reading stopped because of a read error rather than the end of the file.
    bool failed() const { return failed_; }

  private:
    /// The next byte: first those read ahead to find the encoding, then the file's. EOF at the
    /// end or on a read error.
    int read_byte();

    std::FILE* file_;
    bool failed_ = false;
    bool examined_ = false;
    TextEncoding encoding_ = TextEncoding::utf8;
    unsigned char ahead_[3] = {};  ///< bytes read to find the encoding and not yet handed out
    std::size_t ahead_begin_ = 0;
    std::size_t ahead_end_ = 0;
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
