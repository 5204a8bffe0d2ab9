// HtmlEscape and EscapePostedValue on any bytes. Every escaped text is free
// of markup, quotes, blanks and raw line ends, reads back as the input
// (modulo the kind of line end), and, where no stray lead byte or lone line
// end is involved, equals the six replace-all passes the escaping stands for.
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "platform/Sjis.h"
#include "text/Fields.h"

namespace {

// The reference applies where the one-pass escaper and the character-wise
// replace-all passes must agree: no lead byte stands before an ASCII byte
// below 0x40 (no real second byte is one), and every CR is part of a CR LF.
bool ReferenceApplies(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (platform::IsLeadByte(c) && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0x40) return false;
    if (c == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) return false;
    if (c == '\n' && (i == 0 || text[i - 1] != '\r')) return false;
  }
  return true;
}

std::string SixPasses(std::string_view text) {
  std::string out = text::ReplaceAllNoCase(text, "&", "&amp;");
  out = text::ReplaceAllNoCase(out, " ", "&nbsp;");
  out = text::ReplaceAllNoCase(out, "<", "&lt;");
  out = text::ReplaceAllNoCase(out, ">", "&gt;");
  out = text::ReplaceAllNoCase(out, "\"", "&quot;");
  return text::ReplaceAllNoCase(out, "\r\n", "<br>");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = fuzz::AsView(data, size);

  const std::string html = text::HtmlEscape(input);
  std::string plain;
  fuzz::Check(fuzz::Unescape(html, plain), "HtmlEscape: every &, < and > belongs to an escape", html);
  fuzz::Check(plain == fuzz::NormalizeLineEnds(input), "HtmlEscape reads back as its input", html);
  for (char c : html) {
    fuzz::Check(c != '"' && c != ' ', "HtmlEscape leaves no quote or blank", html);
  }
  fuzz::Check(html.find("\r\n") == std::string::npos, "HtmlEscape leaves no CR LF", html);

  const std::string posted = text::EscapePostedValue(input);
  fuzz::CheckEscaped(posted, "EscapePostedValue: no markup, quote, blank, CR or LF");
  const std::string blanked = text::ReplaceAllNoCase(input, "&#160;", " ");
  if (ReferenceApplies(input)) {
    fuzz::Check(html == SixPasses(input), "HtmlEscape equals the six replace-all passes", input);
    // Kept references are the one place where a posted "&" stays raw.
    bool keeps_reference = false;
    for (std::size_t at = blanked.find("&#"); at != std::string::npos; at = blanked.find("&#", at + 1)) {
      keeps_reference = keeps_reference || fuzz::KeptReference(std::string_view(blanked).substr(at)) > 0;
    }
    if (!keeps_reference) {
      fuzz::Check(posted == SixPasses(blanked), "EscapePostedValue equals &#160; -> blank, then the six passes", input);
    }
  }
  if (input.find_first_of("&\r\n") == std::string_view::npos) {
    fuzz::Check(posted == html, "without & and line ends, EscapePostedValue is HtmlEscape", input);
  }
  return 0;
}
