// The scrambled form of the stored secrets: "encry" followed by two hexadecimal digits per
// byte, each byte combined with 0x6B except '~', which is stored as it is.
#pragma once

#include <cstddef>
#include <string_view>

#include "output/fixed_text.h"

namespace hv {

inline constexpr std::string_view kScramblePrefix = "encry";
inline constexpr std::size_t kMaxScrambledBytes = 255;  ///< bytes written per secret
inline constexpr std::size_t kMaxRevealedBytes = 256;   ///< bytes accepted when read
using ScrambledText = FixedText<5 + 2 * kMaxScrambledBytes + 1>;

/// The scrambled form of the first 255 bytes of `secret`, digits in upper case.
void scramble_secret(std::string_view secret, ScrambledText& out);

/// Like reveal_secret, and also gives the secret's whole length in bytes before any cut to
/// `out_size` (a revealed secret may hold NUL bytes, which a plain text cannot carry).
int reveal_secret_length(const char* text, char* out, std::size_t out_size, std::size_t& length);

}  // namespace hv
