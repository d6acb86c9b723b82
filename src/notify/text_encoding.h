// Encodings the channels apply to texts before they reach curl: URL query values, JSON
// strings, curl config values and e-mail header words.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace hv {

/// Room of the Telegram message text once encoded, in bytes with the terminator.
inline constexpr std::size_t kTelegramTextRoom = 4096;
/// Room of the Telegram chat identifier once encoded, in bytes with the terminator.
inline constexpr std::size_t kTelegramChatRoom = 512;
/// Room of the Teams card text once escaped, in bytes with the terminator.
inline constexpr std::size_t kTeamsTextRoom = 8192;

/// Percent-encodes every byte but ASCII letters, digits and "-._~" as "%XX" (upper-case hex;
/// a blank is "%20"). A byte is taken only while the output length plus 4 is below `room`;
/// the rest of the input is dropped, so an escape is never cut.
std::string percent_encode(std::string_view text, std::size_t room);

/// Escapes a text for a JSON string: backslash, double quote, line feed, carriage return and tab
/// as two-character escapes, other control characters as \u00XX; every other byte, UTF-8
/// included, is copied. A byte is taken only while the output length plus 8 is below
/// kTeamsTextRoom, so an escape is never cut. Null is empty.
std::string escape_json_text(const char* text);

/// `key = "value"` plus a line feed, in curl's config syntax: backslash and double quote are
/// escaped, and carriage return, line feed and tab are written as \r, \n and \t so that a value
/// can never end its line and start another option.
std::string curl_config_line(std::string_view key, std::string_view value);

/// Standard base64 with padding.
std::string base64_encode(std::string_view bytes);

/// A header value as it goes into a mail header: unchanged when it is all ASCII, otherwise as
/// RFC 2047 base64 encoded words in UTF-8 of at most 75 characters, never splitting a UTF-8
/// sequence, one per line, folded onto continuation lines, so that every line stays within 76
/// bytes: the first one after the `first_line_taken` bytes ("Subject: ") that stand before the
/// value. Carriage returns and line feeds become blanks, so a value never adds a header line.
std::string encode_header_text(std::string_view text, std::size_t first_line_taken = 0);

}  // namespace hv
