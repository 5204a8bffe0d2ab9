#include "platform/Sjis.h"

namespace platform {
namespace {

constexpr char UpperAscii(char c) noexcept { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

}  // namespace

BytePattern::BytePattern(std::string_view pattern) : pattern_(pattern), border_(pattern.size(), 0) {
  // border_[i]: the longest proper prefix of pattern[0..i] that is also its
  // suffix. Patterns of 4 GiB or more are beyond any request this serves.
  std::uint32_t k = 0;
  for (std::size_t i = 1; i < pattern_.size(); ++i) {
    while (k > 0 && pattern_[i] != pattern_[k]) k = border_[k - 1];
    if (pattern_[i] == pattern_[k]) ++k;
    border_[i] = k;
  }
}

std::size_t FindSjis(std::string_view hay, std::string_view needle, std::size_t from) {
  if (needle.empty() || needle.size() > hay.size()) return std::string_view::npos;
  if (needle.size() == 1) {
    for (std::size_t pos = from; pos < hay.size(); pos += CharLength(hay, pos)) {
      if (hay[pos] == needle[0]) return pos;
    }
    return std::string_view::npos;
  }
  // Matches come in rising order, so one cursor walking the character
  // boundaries answers for all of them in a single pass.
  std::size_t boundary = from;
  return BytePattern(needle).Find(hay, from, [&](std::size_t start) {
    while (boundary < start) boundary += CharLength(hay, boundary);
    return boundary == start;
  });
}

std::size_t FindLastDelimiterSjis(std::string_view hay, std::string_view delims) noexcept {
  std::size_t found = std::string_view::npos;
  for (std::size_t pos = 0; pos < hay.size(); pos += CharLength(hay, pos)) {
    if (delims.find(hay[pos]) != std::string_view::npos) found = pos;
  }
  return found;
}

std::string AsciiUpperSjis(std::string_view text) {
  std::string out(text);
  for (std::size_t pos = 0; pos < out.size();) {
    const std::size_t len = CharLength(out, pos);
    if (len == 1) out[pos] = UpperAscii(out[pos]);
    pos += len;
  }
  return out;
}

bool SameTextSjis(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t pos = 0; pos < a.size();) {
    const std::size_t len = CharLength(a, pos);
    if (len == 2) {
      if (a[pos] != b[pos] || a[pos + 1] != b[pos + 1]) return false;
    } else if (UpperAscii(a[pos]) != UpperAscii(b[pos])) {
      return false;
    }
    pos += len;
  }
  return true;
}

}  // namespace platform
