#include "platform/Digest.h"

#include <gcrypt.h>

#include <string>
#include <string_view>

#include "platform/Exception.h"

namespace platform {

// libgcrypt is set up once per process, before its first use, and only when
// a password is hashed, a form signed or a file named by a digest: a session
// in the clear that keeps no such file never starts it.
void InitGcrypt() {
  static const bool ready = [] {
    if (gcry_check_version(GCRYPT_VERSION) == nullptr) {
      throw Exception("argon2id: libgcrypt is older than the one the program was built with");
    }
    // Secure memory needs locked pages a web server's user seldom may have;
    // a password lives for one short request, and the library would
    // otherwise warn on standard error for every request.
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  (void)ready;
}

std::string HexOf(std::string_view bytes) {
  constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
  }
  return out;
}

std::string Sha256Hex(std::string_view bytes) {
  InitGcrypt();
  std::string digest(32, '\0');
  gcry_md_hash_buffer(GCRY_MD_SHA256, digest.data(), bytes.data(), bytes.size());
  return HexOf(digest);
}

std::string RandomHex(std::size_t bytes) {
  InitGcrypt();
  std::string random(bytes, '\0');
  gcry_randomize(random.data(), random.size(), GCRY_STRONG_RANDOM);
  return HexOf(random);
}

}  // namespace platform
