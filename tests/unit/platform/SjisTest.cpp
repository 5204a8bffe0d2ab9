#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "Cp932.h"
#include "platform/Sjis.h"

namespace {

// The bytes on a heap block of exactly their size, so a read past the end
// is caught by AddressSanitizer rather than landing on a terminating NUL.
class ExactBytes {
 public:
  explicit ExactBytes(std::string_view bytes) : data_(new char[bytes.size()]), size_(bytes.size()) {
    std::memcpy(data_.get(), bytes.data(), bytes.size());
  }
  std::string_view view() const { return {data_.get(), size_}; }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_;
};

using platform::FindSjis;
constexpr auto npos = std::string_view::npos;

TEST(Sjis, LeadByteRangesEndExactly) {
  const struct {
    unsigned char byte;
    bool lead;
  } rows[] = {{0x40, false}, {0x7f, false}, {0x80, false}, {0x81, true},  {0x9f, true},  {0xa0, false},
              {0xdf, false}, {0xe0, true},  {0xfc, true},  {0xfd, false}, {0xff, false}};
  for (const auto& row : rows) {
    const char c = static_cast<char>(row.byte);
    EXPECT_EQ(platform::IsLeadByte(c), row.lead) << std::hex << int{row.byte};
    const std::string pair = {c, 'A'};
    EXPECT_EQ(platform::CharLength(pair, 0), row.lead ? 2u : 1u) << std::hex << int{row.byte};
    // A lead byte that ends the text is a character of one byte.
    const ExactBytes last(std::string("x") + c);
    EXPECT_EQ(platform::CharLength(last.view(), 1), 1u) << std::hex << int{row.byte};
  }
}

TEST(Sjis, LoneLeadByteAtTheEndIsNeverReadPast) {
  const ExactBytes text("ab\x81");
  const ExactBytes same("AB\x81");
  EXPECT_EQ(FindSjis(text.view(), "\x81"), 2u);
  EXPECT_EQ(FindSjis(text.view(), "z"), npos);
  EXPECT_EQ(platform::FindLastDelimiterSjis(text.view(), "\x81"), 2u);
  EXPECT_EQ(platform::AsciiUpperSjis(text.view()), "AB\x81");
  EXPECT_TRUE(platform::SameTextSjis(text.view(), same.view()));
}

TEST(Sjis, SearchNeverStartsOnASecondByte) {
  // 0x83 0x41 is one character (ア) whose second byte is "A".
  EXPECT_EQ(FindSjis("\x83\x41", "A"), npos);
  EXPECT_EQ(FindSjis("\x83\x41" "A", "A"), 2u);
  // 表 is 0x95 0x5C: its second byte is no backslash.
  EXPECT_EQ(FindSjis("\x95\x5c", "\\"), npos);
  // After a stray lead byte the next byte still belongs to it.
  EXPECT_EQ(FindSjis("\x81&x&", "&"), 3u);
  EXPECT_EQ(FindSjis("abc", ""), npos);
  EXPECT_EQ(FindSjis("ab", "abc"), npos);
  EXPECT_EQ(FindSjis("xabab", "ab", 3), 3u);
  // Longer patterns: an occurrence inside a character is passed over, and
  // one overlapping it that starts on a boundary is still found.
  EXPECT_EQ(FindSjis("\x81" "aab", "aab"), npos);
  EXPECT_EQ(FindSjis("\x81" "aaab", "aab"), 2u);
  EXPECT_EQ(FindSjis("\x81" "aaab" "\x81" "aab" "aab", "aab", 3), 9u);
}

// Every text of up to 11 bytes and every pattern of up to 5 over a
// two-letter alphabet, where partial matches overlap the most, against the
// standard library's search: every occurrence from every start.
TEST(Sjis, PatternSearchAgreesWithTheStandardOne) {
  auto spell = [](unsigned bits, std::size_t length) {
    std::string s(length, '-');
    for (std::size_t i = 0; i < length; ++i) {
      if ((bits >> i) & 1u) s[i] = 'X';
    }
    return s;
  };
  for (std::size_t plen = 1; plen <= 5; ++plen) {
    for (unsigned pbits = 0; pbits < (1u << plen); ++pbits) {
      const std::string pattern = spell(pbits, plen);
      const platform::BytePattern search(pattern);
      for (std::size_t tlen = 0; tlen <= 11; ++tlen) {
        for (unsigned tbits = 0; tbits < (1u << tlen); ++tbits) {
          const std::string text = spell(tbits, tlen);
          for (std::size_t from = 0; from <= tlen; ++from) {
            ASSERT_EQ(search.Find(text, from), std::string_view(text).find(pattern, from))
                << pattern << " in " << text << " from " << from;
          }
        }
      }
    }
  }
}

TEST(Sjis, LastDelimiterSkipsSecondBytes) {
  EXPECT_EQ(platform::FindLastDelimiterSjis("C:\\pics\\cat.jpg", "\\:"), 7u);
  EXPECT_EQ(platform::FindLastDelimiterSjis("\x95\x5c\x8e\xa6.jpg", "\\:"), npos);
  EXPECT_EQ(platform::FindLastDelimiterSjis("a\\\x95\x5c", "\\:"), 1u);
  // A lead byte at the very end stands alone.
  EXPECT_EQ(platform::FindLastDelimiterSjis("a\\\x95", "\\"), 1u);
}

TEST(Sjis, CaseFoldingLeavesSecondBytesAlone) {
  // "ア" is 0x83 0x41 and "ャ" 0x83 0x61: upper-casing must not turn one into the other.
  EXPECT_EQ(platform::AsciiUpperSjis("ab\x83\x61z"), "AB\x83\x61Z");
  EXPECT_TRUE(platform::SameTextSjis("RealName", "REALNAME"));
  EXPECT_FALSE(platform::SameTextSjis("\x83\x41", "\x83\x61"));
  EXPECT_FALSE(platform::SameTextSjis("a", "ab"));
  EXPECT_FALSE(platform::SameTextSjis("a\xe0", "A\xc0"));
}

// Every code point of the Basic Multilingual Plane and a few beyond: the
// program's table converts exactly what the system's converter does, and
// what it converts is valid Shift_JIS. Broken UTF-8 converts to nothing.
TEST(Sjis, Cp932FromUtf8MatchesTheSystemConverter) {
#ifdef _WIN32
  GTEST_SKIP() << "the table is made from glibc's CP932 converter; Windows's maps a few more bytes (0x80 to U+0080)";
#endif
  auto utf8 = [](std::uint32_t cp) {
    std::string s;
    if (cp < 0x800) return s + static_cast<char>(0xC0 | cp >> 6) + static_cast<char>(0x80 | (cp & 0x3F));
    if (cp < 0x10000) {
      return s + static_cast<char>(0xE0 | cp >> 12) + static_cast<char>(0x80 | (cp >> 6 & 0x3F)) +
             static_cast<char>(0x80 | (cp & 0x3F));
    }
    return s + static_cast<char>(0xF0 | cp >> 18) + static_cast<char>(0x80 | (cp >> 12 & 0x3F)) +
           static_cast<char>(0x80 | (cp >> 6 & 0x3F)) + static_cast<char>(0x80 | (cp & 0x3F));
  };
  int converted = 0;
  for (std::uint32_t cp = 0x80; cp < 0x10000; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    std::string text = "a";
    text += utf8(cp);
    const std::optional<std::string> ours = platform::Cp932FromUtf8(text);
    const std::string system = testing_texts::Sjis(text);
    // Where the system converts to CP932 characters, the table does the same
    // (the system's own tables may also map a few signs onto ASCII, or, on
    // Windows, convert less); what the table converts reads back.
    if (!system.starts_with("<") && static_cast<unsigned char>(system[1]) >= 0x80) {
      ASSERT_EQ(ours.value_or("<none>"), system) << "U+" << std::hex << cp;
    }
    if (ours) {
      ++converted;
      ASSERT_TRUE(platform::IsValidSjis(*ours)) << "U+" << std::hex << cp;
      ASSERT_FALSE(testing_texts::Cp932ToUtf8(*ours).starts_with("<")) << "U+" << std::hex << cp;
    }
  }
  EXPECT_GT(converted, 7000);
  EXPECT_FALSE(platform::Cp932FromUtf8(utf8(0x1F600)));   // no emoji in CP932
  EXPECT_FALSE(platform::Cp932FromUtf8("\xC0\xAF"));      // an overlong "/"
  EXPECT_FALSE(platform::Cp932FromUtf8("\xE8\x8A"));      // cut short
  EXPECT_FALSE(platform::Cp932FromUtf8("\xED\xA0\x80"));  // a surrogate
  for (std::string_view bad : {"\x80", "\xA0", "\xFD", "a\x82", "\x82\x7F", "\x82\xFD"}) {
    EXPECT_FALSE(platform::IsValidSjis(bad)) << bad;
  }
}

// Every single byte and byte pair from the top half: decoded as the
// system's converter decodes it, from the same table the other way round.
TEST(Sjis, Utf8FromCp932MatchesTheSystemConverter) {
#ifdef _WIN32
  GTEST_SKIP() << "the table is made from glibc's CP932 converter; Windows's maps a few more bytes (0x80 to U+0080)";
#endif
  int decoded = 0;
  for (unsigned code = 0x80; code < 0x10000; ++code) {
    if (code > 0xFF && (!platform::IsLeadByte(static_cast<unsigned char>(code >> 8)) || (code & 0xFF) < 0x40)) continue;
    std::string bytes = "a";
    if (code > 0xFF) bytes += static_cast<char>(code >> 8);
    bytes += static_cast<char>(code & 0xFF);
    const std::string system = testing_texts::Cp932ToUtf8(bytes);
    const std::optional<std::string> ours = platform::Utf8FromCp932(bytes);
    if (ours) ++decoded;
    if (!system.starts_with("<") && static_cast<unsigned char>(system[1]) >= 0x80) {
      ASSERT_EQ(ours.value_or("<none>"), system) << std::hex << code;
    }
  }
  EXPECT_GT(decoded, 7000);
}

}  // namespace
