// Shift_JIS byte rules. The site's texts are never converted (only the
// operator's tool converts, for the terminal); these helpers keep searches
// from matching inside a double-byte character: the second byte of
// such a character may be any of 0x40-0x7E and 0x80-0xFC, which covers "\",
// "|", "[", "]" and the ASCII letters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// A byte pattern found in time linear in the text and the pattern whatever
// either holds (Knuth-Morris-Pratt): a naive search compares the whole
// pattern at every byte of a text of dashes, and Boyer-Moore's table is
// built in quadratic time for such a pattern. The pattern is viewed, not
// copied; it must outlive the object.
class BytePattern {
 public:
  explicit BytePattern(std::string_view pattern);
  // First occurrence at or after `from` whose position `accept` takes;
  // npos if none, or if the pattern is empty.
  template <typename Accept>
  std::size_t Find(std::string_view text, std::size_t from, Accept&& accept) const {
    if (pattern_.empty()) return std::string_view::npos;
    std::size_t k = 0;  // bytes of the pattern matched so far
    for (std::size_t i = from; i < text.size(); ++i) {
      if (k == 0) {
        // Nothing matched: memchr leaps to the next possible start, so the
        // search runs at memchr's speed through data (a posted image) that
        // rarely holds the pattern's first byte; still one look per byte.
        const void* next = std::memchr(text.data() + i, pattern_[0], text.size() - i);
        if (next == nullptr) break;
        i = static_cast<std::size_t>(static_cast<const char*>(next) - text.data());
      }
      while (k > 0 && text[i] != pattern_[k]) k = border_[k - 1];
      if (text[i] == pattern_[k]) ++k;
      if (k == pattern_.size()) {
        if (accept(i + 1 - k)) return i + 1 - k;
        k = border_[k - 1];
      }
    }
    return std::string_view::npos;
  }
  std::size_t Find(std::string_view text, std::size_t from = 0) const {
    return Find(text, from, [](std::size_t) { return true; });
  }

 private:
  std::string_view pattern_;
  std::vector<std::uint32_t> border_;  // four bytes a pattern byte, not eight
};

// First occurrence of needle in hay at or after `from` that starts on a
// character boundary; `from` must itself be a boundary. npos if none or if
// the needle is empty.
std::size_t FindSjis(std::string_view hay, std::string_view needle, std::size_t from = 0);

// Position of the last byte of hay that equals one of `delims` and is not the
// second byte of a double-byte character; npos if none.
std::size_t FindLastDelimiterSjis(std::string_view hay, std::string_view delims) noexcept;

// Upper-cases ASCII a-z and leaves every second byte of a double-byte
// character alone, so the length in bytes never changes.
std::string AsciiUpperSjis(std::string_view text);

// The full-width Latin letters and digits (Ａ-Ｚ, ａ-ｚ, ０-９) as their ASCII
// look-alikes; every other character as it stands.
std::string AsciiFromFullWidthSjis(std::string_view text);

// Equality ignoring the case of ASCII letters outside double-byte characters.
bool SameTextSjis(std::string_view a, std::string_view b) noexcept;

// Whether every byte belongs to a CP932 character: ASCII, a half-width
// katakana byte (0xA1-0xDF), or a lead byte with a trail byte after it.
bool IsValidSjis(std::string_view text) noexcept;

// The CP932 spelling of a UTF-8 text; nothing when the text is no valid
// UTF-8 or holds a character CP932 lacks. Linear in the text: one table
// look-up (binary search over a fixed table) per character.
std::optional<std::string> Cp932FromUtf8(std::string_view utf8);

// The character of a CP932 text at some position: its Unicode code point,
// or none when the byte there starts no character CP932 decodes (a lone
// lead byte, 0x80, 0xA0, 0xFD-0xFF, an unassigned pair); `length` bytes
// long (1 when none). ASCII decodes as itself, controls included.
struct Cp932Char {
  std::optional<char32_t> code_point;
  std::size_t length = 1;
};
// The same table as Cp932FromUtf8, looked up by bytes: one binary search per
// character.
Cp932Char DecodeCp932(std::string_view text, std::size_t pos);

void AppendUtf8(std::string& out, char32_t code_point);

// The UTF-8 spelling of a CP932 text; nothing when a byte decodes to none.
std::optional<std::string> Utf8FromCp932(std::string_view cp932);

}  // namespace platform
