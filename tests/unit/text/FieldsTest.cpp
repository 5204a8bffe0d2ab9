#include "text/Fields.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>


using namespace std::string_literals;

namespace {

std::vector<std::string> Items(const text::NameValueList& list) {
  std::vector<std::string> items;
  for (std::size_t i = 0; i < list.Count(); ++i) items.push_back(list.Line(i));
  return items;
}

std::vector<std::string> Split(std::string_view query) {
  text::NameValueList list;
  list.Add("stale=1");
  text::SplitQuery(query, list);
  return Items(list);
}

// Straightforward transcriptions of the rules, copying the rest of the text
// on every step, to hold the single-pass versions against.
bool RefLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

std::size_t RefFind(const std::string& hay, const std::string& needle) {
  for (std::size_t pos = 0; pos + needle.size() <= hay.size();) {
    if (hay.compare(pos, needle.size(), needle) == 0) return pos;
    pos += RefLead(static_cast<unsigned char>(hay[pos])) && pos + 1 < hay.size() ? 2 : 1;
  }
  return std::string::npos;
}

std::string RefUpper(std::string s) {
  for (std::size_t pos = 0; pos < s.size();) {
    if (RefLead(static_cast<unsigned char>(s[pos])) && pos + 1 < s.size()) {
      pos += 2;
      continue;
    }
    if (s[pos] >= 'a' && s[pos] <= 'z') s[pos] = static_cast<char>(s[pos] - 32);
    ++pos;
  }
  return s;
}

std::string RefReplaceAll(std::string rest, const std::string& old_pattern, const std::string& new_text) {
  if (old_pattern.empty()) return rest;
  std::string search = RefUpper(rest);
  const std::string pattern = RefUpper(old_pattern);
  std::string out;
  while (!search.empty()) {
    const std::size_t at = RefFind(search, pattern);
    if (at == std::string::npos) break;
    out += rest.substr(0, at) + new_text;
    rest = rest.substr(at + old_pattern.size());
    search = search.substr(at + pattern.size());
  }
  return out + rest;
}

// Escaping replaces its bytes wherever they stand: none of them can be the
// second byte of a well-formed character.
std::string RefPlainReplaceAll(const std::string& s, const std::string& old_pattern, const std::string& new_text) {
  std::string out;
  std::size_t from = 0;
  for (std::size_t at; (at = s.find(old_pattern, from)) != std::string::npos; from = at + old_pattern.size()) {
    out += s.substr(from, at - from) + new_text;
  }
  return out + s.substr(from);
}

std::string RefHtmlEscape(const std::string& s) {
  std::string r = RefPlainReplaceAll(s, "&", "&amp;");
  r = RefPlainReplaceAll(r, " ", "&nbsp;");
  r = RefPlainReplaceAll(r, "<", "&lt;");
  r = RefPlainReplaceAll(r, ">", "&gt;");
  r = RefPlainReplaceAll(r, "\"", "&quot;");
  return RefPlainReplaceAll(r, "\r\n", "<br>");
}

std::string RefTrim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
  return s.substr(b, e - b);
}

std::vector<std::string> RefSplit(std::string rest) {
  std::vector<std::string> items;
  while (!RefTrim(rest).empty()) {
    const std::size_t amp = RefFind(rest, "&");
    if (amp == std::string::npos) {
      items.push_back(text::UrlDecode(rest));
      rest.clear();
    } else {
      items.push_back(text::UrlDecode(rest.substr(0, amp)));
      rest = rest.substr(amp + 1);
    }
  }
  return items;
}

// Random texts over the bytes that matter: every delimiter, lead bytes,
// letters of both cases, blanks and NUL.
std::string RandomText(std::mt19937& rng) {
  static const std::string alphabet = "&& <>\"\r\n\r\naAbB%4#=\t\x81\x95\xE0\x5C\x41\x61\x7F"s + '\0';
  std::uniform_int_distribution<std::size_t> len(0, 24), pick(0, alphabet.size() - 1);
  std::string s(len(rng), ' ');
  for (char& c : s) c = alphabet[pick(rng)];
  return s;
}

TEST(UrlDecode, EscapesAndPlus) {
  EXPECT_EQ(text::UrlDecode("a%41b"), "aAb");
  EXPECT_EQ(text::UrlDecode("a+b"), "a b");
  EXPECT_EQ(text::UrlDecode("%e3%81"), "\xE3\x81");
  EXPECT_EQ(text::UrlDecode("%2B%2541"), "+%41");  // the output is not decoded again
  EXPECT_EQ(text::UrlDecode(""), "");
}

TEST(UrlDecode, MalformedEscapes) {
  EXPECT_EQ(text::UrlDecode("%4"), "\x04");
  EXPECT_EQ(text::UrlDecode("x%"), "x\0"s);
  EXPECT_EQ(text::UrlDecode("%G1x"), "\0x"s);
  EXPECT_EQ(text::UrlDecode("%%41"), "\0001"s);
  EXPECT_EQ(text::UrlDecode("%4\0z"s), "\x04z");
  EXPECT_EQ(text::UrlDecode("%4xz"), "\0z"s);
  EXPECT_EQ(text::UrlDecode("%00a"), "\0a"s);
}

TEST(SplitQuery, ItemRules) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Split("a=1&&b=2"), (V{"a=1", "", "b=2"}));
  EXPECT_EQ(Split("&"), (V{""}));
  EXPECT_EQ(Split("a=1& "), (V{"a=1"}));
  EXPECT_EQ(Split(" a=1"), (V{" a=1"}));
  EXPECT_EQ(Split("a=1 & b"), (V{"a=1 ", " b"}));
  EXPECT_EQ(Split(""), V{});
  EXPECT_EQ(Split(" \t\r\n\0"s), V{});
  EXPECT_EQ(Split("k=a%26b%3D&c=+"), (V{"k=a&b=", "c= "}));
  // "&" as the second byte of a double-byte character does not split.
  EXPECT_EQ(Split("a=\x81&b&c"), (V{"a=\x81&b", "c"}));
}

TEST(SplitQuery, MatchesStraightforwardSplitOnRandomTexts) {
  std::mt19937 rng(20240607);
  for (int round = 0; round < 20000; ++round) {
    const std::string s = RandomText(rng);
    ASSERT_EQ(Split(s), RefSplit(s)) << "input of " << s.size() << " bytes, round " << round;
  }
}

TEST(QueryValue, FirstMatchingItem) {
  EXPECT_EQ(text::QueryValue("showuser=abc&session=s1", "SHOWUSER"), "abc");
  EXPECT_EQ(text::QueryValue("showuser=abc&session=s1", "session"), "s1");
  EXPECT_EQ(text::QueryValue("x=1&x=2", "x"), "1");
  EXPECT_EQ(text::QueryValue("showuser&a=1", "showuser"), "");
  EXPECT_EQ(text::QueryValue("n=%41%2541", "n"), "A%41");
  EXPECT_EQ(text::QueryValue("", "n"), "");
}

TEST(CookieValue, FirstPairOfTheNameBlanksAside) {
  EXPECT_EQ(text::CookieValue("a=1; og=tok; og=second", "og"), "tok");
  EXPECT_EQ(text::CookieValue("og=;x=1", "og"), "");
  EXPECT_EQ(text::CookieValue(" \tog = x ; ", "og"), std::nullopt);  // "og " is another name
  EXPECT_EQ(text::CookieValue(" \tog=x ; ", "og"), "x");
  EXPECT_EQ(text::CookieValue("xog=1; ogx=2; OG=3", "og"), std::nullopt);
  EXPECT_EQ(text::CookieValue("og", "og"), std::nullopt);
  EXPECT_EQ(text::CookieValue("", "og"), std::nullopt);
  EXPECT_EQ(text::CookieValue("og=a=b", "og"), "a=b");
}

TEST(HtmlEscape, Replacements) {
  EXPECT_EQ(text::HtmlEscape("a & <b>"), "a&nbsp;&amp;&nbsp;&lt;b&gt;");
  EXPECT_EQ(text::HtmlEscape("x\r\ny"), "x<br>y");
  EXPECT_EQ(text::HtmlEscape("&lt;"), "&amp;lt;");
  EXPECT_EQ(text::HtmlEscape("\"q\"'\t\r\r\n\n"), "&quot;q&quot;'\t\r<br>\n");
  // "&#160;" is only read back as a blank for posted values.
  EXPECT_EQ(text::HtmlEscape("a&#160;b"), "a&amp;#160;b");
  // Double-byte characters pass whole; after a stray lead byte the special
  // bytes are still escaped, since browsers drop the stray byte and would
  // read them as markup.
  EXPECT_EQ(text::HtmlEscape("\x82\xA0 \x83\x41"), "\x82\xA0&nbsp;\x83\x41");
  EXPECT_EQ(text::HtmlEscape("\x81<\x81\r\n"), "\x81&lt;\x81<br>");
  EXPECT_EQ(text::HtmlEscape("\x82\"\x9f>\xe0&"), "\x82&quot;\x9f&gt;\xe0&amp;");
  EXPECT_EQ(text::HtmlEscape("\x81\x81<"), "\x81\x81&lt;");
}

TEST(HtmlEscape, MatchesSixPassesOnRandomTexts) {
  std::mt19937 rng(77);
  for (int round = 0; round < 20000; ++round) {
    const std::string s = RandomText(rng);
    ASSERT_EQ(text::HtmlEscape(s), RefHtmlEscape(s)) << "round " << round;
  }
}

TEST(EscapePostedValue, NonBreakingSpaceSurvivesARoundTrip) {
  EXPECT_EQ(text::EscapePostedValue("a&#160;b"), "a&nbsp;b");
  EXPECT_EQ(text::EscapePostedValue("&#160;&#160;<"), "&nbsp;&nbsp;&lt;");
  EXPECT_EQ(text::EscapePostedValue("&#16;&#16"), "&amp;#16;&amp;#16");
  EXPECT_EQ(text::EscapePostedValue("\x81&#160;"), "\x81&nbsp;");
  // What a browser posts back for a stored value shows it stored unchanged.
  const std::string stored = text::EscapePostedValue("x y");
  EXPECT_EQ(stored, "x&nbsp;y");
  EXPECT_EQ(text::EscapePostedValue("x&#160;y"), stored);
}

TEST(EscapePostedValue, ReferencesToCharactersShiftJisLacksAreKept) {
  // Kept: printable characters beyond ASCII, written in decimal.
  for (const char* kept : {"&#128512;", "&#233;", "&#54620;", "&#1114111;", "&#0233;"}) {
    EXPECT_EQ(text::EscapePostedValue(kept), kept);
  }
  // Escaped as ever: ASCII and C1 controls, surrogates, past the last code
  // point, hexadecimal, unterminated, too many digits.
  for (const char* escaped : {"&#60;", "&#106;", "&#159;", "&#55357;", "&#1114112;", "&#x1F600;", "&#128512",
                              "&#00000233;", "&#;"}) {
    EXPECT_EQ(text::EscapePostedValue(escaped), "&amp;" + std::string(escaped + 1)) << escaped;
  }
  EXPECT_EQ(text::EscapePostedValue("a&#128512;<&#128512"), "a&#128512;&lt;&amp;#128512");
  // HtmlEscape itself keeps nothing.
  EXPECT_EQ(text::HtmlEscape("&#128512;"), "&amp;#128512;");
}

TEST(ParseUrlEncodedBody, ReplacesPostedFields) {
  text::PostedForm form;
  form.PostedFields = "old=1\r\n";
  text::ParseUrlEncodedBody(form, "id=a%26b&pw=x+y");
  EXPECT_EQ(form.PostedFields, "id=a&amp;b\r\npw=x&nbsp;y\r\n");
  text::ParseUrlEncodedBody(form, "comment=a%26%23160%3Bb&n%20x=%22");
  EXPECT_EQ(form.PostedFields, "comment=a&nbsp;b\r\nn&nbsp;x=&quot;\r\n");
  // A lone CR or LF never ends a value or a name: the list's lines are only
  // the ones the body named.
  text::ParseUrlEncodedBody(form, "id=carol%0Axyz&pw0=Secret99%0Dgarbage&a%0D%0A=b%0A%0D");
  EXPECT_EQ(form.PostedFields, "id=carol<br>xyz\r\npw0=Secret99<br>garbage\r\na<br>=b<br><br>\r\n");
  text::ParseUrlEncodedBody(form, " \r\n ");
  EXPECT_EQ(form.PostedFields, "");
}

TEST(ReplaceAllNoCase, CaseAndOverlap) {
  EXPECT_EQ(text::ReplaceAllNoCase("aXbxc", "x", "-"), "a-b-c");
  EXPECT_EQ(text::ReplaceAllNoCase("HeLlo", "lL", "__"), "He__o");
  EXPECT_EQ(text::ReplaceAllNoCase("aaaa", "aa", "a"), "aa");
  EXPECT_EQ(text::ReplaceAllNoCase("abc", "b", "bb"), "abbc");
  EXPECT_EQ(text::ReplaceAllNoCase("abc", "", "x"), "abc");
  EXPECT_EQ(text::ReplaceAllNoCase("", "a", "x"), "");
  EXPECT_EQ(text::ReplaceAllNoCase("a\0b\0"s, "\0"s, "0"), "a0b0");
}

TEST(ReplaceAllNoCase, NeverMatchesInsideADoubleByteCharacter) {
  // 0x83 0x41 is one character; its second byte is no "A" and no "a".
  EXPECT_EQ(text::ReplaceAllNoCase("\x83\x41" "A", "a", "x"), "\x83\x41x");
  EXPECT_EQ(text::ReplaceAllNoCase("\x83\x61", "A", "x"), "\x83\x61");
  // Upper-casing the text does not touch second bytes, so 0x83 0x61 does
  // not turn into 0x83 0x41.
  EXPECT_EQ(text::ReplaceAllNoCase("\x83\x61", "\x83\x41", "x"), "\x83\x61");
  EXPECT_EQ(text::ReplaceAllNoCase("\x83\x41\x83\x61", "\x83\x41", "x"), "x\x83\x61");
  EXPECT_EQ(text::ReplaceAllNoCase("\x95\x5C\\", "\\", "/"), "\x95\x5C/");
}

TEST(ReplaceAllNoCase, MatchesStraightforwardVersionOnRandomTexts) {
  std::mt19937 rng(5);
  const std::vector<std::string> patterns = {"a", "Ab", "\x81\x41", "&a", "\r\n", "\\", "#"};
  for (int round = 0; round < 20000; ++round) {
    const std::string s = RandomText(rng);
    const std::string& p = patterns[static_cast<std::size_t>(round) % patterns.size()];
    ASSERT_EQ(text::ReplaceAllNoCase(s, p, "[]"), RefReplaceAll(s, p, "[]")) << "round " << round;
  }
}

TEST(FormatByTemplate, Digits) {
  EXPECT_EQ(text::FormatByTemplate(7, "img###.jpg"), "img007.jpg");
  EXPECT_EQ(text::FormatByTemplate(12345, "###"), "345");
  EXPECT_EQ(text::FormatByTemplate(12345, "no-mark.jpg"), "no-mark.jpg");
  EXPECT_EQ(text::FormatByTemplate(42, "#a#b#"), "0a4b2");
  EXPECT_EQ(text::FormatByTemplate(0, ""), "");
  EXPECT_EQ(text::FormatByTemplate(-5, "###"), "0-5");
  EXPECT_EQ(text::FormatByTemplate(-5, "##"), "-5");
  EXPECT_EQ(text::FormatByTemplate(-12345, "###"), "345");
  EXPECT_EQ(text::FormatByTemplate(INT32_MIN, "############"), "0-2147483648");
}

TEST(FormatByTemplate, DoubleByteCharactersStayWhole) {
  // "画像" around and between the marks: each character counts once.
  EXPECT_EQ(text::FormatByTemplate(5, "\x89\xE6#\x91\x9C##"), "\x89\xE6" "0\x91\x9C" "05");
  // A "#" right after a lead byte is that character's second byte here.
  EXPECT_EQ(text::FormatByTemplate(5, "\x81##"), "\x81#5");
}

// A posted form of thousands of fields, through every routine that the
// request handler runs on it (their speed is measured by the benchmarks).
TEST(ParseUrlEncodedBody, ManyFieldsSurviveEveryRoutine) {
  std::string body;
  for (int i = 0; i < 20000; ++i) body += "blank-f" + std::to_string(i) + "=some+value%21&";
  text::PostedForm form;
  text::ParseUrlEncodedBody(form, body);
  const bool filled = text::RequiredFieldsFilled(form.PostedFields);
  text::RemoveField(form.PostedFields, "blank-f7");
  EXPECT_TRUE(filled);
  // Later lines of a name already judged, in any letter case, do not count.
  EXPECT_TRUE(text::RequiredFieldsFilled(form.PostedFields + "BLANK-F3=\r\n"));
  EXPECT_FALSE(text::RequiredFieldsFilled(form.PostedFields + "blank-new=\r\n"));
  EXPECT_EQ(text::FieldValue(form.PostedFields, "BLANK-F19999"), "some&nbsp;value!");
  EXPECT_EQ(text::FieldValue(form.PostedFields, "blank-f7"), "");
}

}  // namespace
