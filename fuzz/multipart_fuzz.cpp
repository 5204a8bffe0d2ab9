// The multipart parser on any body. Whatever the body holds, the posted
// fields are name=value lines, each from one accepted part of this body,
// escaped (no markup, quote, blank or raw line end in a name or a value), and
// the attached file is a view into the body.
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "platform/Sjis.h"
#include "text/Multipart.h"

namespace {

std::size_t CountNonOverlapping(std::string_view hay, std::string_view needle) {
  std::size_t count = 0;
  for (std::size_t at = hay.find(needle); at != std::string_view::npos; at = hay.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

// Whether `text` occurs in `hay`, a blank of the text also matching the
// "&#160;" that the parser reads as one.
bool StandsIn(std::string_view hay, std::string_view text) {
  for (std::size_t start = 0; start <= hay.size(); ++start) {
    std::size_t j = start;
    std::size_t i = 0;
    for (; i < text.size() && j < hay.size(); ++i) {
      if (text[i] == ' ' && hay.substr(j).starts_with("&#160;")) {
        j += 6;
      } else if (text[i] == hay[j]) {
        ++j;
      } else {
        break;
      }
    }
    if (i == text.size()) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body = fuzz::AsView(data, size);
  text::PostedForm form;
  text::ParseMultipartBody(form, body);

  if (!form.PostedFileData.empty()) {
    const bool inside = form.PostedFileData.data() >= body.data() &&
                        form.PostedFileData.data() + form.PostedFileData.size() <= body.data() + body.size();
    fuzz::Check(inside, "PostedFileData views the body");
    fuzz::Check(!form.PostedFileName.empty(), "an attached file has a name");
    fuzz::Check(platform::FindLastDelimiterSjis(form.PostedFileName, "\\:") == std::string::npos,
                "the file name is a base name", form.PostedFileName);
  }
  if (form.PostedFields.empty()) return 0;
  fuzz::Check(body.find("\r\n") != std::string_view::npos, "fields come only from a body with a first line");
  fuzz::Check(form.PostedFields.ends_with("\r\n"), "every field line ends with CR LF", form.PostedFields);

  // Every accepted part holds its own header end, and parts never overlap.
  const std::size_t most_parts = CountNonOverlapping(body, "\r\n\r\n");
  // Names and values read back must stand in the body (line ends as "\n",
  // a blank possibly posted as "&#160;"); checked by a plain search, so for
  // the first lines of small bodies only.
  const std::string normalized = fuzz::NormalizeLineEnds(body);
  std::size_t lines = 0;
  std::string_view rest = form.PostedFields;
  while (!rest.empty()) {
    const std::size_t end = rest.find("\r\n");
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end + 2);
    ++lines;
    fuzz::Check(lines <= most_parts, "no more field lines than parts", form.PostedFields);
    const std::size_t eq = line.find('=');
    fuzz::Check(eq != std::string_view::npos, "every field line is name=value", line);
    fuzz::CheckEscaped(line.substr(0, eq), "multipart field name escaped");
    fuzz::CheckEscaped(line.substr(eq + 1), "multipart field value escaped");
    if (lines > 16 || normalized.size() * line.size() > (1u << 22)) continue;
    // A "=" may stand in the part's name as well as in its value, so only
    // the text before the first and after the last one are surely a piece
    // of a name and of a value.
    std::string name, value;
    fuzz::Unescape(line.substr(0, eq), name);
    fuzz::Unescape(line.substr(line.rfind('=') + 1), value);
    fuzz::Check(StandsIn(normalized, "name=\"" + name), "a field name the body named", line);
    fuzz::Check(StandsIn(normalized, value), "a field value the body holds", line);
  }
  return 0;
}
