// Shift_JIS byte rules. Texts are never converted; these helpers only keep
// searches from matching inside a double-byte character: the second byte of
// such a character may be any of 0x40-0x7E and 0x80-0xFC, which covers "\",
// "|", "[", "]" and the ASCII letters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

inline constexpr bool IsLeadByte(unsigned char c) noexcept {
  return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}
inline constexpr bool IsLeadByte(char c) noexcept { return IsLeadByte(static_cast<unsigned char>(c)); }

// Length of the character starting at text[pos]: 2 for a lead byte that has
// a byte after it, else 1.
inline std::size_t CharLength(std::string_view text, std::size_t pos) noexcept {
  return IsLeadByte(text[pos]) && pos + 1 < text.size() ? 2 : 1;
}

// First occurrence of needle in hay at or after `from` that starts on a
// character boundary; `from` must itself be a boundary. npos if none or if
// the needle is empty.
std::size_t FindSjis(std::string_view hay, std::string_view needle, std::size_t from = 0) noexcept;

// Position of the last byte of hay that equals one of `delims` and is not the
// second byte of a double-byte character; npos if none.
std::size_t FindLastDelimiterSjis(std::string_view hay, std::string_view delims) noexcept;

// Upper-cases ASCII a-z and leaves every second byte of a double-byte
// character alone, so the length in bytes never changes.
std::string AsciiUpperSjis(std::string_view text);

// Equality ignoring the case of ASCII letters outside double-byte characters.
bool SameTextSjis(std::string_view a, std::string_view b) noexcept;

}  // namespace platform
