// The URL-encoded side: UrlDecode, SplitQuery, SplitQueryEscaped, QueryValue
// and ParseUrlEncodedBody on a query or body, looked up by a name; and the
// same text as a Cookie header.
// Input: text, optionally "\n%%\n" and the name to look up.
#include <optional>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "text/Fields.h"
#include "text/NameValueList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto parts = fuzz::SplitParts(fuzz::AsView(data, size), 2);
  const std::string_view query = parts[0];
  const std::string_view name = parts.size() > 1 ? parts[1] : std::string_view("session");
  const bool plain = query.find_first_of("%+") == std::string_view::npos;

  // A cookie's value is a piece of the header within one pair.
  if (const std::optional<std::string_view> cookie = text::CookieValue(query, name)) {
    fuzz::Check(cookie->data() >= query.data() && cookie->data() + cookie->size() <= query.data() + query.size(),
                "a cookie's value lies inside the header", query);
    fuzz::Check(cookie->find(';') == std::string_view::npos, "a cookie's value ends at its pair's end", query);
  }

  const std::string decoded = text::UrlDecode(query);
  fuzz::Check(decoded.size() <= query.size(), "UrlDecode never grows the text", query);
  if (plain) fuzz::Check(decoded == query, "UrlDecode keeps a text without % and +", query);

  text::NameValueList list;
  list.Add("left over from before");
  text::SplitQuery(query, list);
  std::size_t ampersands = 0;
  for (char c : query) ampersands += c == '&';
  fuzz::Check(list.Count() <= ampersands + 1, "SplitQuery gives at most one item per &", query);
  if (plain) {
    // Undecoded items joined again are the query, up to a tail of "&" and
    // blanks that holds no item.
    std::string joined;
    for (std::size_t i = 0; i < list.Count(); ++i) {
      if (i > 0) joined += '&';
      joined += list.Line(i);
    }
    fuzz::Check(query.starts_with(joined), "SplitQuery items are the query's own pieces", query);
    const std::string_view tail = query.substr(joined.size());
    for (std::size_t i = 0; i < tail.size(); ++i) {
      const bool ok = (i == 0 && tail[i] == '&') || static_cast<unsigned char>(tail[i]) <= 0x20;
      fuzz::Check(ok, "SplitQuery drops only an empty tail", query);
    }
  }

  text::NameValueList escaped;
  text::SplitQueryEscaped(query, escaped);
  fuzz::Check(escaped.Count() == list.Count(), "SplitQueryEscaped splits as SplitQuery", query);
  for (std::size_t i = 0; i < escaped.Count(); ++i) {
    fuzz::CheckEscaped(escaped.Line(i), "SplitQueryEscaped: no markup, quote, blank, CR or LF");
    fuzz::Check(escaped.Line(i) == text::EscapePostedValue(list.Line(i)), "SplitQueryEscaped escapes each item", query);
  }

  fuzz::Check(text::QueryValue(query, name) == list.Value(name), "QueryValue agrees with the split list", query);

  text::PostedForm form;
  text::ParseUrlEncodedBody(form, query);
  fuzz::Check(form.PostedFields == escaped.GetText(), "ParseUrlEncodedBody stores the escaped items", query);
  fuzz::Check(form.PostedFileName.empty() && form.PostedFileData.empty(), "a URL-encoded body has no file", query);
  fuzz::Check(text::FieldValue(form.PostedFields, name) == escaped.Value(name),
              "FieldValue on the posted fields agrees with the list", query);
  return 0;
}
