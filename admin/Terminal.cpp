// What the tool says, spelled for the operator's terminal, and what the
// operator typed, spelled as the site stores it.
#include <string>

#include "admin/Admin.h"
#include "platform/Sjis.h"

namespace admin {
namespace {

// The site's own escape: records already hold characters Shift_JIS lacks as
// character references, and a posted "&#27;" is stored as "&amp;#27;", so
// a reference the tool writes never looks like one a member posted.
void AppendReference(std::string& out, char32_t code_point) {
  out += "&#" + std::to_string(static_cast<unsigned long>(code_point)) + ";";
}

// Controls act on the terminal (an escape sequence, a carriage return; the
// C1 set on terminals that read 8-bit controls); line ends and the tabs
// between columns stay.
bool IsControl(char32_t c) { return (c < 0x20 && c != '\n' && c != '\t') || (c >= 0x7F && c <= 0x9F); }

}  // namespace

std::string ForTerminal(std::string_view sjis, platform::TerminalCharset charset) {
  std::string out;
  out.reserve(sjis.size());
  for (std::size_t pos = 0; pos < sjis.size();) {
    const platform::Cp932Char c = platform::DecodeCp932(sjis, pos);
    // Bytes that are no character are shown as the replacement character:
    // `--raw` gives them as stored.
    const char32_t cp = c.code_point.value_or(0xFFFD);
    if (!c.code_point || IsControl(cp) || (cp >= 0x80 && charset == platform::TerminalCharset::kAscii)) {
      AppendReference(out, cp);
    } else if (charset == platform::TerminalCharset::kUtf8) {
      platform::AppendUtf8(out, cp);
    } else {
      out.append(sjis.substr(pos, c.length));
    }
    pos += c.length;
  }
  return out;
}

std::optional<std::string> FromTerminal(const std::string& typed, platform::TerminalCharset charset) {
  if (charset == platform::TerminalCharset::kUtf8) return platform::Cp932FromUtf8(typed);
  return typed;
}

}  // namespace admin
