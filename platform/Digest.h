// Digests and the strong random source, through libgcrypt (the same library
// on every system): what names a member's hidden files, keys a mail and
// draws a token. Passwords and form tokens build on the same library.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Lower-case hex digits of the bytes; of their SHA-256; of `bytes` bytes
// from libgcrypt's strong random source.
std::string HexOf(std::string_view bytes);
std::string Sha256Hex(std::string_view bytes);
std::string RandomHex(std::size_t bytes);

// Sets libgcrypt up, once per process, before its first use.
void InitGcrypt();

}  // namespace platform
