// A member's sign-ins: a random token handed to the browser in a cookie and
// kept here only as its SHA-256, in a hidden file of the members folder
// (".signin-" and 64 hex digits). The file names the session and the
// member and holds a digest of the member's stored password when the
// sign-in began: any new password (changed, reset, set by the operator)
// ends every sign-in of that member, and so does the record's removal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace records {

// How long a sign-in lasts: unused for `idle_seconds`, or begun
// `absolute_seconds` ago, it is over.
struct SignInLifetimes {
  std::int64_t idle_seconds = 30 * 24 * 3600;
  std::int64_t absolute_seconds = 90 * 24 * 3600;
};

// The token's bytes: 32 from the strong random source, as 64 hex digits.
inline constexpr std::size_t kSignInTokenHexDigits = 64;

// Begins a sign-in of member `id` of `session` (whose record must exist);
// returns its token, or nothing when the record is gone. The session's
// sign-ins that are over go first, and the member's oldest beyond
// kMaxSignInsPerMember (one device each, so a member's tenth phone ends
// the first one's sign-in).
inline constexpr std::size_t kMaxSignInsPerMember = 10;
std::optional<std::string> BeginSignIn(std::string_view dir, std::string_view session, std::string_view id,
                                       std::int64_t now, const SignInLifetimes& lifetimes = {});

// The member a token signs in to `session`; nothing for a token of another
// form, an unknown, ended or expired sign-in, another session's, or one
// whose member's password or record has changed since (a sign-in found
// over is removed). A sign-in used after an hour's rest is stamped used.
std::optional<std::string> SignedInMember(std::string_view dir, std::string_view session, std::string_view token,
                                          std::int64_t now, const SignInLifetimes& lifetimes = {});

// Ends the sign-in of `token` (nothing happens for an unknown one).
void EndSignIn(std::string_view dir, std::string_view token);

// The form token that proves a request comes from a page of this sign-in:
// derived from the sign-in's own token, which never leaves the cookie.
std::string SignInFormToken(std::string_view token);

}  // namespace records
