// Shift_JIS (CP932) conversion for tests only, done with iconv (on Windows
// with the system's own tables) independently
// of the build's text generator, so a wrong texts file or generator shows as
// a difference. The program itself never converts.
#pragma once

#include <gtest/gtest.h>
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#undef ReplaceFile
#else
#include <iconv.h>
#endif

#include <string>
#include <string_view>

namespace testing_texts {

#ifdef _WIN32
// Windows has no iconv: the system's own tables for code pages 932 and
// 65001, through UTF-16; strict both ways, so nothing is replaced.
inline std::string Convert(unsigned to, unsigned from, std::string_view bytes) {
  if (bytes.empty()) return {};
  const int in_size = static_cast<int>(bytes.size());
  const int wide_size = ::MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, bytes.data(), in_size, nullptr, 0);
  if (wide_size <= 0) return "<not convertible>";
  std::wstring wide(static_cast<std::size_t>(wide_size), L'\0');
  ::MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, bytes.data(), in_size, wide.data(), wide_size);
  const DWORD flags = to == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL defaulted = FALSE;
  BOOL* defaulted_out = to == CP_UTF8 ? nullptr : &defaulted;
  const int out_size = ::WideCharToMultiByte(to, flags, wide.data(), wide_size, nullptr, 0, nullptr, defaulted_out);
  if (out_size <= 0 || defaulted) return "<not convertible>";
  std::string out(static_cast<std::size_t>(out_size), '\0');
  ::WideCharToMultiByte(to, flags, wide.data(), wide_size, out.data(), out_size, nullptr, defaulted_out);
  return out;
}

inline std::string Sjis(std::string_view utf8) { return Convert(932, CP_UTF8, utf8); }
inline std::string Cp932ToUtf8(std::string_view sjis) { return Convert(CP_UTF8, 932, sjis); }
#else
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
#endif

// Each Shift_JIS text of a generated table must convert back to exactly its
// UTF-8 spelling, so no character was lost or substituted.
template <typename Table>
void ExpectAllTextsRoundTrip(const Table& table) {
  for (const auto& entry : table) {
    EXPECT_EQ(Cp932ToUtf8(entry.sjis), entry.utf8) << entry.name;
  }
}

}  // namespace testing_texts
