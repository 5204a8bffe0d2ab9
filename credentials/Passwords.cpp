// Argon2id through libgcrypt, written and read as the PHC string that
// libargon2 and its command-line tool use, so a record moves between the
// Linux and the Windows build and can be checked with other tools.
#include "credentials/Passwords.h"

#include <gcrypt.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Digest.h"
#include "platform/Exception.h"
#include "text/Base64.h"

namespace credentials {
namespace {

constexpr std::string_view kArgon2idPrefix = "$argon2id$";
// Every form libargon2 writes ($argon2i$, $argon2d$ too) begins so.
constexpr std::string_view kArgon2Prefix = "$argon2";

// The cost of one new hash: 19 MiB, 2 passes, 1 lane, the figures recommended
// today for interactive logins; one check takes well under 100 ms here.
constexpr unsigned long kMemoryKiB = 19456;
constexpr unsigned long kPasses = 2;
constexpr unsigned long kLanes = 1;
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kHashBytes = 32;

// What a stored hash may ask for: no more memory, and no more memory times
// passes (the time it takes), than a hash this program writes. A value is
// planted easily: a member of a site in the clear may register any text as a
// password, and anyone who can write the members directory may edit a
// record; a costlier value would make every check of that ID, by anyone with
// any password, cost what the value asks. Such a value is a password in the
// clear instead. The pass count has a bound of its own only to keep the
// figures small; the work bound is what limits the time.
constexpr unsigned long kMaxMemoryKiB = kMemoryKiB;
constexpr unsigned long kMaxPasses = 16;
constexpr unsigned long kMaxWorkKiB = kMemoryKiB * kPasses;  // memory times passes
constexpr unsigned long kMaxLanes = 16;
constexpr std::size_t kMinSaltBytes = 8, kMaxSaltBytes = 64;
constexpr std::size_t kMinHashBytes = 16, kMaxHashBytes = 64;

class GcryptError : public platform::Exception {
 public:
  explicit GcryptError(std::string_view what, gcry_error_t error)
      : Exception("argon2id: " + std::string(what) + ": " + gcry_strerror(error)) {}
  std::string_view ClassName() const noexcept override { return "EPasswordHashError"; }
};

}  // namespace

namespace {

struct Argon2Params {
  unsigned long memory_kib = 0;
  unsigned long passes = 0;
  unsigned long lanes = 0;
};

class KdfHandle {
 public:
  KdfHandle() = default;
  KdfHandle(const KdfHandle&) = delete;
  KdfHandle& operator=(const KdfHandle&) = delete;
  ~KdfHandle() {
    if (h_ != nullptr) gcry_kdf_close(h_);
  }
  gcry_kdf_hd_t* Out() { return &h_; }
  gcry_kdf_hd_t get() const { return h_; }

 private:
  gcry_kdf_hd_t h_ = nullptr;
};

std::string Argon2id(std::string_view password, std::string_view salt, const Argon2Params& p, std::size_t length) {
  platform::InitGcrypt();
  const unsigned long param[4] = {static_cast<unsigned long>(length), p.passes, p.memory_kib, p.lanes};
  KdfHandle h;
  gcry_error_t err = gcry_kdf_open(h.Out(), GCRY_KDF_ARGON2, GCRY_KDF_ARGON2ID, param, 4, password.data(),
                                   password.size(), salt.data(), salt.size(), nullptr, 0, nullptr, 0);
  if (err != 0) throw GcryptError("open", err);
  err = gcry_kdf_compute(h.get(), nullptr);
  if (err != 0) throw GcryptError("compute", err);
  std::string out(length, '\0');
  err = gcry_kdf_final(h.get(), out.size(), out.data());
  if (err != 0) throw GcryptError("final", err);
  return out;
}

// A decimal number without sign or leading zero, at most `max`.
bool ParseNumber(std::string_view text, unsigned long max, unsigned long& out) {
  if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0')) return false;
  unsigned long long v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v > max) return false;
  out = static_cast<unsigned long>(v);
  return true;
}

// Takes text up to the next `delimiter` (or the end) off the front of `rest`.
std::string_view TakeUntil(std::string_view& rest, char delimiter) {
  const std::size_t at = rest.find(delimiter);
  const std::string_view piece = rest.substr(0, at);
  rest = at == std::string_view::npos ? std::string_view() : rest.substr(at + 1);
  return piece;
}

bool TakeParam(std::string_view& rest, std::string_view name, unsigned long max, unsigned long& out) {
  const std::string_view item = TakeUntil(rest, ',');
  return item.starts_with(name) && ParseNumber(item.substr(name.size()), max, out);
}

struct Argon2Hash {
  Argon2Params params;
  std::string salt;
  std::string hash;
};

// "$argon2id$v=19$m=<KiB>,t=<passes>,p=<lanes>$<salt>$<hash>" and nothing
// else: no other version, no optional fields, every figure within bounds.
bool ParseArgon2id(std::string_view stored, Argon2Hash& out) {
  if (!stored.starts_with(kArgon2idPrefix)) return false;
  std::string_view rest = stored.substr(kArgon2idPrefix.size());
  if (TakeUntil(rest, '$') != "v=19") return false;
  std::string_view params = TakeUntil(rest, '$');
  Argon2Params& p = out.params;
  if (!TakeParam(params, "m=", kMaxMemoryKiB, p.memory_kib) || !TakeParam(params, "t=", kMaxPasses, p.passes) ||
      !TakeParam(params, "p=", kMaxLanes, p.lanes) || !params.empty()) {
    return false;
  }
  if (p.passes < 1 || p.lanes < 1 || p.memory_kib < 8 * p.lanes || p.memory_kib * p.passes > kMaxWorkKiB) {
    return false;
  }
  const std::string_view salt = TakeUntil(rest, '$');
  if (rest.find('$') != std::string_view::npos) return false;
  if (!text::DecodeBase64(salt, out.salt) || !text::DecodeBase64(rest, out.hash)) return false;
  return out.salt.size() >= kMinSaltBytes && out.salt.size() <= kMaxSaltBytes && out.hash.size() >= kMinHashBytes &&
         out.hash.size() <= kMaxHashBytes;
}

bool IsHash(std::string_view stored) { return stored.starts_with(kArgon2Prefix); }

}  // namespace

PasswordStorage PasswordStorageFrom(std::string_view setting) {
  // Any value hashes, not only a correctly spelt one: a typing error in the
  // setting must never leave new passwords in the clear, and hashing where
  // the clear form was meant loses nothing, since checks take both forms.
  return setting.empty() ? PasswordStorage::kClear : PasswordStorage::kArgon2id;
}

bool IsKnownPasswordHash(std::string_view setting) { return setting.empty() || setting == "argon2id"; }

std::string StoredPassword(PasswordStorage storage, std::string_view password) {
  if (storage == PasswordStorage::kClear) return std::string(password);
  // libgcrypt takes no empty password; no command stores one.
  if (password.empty()) throw platform::Exception("argon2id: an empty password cannot be hashed");
  platform::InitGcrypt();
  std::array<char, kSaltBytes> salt{};
  gcry_randomize(salt.data(), salt.size(), GCRY_STRONG_RANDOM);
  const std::string_view salt_view(salt.data(), salt.size());
  const std::string hash = Argon2id(password, salt_view, {kMemoryKiB, kPasses, kLanes}, kHashBytes);
  std::string out(kArgon2idPrefix);
  out += "v=19$m=" + std::to_string(kMemoryKiB) + ",t=" + std::to_string(kPasses) + ",p=" + std::to_string(kLanes);
  out += '$';
  text::AppendBase64(out, salt_view, text::Base64Padding::kNone);
  out += '$';
  text::AppendBase64(out, hash, text::Base64Padding::kNone);
  return out;
}

bool PasswordMatches(std::string_view stored, std::string_view password) {
  // Only a hash we can check is checked as one. Anything else is a password
  // in the clear, however it begins: a site that never hashed may have a
  // member whose password starts with "$argon2", and a damaged hash locks
  // its member out either way until the operator resets it.
  Argon2Hash parsed;
  if (!IsHash(stored) || !ParseArgon2id(stored, parsed)) return ConstantTimeEquals(stored, password);
  if (password.empty()) return false;
  const std::string computed = Argon2id(password, parsed.salt, parsed.params, parsed.hash.size());
  return ConstantTimeEquals(parsed.hash, computed);
}

bool IsPasswordHash(std::string_view stored) {
  Argon2Hash parsed;
  return IsHash(stored) && ParseArgon2id(stored, parsed);
}

bool LooksLikeUncheckedHash(std::string_view stored) { return IsHash(stored) && !IsPasswordHash(stored); }

bool NeedsRehash(PasswordStorage storage, std::string_view stored) {
  // An empty value (a record without a password) has no hash to become.
  // Whatever is checked in the clear is a password in the clear, however
  // it begins.
  if (storage == PasswordStorage::kClear || stored.empty()) return false;
  return !IsPasswordHash(stored);
}

// Equal in a time that depends only on the posted value's length, never on
// where the first difference lies or on the stored value's length: every
// byte of the posted value is compared, the differences are gathered with
// OR and looked at once after the loop, so there is no early exit, and no
// branch depends on a byte's value.
bool ConstantTimeEquals(std::string_view stored, std::string_view posted) {
  std::size_t diff = stored.size() ^ posted.size();
  const std::size_t n = stored.size();
  std::size_t j = 0;  // walks the stored value round and round
  for (const char c : posted) {
    const unsigned char s = n == 0 ? 0 : static_cast<unsigned char>(stored[j]);
    diff |= static_cast<std::size_t>(s ^ static_cast<unsigned char>(c));
    if (++j >= n) j = 0;
  }
  return diff == 0;
}

}  // namespace credentials
