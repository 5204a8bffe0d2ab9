// ReplaceAllNoCase on any text, pattern and replacement, against a plain
// reference: walk the text character by character and replace wherever the
// ASCII-upper-cased pattern starts. Input: text "\n%%\n" pattern "\n%%\n"
// replacement.
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "platform/Sjis.h"
#include "text/Fields.h"

namespace {

// Quadratic in the worst case, so it runs on small inputs only.
std::string Reference(std::string_view text, std::string_view pattern, std::string_view replacement) {
  if (pattern.empty()) return std::string(text);
  const std::string upper_text = platform::AsciiUpperSjis(text);
  const std::string upper_pattern = platform::AsciiUpperSjis(pattern);
  std::string out;
  std::size_t pos = 0;
  std::size_t copied = 0;
  while (pos < text.size()) {
    if (std::string_view(upper_text).substr(pos).starts_with(upper_pattern)) {
      out.append(text.substr(copied, pos - copied)).append(replacement);
      copied = pos + pattern.size();
      while (pos < copied) pos += platform::CharLength(text, pos);
    } else {
      pos += platform::CharLength(text, pos);
    }
  }
  out.append(text.substr(copied));
  return out;
}

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto parts = fuzz::SplitParts(fuzz::AsView(data, size), 3);
  const std::string_view input = parts[0];
  const std::string_view pattern = parts.size() > 1 ? parts[1] : std::string_view("&");
  const std::string_view replacement = parts.size() > 2 ? parts[2] : std::string_view("&amp;");

  const std::string out = text::ReplaceAllNoCase(input, pattern, replacement);
  if (pattern.empty()) fuzz::Check(out == input, "an empty pattern replaces nothing", input);
  // Each replacement stands for one whole occurrence, so the size is bounded.
  const std::size_t most = pattern.empty() ? 0 : input.size() / pattern.size();
  fuzz::Check(out.size() <= input.size() + most * replacement.size(), "output size bounded by the occurrences", input);
  if (input.size() * (pattern.size() + 1) <= 1u << 20) {
    fuzz::Check(out == Reference(input, pattern, replacement), "ReplaceAllNoCase agrees with the reference", input);
  }
  // Writing the pattern back in for itself changes ASCII letter case at most.
  fuzz::Check(SameIgnoringAsciiCase(text::ReplaceAllNoCase(input, pattern, pattern), input),
              "pattern replaced by itself keeps the text", input);
  return 0;
}
