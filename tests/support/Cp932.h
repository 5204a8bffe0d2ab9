// Shift_JIS (CP932) conversion for tests only, done with iconv independently
// of the build's text generator, so a wrong texts file or generator shows as
// a difference. The program itself never converts.
#pragma once

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>
#include <string_view>

namespace testing_texts {

// The bytes converted between the two code pages; a marker text when
// iconv cannot do it, which then fails every comparison.
inline std::string Convert(const char* to, const char* from, std::string_view bytes) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return "<iconv unavailable>";
  std::string out(bytes.size() * 3 + 8, '\0');
  char* in = const_cast<char*>(bytes.data());
  std::size_t in_left = bytes.size();
  char* dst = out.data();
  std::size_t out_left = out.size();
  const std::size_t rc = iconv(cd, &in, &in_left, &dst, &out_left);
  iconv_close(cd);
  if (rc == static_cast<std::size_t>(-1)) return "<not convertible>";
  out.resize(out.size() - out_left);
  return out;
}

inline std::string Sjis(std::string_view utf8) { return Convert("CP932", "UTF-8", utf8); }
inline std::string Cp932ToUtf8(std::string_view sjis) { return Convert("UTF-8", "CP932", sjis); }

// Each Shift_JIS text of a generated table must convert back to exactly its
// UTF-8 spelling, so no character was lost or substituted.
template <typename Table>
void ExpectAllTextsRoundTrip(const Table& table) {
  for (const auto& entry : table) {
    EXPECT_EQ(Cp932ToUtf8(entry.sjis), entry.utf8) << entry.name;
  }
}

}  // namespace testing_texts
