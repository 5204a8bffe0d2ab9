#include "text/Multipart.h"

#include <cstdint>
#include <limits>

#include "platform/Sjis.h"

namespace text {
namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";
constexpr std::string_view kNameQuote = "name=\"";
constexpr std::string_view kFileNameQuote = "filename=\"";
constexpr std::string_view kContentType = "Content-Type:";
constexpr std::string_view kJpeg = "Content-Type: image/jpeg";
constexpr std::string_view kProgressiveJpeg = "Content-Type: image/pjpeg";

bool Contains(std::string_view hay, std::string_view needle) { return hay.find(needle) != std::string_view::npos; }

// The text after the first `opener` up to the next double quote; empty when
// no quote closes it. `found` tells whether the opener is there at all.
std::string_view QuotedAfter(std::string_view header, std::string_view opener, bool& found) {
  const std::size_t at = header.find(opener);
  found = at != std::string_view::npos;
  if (!found) return {};
  const std::size_t start = at + opener.size();
  const std::size_t close = header.find('"', start);
  if (close == std::string_view::npos) return {};
  return header.substr(start, close - start);
}

// Names and file names are escaped as values are: a part may be named
// anything, and a raw "<", quote or line break in a name would be stored
// markup, or a line of the poster's choosing, in the field list.
void AppendField(std::string& fields, std::string_view name, std::string_view value) {
  AppendPostedValue(fields, name);
  fields += '=';
  AppendPostedValue(fields, value);
  fields.append(kCrLf);
}

}  // namespace

void ParseMultipartBody(PostedForm& form, std::string_view body) {
  // Initial delimiter: the first line, whatever it holds.
  const std::size_t first_end = body.find(kCrLf);
  if (first_end == std::string_view::npos) return;
  const std::string_view delimiter = body.substr(0, first_end);
  if (delimiter.empty()) return;
  std::string_view rest = body.substr(first_end + kCrLf.size());

  // A delimiter longer than the rest cannot occur again: then no table is
  // built for it at all.
  if (delimiter.size() > rest.size() || delimiter.size() >= std::numeric_limits<std::uint32_t>::max()) return;
  const platform::BytePattern search(delimiter);
  // Every body byte gives at most six in the list, so it never moves while
  // it grows.
  form.PostedFields.reserve(form.PostedFields.size() + PostedFieldsBound(body.size()));
  while (true) {
    // Part: everything up to the next delimiter. A closing "--" after the
    // last delimiter has no delimiter after it, so it ends the loop.
    const std::size_t at = search.Find(rest);
    if (at == std::string_view::npos) return;
    std::string_view part = rest.substr(0, at);
    if (part.ends_with(kCrLf)) part.remove_suffix(kCrLf.size());
    ParseMultipartPart(form, part);

    // Next part: after the delimiter and the line end that follows it.
    rest.remove_prefix(at + delimiter.size());
    if (rest.starts_with(kCrLf)) rest.remove_prefix(kCrLf.size());
  }
}

void ParseMultipartPart(PostedForm& form, std::string_view part) {
  // Headers: one block up to the first empty line, never split into lines;
  // every test on it is a search anywhere in it.
  const std::size_t header_end = part.find(kHeaderEnd);
  if (header_end == std::string_view::npos) return;
  const std::string_view header = part.substr(0, header_end);
  const std::string_view data = part.substr(header_end + kHeaderEnd.size());

  // The first "name=\"" may well be the tail of "filename=\"".
  bool has_name = false;
  const std::string_view field_name = QuotedAfter(header, kNameQuote, has_name);
  if (!has_name) return;

  bool has_file_name = false;
  std::string_view file_name = QuotedAfter(header, kFileNameQuote, has_file_name);
  // Browsers that send the client's full path: keep the base name. A 0x5C
  // inside a double-byte character is part of the name; "/" is kept too.
  const std::size_t delimiter = platform::FindLastDelimiterSjis(file_name, "\\:");
  if (delimiter != std::string_view::npos) file_name.remove_prefix(delimiter + 1);

  // Body: a part without any content type is a text field.
  if (!Contains(header, kContentType)) {
    AppendField(form.PostedFields, field_name, data);
    return;
  }
  const bool jpeg = Contains(header, kProgressiveJpeg) || Contains(header, kJpeg);
  if (!jpeg && !file_name.empty() && !data.empty()) form.OtherFileSent = true;
  if (!jpeg || file_name.empty() || data.empty()) return;
  form.PostedFileName = std::string(file_name);
  form.PostedFileData = data;
  AppendField(form.PostedFields, field_name, file_name);
}

}  // namespace text
