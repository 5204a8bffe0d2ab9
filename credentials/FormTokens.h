// The token a profile form of the second page set carries instead of the
// member's password: proof that whoever holds the form gave the password a
// short while ago. HMAC-SHA-256 under a secret of the members folder, over
// the session, the ID, the record's stored pw value and the expiry time, so
// a password change or reset ends every form opened before it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace credentials {

inline constexpr std::int64_t kFormTokenSeconds = 30 * 60;

// "EXPIRY-HMAC": the expiry in seconds since 1970 and 64 hex digits.
// The secret (".form-secret" in the members folder, mode 0600) is created
// on first use by an exclusive create, so racing requests agree on one.
std::string MakeFormToken(std::string_view members_db, std::string_view session, std::string_view id,
                          std::string_view stored_pw, std::int64_t now);

// Whether the token was made for these values and has not expired; the
// HMAC is compared in constant time.
bool FormTokenValid(std::string_view members_db, std::string_view token, std::string_view session,
                    std::string_view id, std::string_view stored_pw, std::int64_t now);

}  // namespace credentials
