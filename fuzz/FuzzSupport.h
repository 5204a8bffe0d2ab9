// Shared pieces of the fuzz targets: a failed invariant ends the run with the
// input kept as a crash artifact; inputs with several parts are cut at a
// readable marker, so seed files stay plain text; and the properties every
// HTML-escaped text must have.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// libFuzzer treats the abort as a crash and saves the input that caused it.
[[noreturn]] inline void Fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "INVARIANT BROKEN: %s\n", what);
  if (!detail.empty()) {
    std::fprintf(stderr, "  near: ");
    for (std::size_t i = 0; i < detail.size() && i < 200; ++i) {
      const auto c = static_cast<unsigned char>(detail[i]);
      if (c >= 0x20 && c < 0x7F && c != '\\') std::fputc(c, stderr);
      else std::fprintf(stderr, "\\x%02X", c);
    }
    std::fputc('\n', stderr);
  }
  std::abort();
}

inline void Check(bool ok, const char* what, std::string_view detail = {}) {
  if (!ok) Fail(what, detail);
}

inline std::string_view AsView(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// The parts of an input separated by "\n%%\n"; at most `max_parts`, the last
// one keeping the rest (markers included).
inline std::vector<std::string_view> SplitParts(std::string_view input, std::size_t max_parts) {
  constexpr std::string_view kMarker = "\n%%\n";
  std::vector<std::string_view> parts;
  while (parts.size() + 1 < max_parts) {
    const std::size_t at = input.find(kMarker);
    if (at == std::string_view::npos) break;
    parts.push_back(input.substr(0, at));
    input.remove_prefix(at + kMarker.size());
  }
  parts.push_back(input);
  return parts;
}

// Line ends of any kind (CR LF, lone CR, lone LF) as one "\n": the escapers
// may write "<br>" for each kind, so comparisons are made modulo the kind.
inline std::string NormalizeLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Length of a decimal reference to a printable character beyond ASCII at
// the start of text ("&#128512;"), which posted values keep as they came;
// 0 when there is none.
inline std::size_t KeptReference(std::string_view text) {
  if (!text.starts_with("&#")) return 0;
  std::size_t end = 2;
  unsigned long code = 0;
  while (end < text.size() && end < 9 && text[end] >= '0' && text[end] <= '9') {
    code = code * 10 + static_cast<unsigned long>(text[end++] - '0');
  }
  if (end == 2 || end >= text.size() || text[end] != ';') return 0;
  return code >= 0xA0 && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF) ? end + 1 : 0;
}

// The inverse of the HTML escaping, for texts in which every "&" opens one
// of the five entities or a kept reference (which reads as itself), every
// "<" opens "<br>" and every ">" closes one; "<br>" and any raw CR or LF
// left come back as "\n" each. Returns false when the text is not such a
// text.
inline bool Unescape(std::string_view text, std::string& out) {
  struct Entity {
    std::string_view escaped;
    char plain;
  };
  static constexpr Entity kEntities[] = {
      {"&amp;", '&'}, {"&nbsp;", ' '}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"<br>", '\n'},
  };
  out.clear();
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '\r' || text[i] == '\n') {
      out += '\n';
      ++i;
      continue;
    }
    if (text[i] == '>') return false;
    if (text[i] != '&' && text[i] != '<') {
      out += text[i++];
      continue;
    }
    bool matched = false;
    for (const Entity& e : kEntities) {
      if (text.substr(i).starts_with(e.escaped)) {
        out += e.plain;
        i += e.escaped.size();
        matched = true;
        break;
      }
    }
    if (!matched && text[i] == '&') {
      if (const std::size_t kept = KeptReference(text.substr(i)); kept > 0) {
        out.append(text.substr(i, kept));
        i += kept;
        matched = true;
      }
    }
    if (!matched) return false;
  }
  return true;
}

// What an escaped value may never hold: markup, quotes, blanks and raw line
// ends all reach a page or split a stored record.
inline void CheckEscaped(std::string_view escaped, const char* what) {
  for (char c : escaped) {
    if (c == '"' || c == ' ' || c == '\r' || c == '\n') Fail(what, escaped);
  }
  std::string plain;
  if (!Unescape(escaped, plain)) Fail(what, escaped);
}

}  // namespace fuzz
