// Checks a generated text table: each Shift_JIS text must convert back to
// exactly its UTF-8 spelling, so no character was lost or substituted.
#pragma once

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>
#include <string_view>

namespace testing_texts {

inline std::string Cp932ToUtf8(std::string_view sjis) {
  iconv_t cd = iconv_open("UTF-8", "CP932");
  if (cd == reinterpret_cast<iconv_t>(-1)) return "<iconv unavailable>";
  std::string out(sjis.size() * 3 + 8, '\0');
  char* in = const_cast<char*>(sjis.data());
  std::size_t in_left = sjis.size();
  char* dst = out.data();
  std::size_t out_left = out.size();
  const std::size_t rc = iconv(cd, &in, &in_left, &dst, &out_left);
  iconv_close(cd);
  if (rc == static_cast<std::size_t>(-1)) return "<not CP932>";
  out.resize(out.size() - out_left);
  return out;
}

template <typename Table>
void ExpectAllTextsRoundTrip(const Table& table) {
  for (const auto& entry : table) {
    EXPECT_EQ(Cp932ToUtf8(entry.sjis), entry.utf8) << entry.name;
  }
}

}  // namespace testing_texts
