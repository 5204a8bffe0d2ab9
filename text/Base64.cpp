#include "text/Base64.h"

#include <cstdint>

namespace text {
namespace {

constexpr std::string_view kBase64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

void AppendBase64(std::string& out, std::string_view bytes, Base64Padding padding) {
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const auto v = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]) << 16 |
                                              static_cast<unsigned char>(bytes[i + 1]) << 8 |
                                              static_cast<unsigned char>(bytes[i + 2]));
    out += kBase64[v >> 18];
    out += kBase64[(v >> 12) & 63];
    out += kBase64[(v >> 6) & 63];
    out += kBase64[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest == 0) return;
  std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]) << 16);
  if (rest == 2) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1]) << 8);
  out += kBase64[v >> 18];
  out += kBase64[(v >> 12) & 63];
  if (rest == 2) out += kBase64[(v >> 6) & 63];
  if (padding == Base64Padding::kPadded) out.append(3 - rest, '=');
}

bool DecodeBase64(std::string_view text, std::string& out) {
  if (text.size() % 4 == 1) return false;
  out.clear();
  std::uint32_t acc = 0;
  int bits = 0;
  for (const char c : text) {
    const std::size_t v = kBase64.find(c);
    if (v == std::string_view::npos) return false;
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xff);
    }
  }
  return (acc & ((1u << bits) - 1)) == 0;
}

}  // namespace text
