// Base64 in the standard alphabet: padded with "=" as mail bodies and
// encoded words carry it, or without padding as password hashes are written.
#pragma once

#include <string>
#include <string_view>

namespace text {

enum class Base64Padding { kNone, kPadded };

void AppendBase64(std::string& out, std::string_view bytes, Base64Padding padding);

// Unpadded only, and strict: only the alphabet, no padding, and unused low
// bits zero, so that every value has exactly one spelling.
bool DecodeBase64(std::string_view text, std::string& out);

}  // namespace text
