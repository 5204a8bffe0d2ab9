#include "frontend/Mask.h"

#include "FrontendTexts.h"
#include "frontend/TextFormat.h"
#include "platform/Sjis.h"

namespace frontend {
namespace {

// One character of an upper-cased text as a number: a single byte as it is,
// a double-byte character as lead * 256 + trail, so ranges compare in code
// order and a trail byte is never a character of its own.
std::uint16_t CharAt(std::string_view text, std::size_t pos, std::size_t& length) {
  length = platform::CharLength(text, pos);
  const auto lead = static_cast<unsigned char>(text[pos]);
  if (length == 1) return lead;
  return static_cast<std::uint16_t>(lead << 8 | static_cast<unsigned char>(text[pos + 1]));
}

}  // namespace

TMask::TMask(std::string_view mask) {
  const std::string upper = platform::AsciiUpperSjis(mask);
  const std::string_view m = upper;
  auto fail = [&](std::size_t pos) {
    throw EMaskException(FormatText(texts::InvalidMask, {mask, std::to_string(pos + 1)}));
  };
  std::size_t pos = 0;
  while (pos < m.size()) {
    const char c = m[pos];
    if (c == '*') {
      if (elements_.empty() || elements_.back().kind != Kind::AnyRun) elements_.push_back({Kind::AnyRun, false, 0, 0, 0});
      ++pos;
    } else if (c == '?') {
      elements_.push_back({Kind::AnyChar, false, 0, 0, 0});
      ++pos;
    } else if (c == '[') {
      const std::size_t open = pos++;
      Element set{Kind::Set, false, 0, ranges_.size(), 0};
      if (pos < m.size() && m[pos] == '!') {
        set.negate = true;
        ++pos;
      }
      bool closed = false;
      while (pos < m.size()) {
        if (m[pos] == ']') {
          closed = true;
          ++pos;
          break;
        }
        std::size_t len = 0;
        const std::uint16_t low = CharAt(m, pos, len);
        pos += len;
        std::uint16_t high = low;
        if (pos < m.size() && m[pos] == '-') {
          ++pos;
          if (pos >= m.size() || m[pos] == ']') fail(pos);
          high = CharAt(m, pos, len);
          pos += len;
        }
        ranges_.push_back({low, high});  // a reversed range simply holds nothing
      }
      if (!closed) fail(open);
      set.count = ranges_.size() - set.first;
      if (set.count == 0) fail(open);
      elements_.push_back(set);
    } else {
      std::size_t len = 0;
      const std::uint16_t ch = CharAt(m, pos, len);
      elements_.push_back({Kind::Literal, false, ch, 0, 0});
      pos += len;
    }
  }
}

bool TMask::ElementMatches(const Element& e, std::uint16_t ch) const {
  switch (e.kind) {
    case Kind::Literal: return e.ch == ch;
    case Kind::AnyChar: return true;
    case Kind::AnyRun: return false;
    case Kind::Set: {
      bool in = false;
      for (std::size_t i = e.first; i < e.first + e.count && !in; ++i) in = ranges_[i].low <= ch && ch <= ranges_[i].high;
      return in != e.negate;
    }
  }
  return false;
}

bool TMask::Matches(std::string_view text) const {
  const std::string upper = platform::AsciiUpperSjis(text);
  std::vector<std::uint16_t> chars;
  chars.reserve(upper.size());
  for (std::size_t pos = 0; pos < upper.size();) {
    std::size_t len = 0;
    chars.push_back(CharAt(upper, pos, len));
    pos += len;
  }
  // Every element but "*" takes exactly one character, so backing up to the
  // last "*" only is enough: the classic linear-space wildcard walk.
  const std::size_t n = chars.size(), m = elements_.size();
  std::size_t p = 0, t = 0, star = m, mark = 0;
  while (t < n) {
    if (p < m && elements_[p].kind == Kind::AnyRun) {
      star = p++;
      mark = t;
    } else if (p < m && ElementMatches(elements_[p], chars[t])) {
      ++p;
      ++t;
    } else if (star < m) {
      p = star + 1;
      t = ++mark;
    } else {
      return false;
    }
  }
  while (p < m && elements_[p].kind == Kind::AnyRun) ++p;
  return p == m;
}

}  // namespace frontend
