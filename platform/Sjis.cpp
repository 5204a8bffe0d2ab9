#include "platform/Sjis.h"

#include <algorithm>

#include "Cp932Table.h"

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

std::string AsciiFromFullWidthSjis(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t len = CharLength(text, pos);
    const unsigned lead = static_cast<unsigned char>(text[pos]);
    const unsigned trail = len == 2 ? static_cast<unsigned char>(text[pos + 1]) : 0;
    if (lead == 0x82 && trail >= 0x4F && trail <= 0x58) {
      out += static_cast<char>('0' + (trail - 0x4F));
    } else if (lead == 0x82 && trail >= 0x60 && trail <= 0x79) {
      out += static_cast<char>('A' + (trail - 0x60));
    } else if (lead == 0x82 && trail >= 0x81 && trail <= 0x9A) {
      out += static_cast<char>('a' + (trail - 0x81));
    } else {
      out.append(text.substr(pos, len));
    }
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

bool IsValidSjis(std::string_view text) noexcept {
  for (std::size_t pos = 0; pos < text.size(); ++pos) {
    const auto c = static_cast<unsigned char>(text[pos]);
    if (c < 0x80 || (c >= 0xA1 && c <= 0xDF)) continue;
    if (!IsLeadByte(c) || pos + 1 >= text.size()) return false;
    const auto t = static_cast<unsigned char>(text[++pos]);
    if (t < 0x40 || t == 0x7F || t > 0xFC) return false;
  }
  return true;
}

std::optional<std::string> Cp932FromUtf8(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t pos = 0; pos < utf8.size();) {
    const auto b0 = static_cast<unsigned char>(utf8[pos]);
    if (b0 < 0x80) {
      out += static_cast<char>(b0);
      ++pos;
      continue;
    }
    // Shortest forms only, no surrogates: the rules of RFC 3629.
    const std::size_t n = b0 >= 0xC2 && b0 <= 0xDF ? 2 : b0 >= 0xE0 && b0 <= 0xEF ? 3 : b0 >= 0xF0 && b0 <= 0xF4 ? 4 : 0;
    if (n == 0 || pos + n > utf8.size()) return std::nullopt;
    std::uint32_t cp = b0 & (0x7Fu >> n);
    for (std::size_t i = 1; i < n; ++i) {
      const auto b = static_cast<unsigned char>(utf8[pos + i]);
      if ((b & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (b & 0x3Fu);
    }
    const std::uint32_t least = n == 2 ? 0x80 : n == 3 ? 0x800 : 0x10000;
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    const auto* end = std::end(cp932::kTable);
    const auto* found = std::lower_bound(std::begin(cp932::kTable), end, cp,
                                         [](const cp932::Mapping& m, std::uint32_t c) { return m.code_point < c; });
    if (found == end || found->code_point != cp) return std::nullopt;
    if (found->bytes > 0xFF) out += static_cast<char>(found->bytes >> 8);
    out += static_cast<char>(found->bytes & 0xFF);
    pos += n;
  }
  return out;
}

Cp932Char DecodeCp932(std::string_view text, std::size_t pos) {
  const auto b0 = static_cast<unsigned char>(text[pos]);
  if (b0 < 0x80) return {b0, 1};
  const std::size_t length = CharLength(text, pos);
  const std::uint16_t bytes =
      length == 2 ? static_cast<std::uint16_t>(b0 << 8 | static_cast<unsigned char>(text[pos + 1])) : b0;
  const auto* end = std::end(cp932::kByBytes);
  const auto* found = std::lower_bound(std::begin(cp932::kByBytes), end, bytes,
                                       [](const cp932::Decoding& d, std::uint16_t b) { return d.bytes < b; });
  if (found == end || found->bytes != bytes) return {};
  return {static_cast<char32_t>(cp932::kTable[found->entry].code_point), length};
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | cp >> 18);
    out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::optional<std::string> Utf8FromCp932(std::string_view cp932) {
  std::string out;
  out.reserve(cp932.size() * 3 / 2);
  for (std::size_t pos = 0; pos < cp932.size();) {
    const Cp932Char c = DecodeCp932(cp932, pos);
    if (!c.code_point) return std::nullopt;
    AppendUtf8(out, *c.code_point);
    pos += c.length;
  }
  return out;
}

}  // namespace platform
