#include "text/Fields.h"

#include "platform/Sjis.h"

namespace text {
namespace {

// -1 for a byte that is not a hexadecimal digit.
int HexValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Blanks, for the emptiness test of the splitters, are every byte up to 0x20.
bool IsBlank(char c) noexcept { return static_cast<unsigned char>(c) <= 0x20; }

// Browsers post a shown "&nbsp;" back as U+00A0, which Shift_JIS cannot hold,
// so it arrives as this character reference.
constexpr std::string_view kPostedNbsp = "&#160;";

template <typename AddItem>
void SplitItems(std::string_view text, AddItem add) {
  // "The rest, trimmed, is not empty" only asks whether a non-blank byte is
  // left at or after the current position: one look from the end answers it
  // for every position, and keeps the split linear.
  std::size_t end_of_data = text.size();
  while (end_of_data > 0 && IsBlank(text[end_of_data - 1])) --end_of_data;
  std::size_t pos = 0;
  while (pos < end_of_data) {
    // Every item starts right after a single-byte "&", so pos is always on a
    // character boundary and a second byte is never taken for the delimiter.
    const std::size_t amp = platform::FindSjis(text, "&", pos);
    if (amp == std::string_view::npos) {
      add(text.substr(pos));
      return;
    }
    add(text.substr(pos, amp - pos));
    pos = amp + 1;
  }
}

// A malformed escape is not an error: it gives the byte 0x00, except that a
// single hexadecimal digit at the very end (or before a NUL) gives its own
// value. Either way the "%" and up to two bytes after it are consumed.
void UrlDecodeInto(std::string& out, std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '%') {
      const int high = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
      const bool low_missing = i + 2 >= text.size() || text[i + 2] == '\0';
      const int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
      int value = 0;
      if (high >= 0 && low >= 0) {
        value = high * 16 + low;
      } else if (high >= 0 && low_missing) {
        value = high;
      }
      out += static_cast<char>(value);
      i += 3;
    } else if (c == '+') {
      out += ' ';
      ++i;
    } else {
      out += c;
      ++i;
    }
  }
}

// The escaping of one text, handed piece by piece to `emit`, so that the
// exact size can be counted before a single byte is written.
//
// One pass that gives the same bytes as the six replace-all passes ("&",
// blank, "<", ">", double quote, CR LF, in that order): no replacement text
// holds a byte that a later pass looks for.
//
// Every byte is looked at, also one right after a lead byte. None of the
// six bytes can be the second byte of a real double-byte character (those
// are 0x40 and above), so well-formed Shift_JIS text escapes exactly as a
// character-wise scan would. After a stray lead byte, though, a browser's
// decoder drops the lead byte and reads "<" or a quote as itself: a posted
// "<script>" left unescaped would be stored markup on a public page.
//
// A posted text also has its lone CR and lone LF read as line breaks: the
// field list is split into lines at either, so one left raw would end a
// value early and start a line of the poster's choosing.
// A Shift_JIS page's form posts a character that Shift_JIS lacks (an emoji,
// hangul, most accented letters) as a decimal reference. Such a reference is
// kept, so pages show the character a member typed. Only code points that
// are printable characters outside ASCII qualify: no kept reference can
// spell markup, a quote or a URL scheme. The length of the reference at
// the start of `text`; 0 when none is kept there.
std::size_t KeptReferenceLength(std::string_view text) {
  constexpr std::size_t kMaxDigits = 7;  // 1114111
  if (!text.starts_with("&#")) return 0;
  std::size_t end = 2;
  std::uint32_t code = 0;
  while (end < text.size() && end - 2 < kMaxDigits && text[end] >= '0' && text[end] <= '9') {
    code = code * 10 + static_cast<std::uint32_t>(text[end] - '0');
    ++end;
  }
  if (end == 2 || end >= text.size() || text[end] != ';') return 0;
  const bool printable = code >= 0xA0 && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
  return printable ? end + 1 : 0;
}

template <typename Emit>
void Escape(std::string_view text, bool posted, Emit&& emit) {
  std::size_t plain = 0;  // start of the bytes not yet emitted
  auto replace = [&](std::size_t pos, std::size_t length, std::string_view with) {
    emit(text.substr(plain, pos - plain));
    emit(with);
    plain = pos + length;
  };
  for (std::size_t pos = 0; pos < text.size();) {
    switch (text[pos]) {
      case '&':
        if (posted && text.substr(pos, kPostedNbsp.size()) == kPostedNbsp) {
          // Without this a pre-filled "&nbsp;" would come back as
          // "&amp;#160;" and grow with every save of a profile.
          replace(pos, kPostedNbsp.size(), "&nbsp;");
          pos += kPostedNbsp.size();
          continue;
        }
        if (const std::size_t kept = posted ? KeptReferenceLength(text.substr(pos)) : 0; kept > 0) {
          pos += kept;  // stays as it came, unescaped
          continue;
        }
        replace(pos, 1, "&amp;");
        break;
      case ' ': replace(pos, 1, "&nbsp;"); break;
      case '<': replace(pos, 1, "&lt;"); break;
      case '>': replace(pos, 1, "&gt;"); break;
      case '"': replace(pos, 1, "&quot;"); break;
      case '\r':
        if (pos + 1 < text.size() && text[pos + 1] == '\n') {
          replace(pos, 2, "<br>");
          pos += 2;
          continue;
        }
        if (posted) replace(pos, 1, "<br>");
        break;
      case '\n':
        if (posted) replace(pos, 1, "<br>");
        break;
      default: break;
    }
    ++pos;
  }
  emit(text.substr(plain));
}

void AppendEscaped(std::string& out, std::string_view text, bool posted) {
  std::size_t size = 0;
  Escape(text, posted, [&size](std::string_view piece) { size += piece.size(); });
  // Sized once: a text of blanks grows six-fold, and doubling on the way
  // there would hold the old and the new buffer at once.
  if (out.capacity() - out.size() < size) out.reserve(out.size() + size);
  Escape(text, posted, [&out](std::string_view piece) { out.append(piece); });
}

}  // namespace

std::string UrlDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  UrlDecodeInto(out, text);
  return out;
}

void SplitQuery(std::string_view text, NameValueList& list) {
  list.Clear();
  SplitItems(text, [&list](std::string_view item) { list.Add(UrlDecode(item)); });
}

void SplitQueryEscaped(std::string_view text, NameValueList& list) {
  list.Clear();
  SplitItems(text, [&list](std::string_view item) { list.Add(EscapePostedValue(UrlDecode(item))); });
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  AppendEscaped(out, text, false);
  return out;
}

std::string EscapePostedValue(std::string_view text) {
  std::string out;
  AppendEscaped(out, text, true);
  return out;
}

void AppendPostedValue(std::string& out, std::string_view text) { AppendEscaped(out, text, true); }

std::size_t PostedFieldsBound(std::size_t body_size) noexcept { return 6 * body_size + 2; }

std::optional<std::string_view> CookieValue(std::string_view header, std::string_view name) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!header.empty()) {
    const std::size_t end = header.find(';');
    std::string_view pair = header.substr(0, end);
    header = end == std::string_view::npos ? std::string_view() : header.substr(end + 1);
    while (!pair.empty() && blank(pair.front())) pair.remove_prefix(1);
    while (!pair.empty() && blank(pair.back())) pair.remove_suffix(1);
    const std::size_t eq = pair.find('=');
    if (eq != std::string_view::npos && pair.substr(0, eq) == name) return pair.substr(eq + 1);
  }
  return std::nullopt;
}

std::string QueryValue(std::string_view text, std::string_view name) {
  // The first item of that name answers; the rest of the query is never
  // decoded, and no list of every item is built.
  std::string found;
  bool done = false;
  SplitItems(text, [&](std::string_view item) {
    if (done) return;
    std::string decoded = UrlDecode(item);
    const std::size_t eq = decoded.find('=');
    if (eq == std::string::npos || !platform::SameTextSjis(std::string_view(decoded).substr(0, eq), name)) return;
    found = decoded.substr(eq + 1);
    done = true;
  });
  return found;
}

void ParseUrlEncodedBody(PostedForm& form, std::string_view body) {
  std::string& fields = form.PostedFields;
  fields.clear();
  // Every byte of the body gives at most six (a "+" becomes "&nbsp;"), so
  // the list never moves while it grows; pages it never reaches are never
  // touched.
  fields.reserve(PostedFieldsBound(body.size()));
  std::string decoded;
  SplitItems(body, [&](std::string_view item) {
    decoded.clear();
    UrlDecodeInto(decoded, item);
    AppendPostedValue(fields, decoded);
    fields += "\r\n";
  });
}

std::string ReplaceAllNoCase(std::string_view text, std::string_view old_pattern, std::string_view new_text) {
  if (old_pattern.empty() || text.empty()) return std::string(text);
  // Upper-casing never touches a second byte or changes a length, so
  // positions in the copies are positions in the input.
  const std::string upper_text = platform::AsciiUpperSjis(text);
  const std::string upper_pattern = platform::AsciiUpperSjis(old_pattern);
  std::string out;
  out.reserve(text.size());
  std::size_t copied = 0;
  std::size_t pos = platform::FindSjis(upper_text, upper_pattern, 0);
  while (pos != std::string_view::npos) {
    out.append(text.substr(copied, pos - copied));
    out.append(new_text);
    copied = pos + old_pattern.size();
    // Resume on the first character boundary at or after the occurrence's end
    // (a pattern ending in a lead byte ends in the middle of a character).
    std::size_t next = pos;
    while (next < copied) next += platform::CharLength(upper_text, next);
    pos = platform::FindSjis(upper_text, upper_pattern, next);
  }
  out.append(text.substr(copied));
  return out;
}

std::string FormatByTemplate(std::int32_t number, std::string_view templ) {
  // A "#" is a character of its own only where a character starts: walking
  // by character counts a double-byte character once and keeps it whole.
  std::size_t slots = 0;
  for (std::size_t pos = 0; pos < templ.size(); pos += platform::CharLength(templ, pos)) {
    if (platform::CharLength(templ, pos) == 1 && templ[pos] == '#') ++slots;
  }
  std::string digits = std::to_string(number);
  if (slots < digits.size()) {
    digits.erase(0, digits.size() - slots);
  } else {
    digits.insert(0, slots - digits.size(), '0');
  }
  std::string out;
  out.reserve(templ.size());
  std::size_t next_digit = 0;
  for (std::size_t pos = 0; pos < templ.size();) {
    const std::size_t len = platform::CharLength(templ, pos);
    if (len == 1 && templ[pos] == '#') {
      out += digits[next_digit++];
    } else {
      out.append(templ.substr(pos, len));
    }
    pos += len;
  }
  return out;
}

}  // namespace text
