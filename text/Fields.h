// URL-encoded fields and small text routines used to read input and prepare
// text for HTML. None keeps state, none reports an error; every routine is a
// single pass over its input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "text/NameValueList.h"

namespace text {

// The request's text fields and its attached file, as the parsers leave them.
// PostedFileData views the request body, which outlives the parse.
struct PostedForm {
  std::string PostedFields;        // name=value lines, each ended by CR LF
  std::string PostedFileName;      // base name of the attached JPEG
  std::string_view PostedFileData; // bytes of the attached JPEG
  bool OtherFileSent = false;      // a file part with bytes that was no JPEG
};

// "%XX" and "+" decoding; malformed escapes give 0x00 (see the .cpp).
std::string UrlDecode(std::string_view text);
// Splits at "&" and decodes each item; the list is emptied first.
void SplitQuery(std::string_view text, NameValueList& list);
// As SplitQuery, each decoded item also escaped with EscapePostedValue.
void SplitQueryEscaped(std::string_view text, NameValueList& list);
// "&"->"&amp;", " "->"&nbsp;", "<"->"&lt;", ">"->"&gt;", '"'->"&quot;",
// CR LF->"<br>", in that order; also right after a stray lead byte.
std::string HtmlEscape(std::string_view text);
// HtmlEscape of a posted value or name, after the "&#160;" that browsers
// post for a shown "&nbsp;" has been read back as the blank it was; a lone
// CR or LF becomes "<br>" as CR LF does, so no posted byte can start a line;
// a decimal reference to a printable character beyond ASCII ("&#128512;",
// what a Shift_JIS form posts for an emoji) is kept as it came.
std::string EscapePostedValue(std::string_view text);
// Appends EscapePostedValue(text) to out, growing it at most once.
void AppendPostedValue(std::string& out, std::string_view text);
// The most bytes a body of that size can give as a posted field list.
std::size_t PostedFieldsBound(std::size_t body_size) noexcept;
// The decoded value of the first field of that name; empty if none.
std::string QueryValue(std::string_view text, std::string_view name);
// The value of the first cookie of that name in a Cookie header
// ("a=1; b=2"), as sent, blanks around each pair left out; nothing when
// there is none.
std::optional<std::string_view> CookieValue(std::string_view header, std::string_view name);
// Replaces form.PostedFields by the escaped fields of a URL-encoded body.
void ParseUrlEncodedBody(PostedForm& form, std::string_view body);
// Every non-overlapping occurrence of `old_pattern`, compared ignoring ASCII
// case and never starting on a second byte of a double-byte character, is
// replaced by `new_text`.
std::string ReplaceAllNoCase(std::string_view text, std::string_view old_pattern, std::string_view new_text);
// The template with its "#" characters replaced, left to right, by the
// decimal digits of the number, zero-padded or cut to their count.
std::string FormatByTemplate(std::int32_t number, std::string_view templ);

}  // namespace text
