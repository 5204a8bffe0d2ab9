#include "credentials/FormTokens.h"

#include <gcrypt.h>

#include <string>

#include "platform/Digest.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "text/NameValueList.h"

namespace credentials {
namespace {

constexpr std::size_t kSecretBytes = 32;
constexpr std::string_view kSecretName = ".form-secret";

std::string Secret(std::string_view members_db) {
  const std::string path = text::IncludeTrailingDelimiter(members_db) + std::string(kSecretName);
  if (!text::FileExists(path)) {
    platform::InitGcrypt();
    std::string fresh(kSecretBytes, '\0');
    gcry_randomize(fresh.data(), fresh.size(), GCRY_VERY_STRONG_RANDOM);
    // Of two first requests at once, one creates it; both read the winner's.
    platform::CreateFileExclusive(path, platform::HexOf(fresh), true);
  }
  std::string secret = platform::ReadWholeFile(path);
  if (secret.size() < kSecretBytes) throw platform::Exception("form secret " + path + " is too short");
  return secret;
}

std::string Mac(const std::string& secret, std::string_view session, std::string_view id, std::string_view stored_pw,
                std::string_view expiry) {
  platform::InitGcrypt();
  gcry_mac_hd_t h = nullptr;
  if (gcry_mac_open(&h, GCRY_MAC_HMAC_SHA256, 0, nullptr) != 0) throw platform::Exception("HMAC-SHA-256 unavailable");
  // Each value with its length before it: no two value lists give one input.
  std::string input = "orvalengate profile form";
  for (std::string_view v : {session, id, stored_pw, expiry}) input.append(std::to_string(v.size())).append(":").append(v);
  std::string mac(32, '\0');
  std::size_t length = mac.size();
  const bool ok = gcry_mac_setkey(h, secret.data(), secret.size()) == 0 &&
                  gcry_mac_write(h, input.data(), input.size()) == 0 && gcry_mac_read(h, mac.data(), &length) == 0;
  gcry_mac_close(h);
  if (!ok) throw platform::Exception("HMAC-SHA-256 failed");
  mac.resize(length);
  return platform::HexOf(mac);
}

}  // namespace

std::string MakeFormToken(std::string_view members_db, std::string_view session, std::string_view id,
                          std::string_view stored_pw, std::int64_t now) {
  const std::string expiry = std::to_string(now + kFormTokenSeconds);
  return expiry + "-" + Mac(Secret(members_db), session, id, stored_pw, expiry);
}

bool FormTokenValid(std::string_view members_db, std::string_view token, std::string_view session,
                    std::string_view id, std::string_view stored_pw, std::int64_t now) {
  const std::size_t dash = token.find('-');
  if (dash == 0 || dash > 18 || token.size() != dash + 65) return false;
  std::int64_t expiry = 0;
  for (const char c : token.substr(0, dash)) {
    if (c < '0' || c > '9') return false;
    expiry = expiry * 10 + (c - '0');
  }
  if (expiry < now || expiry > now + kFormTokenSeconds) return false;
  const std::string want = Mac(Secret(members_db), session, id, stored_pw, token.substr(0, dash));
  unsigned char diff = 0;
  for (std::size_t i = 0; i < want.size(); ++i) diff |= static_cast<unsigned char>(want[i] ^ token[dash + 1 + i]);
  return diff == 0;
}

}  // namespace credentials
