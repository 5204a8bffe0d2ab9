#include <gtest/gtest.h>

#include "platform/Sjis.h"

namespace {

using platform::FindSjis;
constexpr auto npos = std::string_view::npos;

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

}  // namespace
