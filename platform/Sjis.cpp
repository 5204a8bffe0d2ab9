#include "platform/Sjis.h"

namespace platform {
namespace {

constexpr char UpperAscii(char c) noexcept { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

}  // namespace

std::size_t FindSjis(std::string_view hay, std::string_view needle, std::size_t from) noexcept {
  if (needle.empty() || needle.size() > hay.size()) return std::string_view::npos;
  const std::size_t last = hay.size() - needle.size();
  std::size_t pos = from;
  while (pos <= last) {
    if (hay[pos] == needle[0] && hay.compare(pos, needle.size(), needle) == 0) return pos;
    pos += CharLength(hay, pos);
  }
  return std::string_view::npos;
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
