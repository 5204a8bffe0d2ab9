// What members do for themselves, as kept in the members folder: the
// pending password reset of a member (a hidden file per member holding the
// SHA-256 of the mailed token, its expiry and when mails went out) and the
// IDs of members who removed themselves, kept reserved so that nobody can
// take one and be mistaken for them through old links.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "records/Members.h"
#include "records/ResetState.h"

namespace records {

inline constexpr std::int64_t kResetTokenSeconds = 30 * 60;
inline constexpr std::size_t kResetMailsPerHour = 3;
// Random bytes of a token (40 hex digits in the link).
inline constexpr std::size_t kResetTokenBytes = 20;

// ".removed-" + 32 hex digits of the SHA-256 of the ID with ASCII letters
// upper-cased: a file system that ignores letter case would give "ALICE"
// the record of a removed "alice".
std::string ReservedIdPath(std::string_view dir, std::string_view id);

struct ResetIssue {
  enum Result { kIssued, kNoMember, kNoAddress, kLimit } result = kNoMember;
  std::string address;  // the record's mail value (kIssued, kNoAddress)
};
// Under the members lock: when the record exists under exactly this ID (a
// file system that ignores letter case finds "alice" for "ALICE": such a
// spelling counts as no member, so it gets no limit or token of its own),
// holds a plain mail address, and fewer than kResetMailsPerHour mails went
// out in the last hour both to the member and to that address, `token`
// (kResetTokenBytes as hex, drawn by the caller) replaces any pending one
// and counts as a mail sent to both. Otherwise nothing changes.
ResetIssue IssueResetToken(std::string_view dir, std::string_view id, std::string_view token, std::int64_t now);

// Whether `token` is the member's pending one and has not expired; the
// hashes are compared in constant time.
bool ResetTokenValid(std::string_view dir, std::string_view id, std::string_view token, std::int64_t now);

enum class ResetResult { kDone, kInvalid, kTooLarge };
// Under the members lock, with the token checked again there: the token is
// used up first (so it serves once, whatever happens next), then the
// record's pw becomes `stored_pw`; a record that could not take it keeps
// the token. `address` receives the record's mail.
ResetResult ResetPassword(std::string_view dir, std::string_view id, std::string_view token,
                          std::string_view stored_pw, std::int64_t now, std::string& address);

enum class RemovalResult { kRemoved, kWrongPassword, kNoMember };
// Checks the password (a hash before the lock, as every check), then under
// the members lock reserves the ID, removes the record and any pending
// reset. `day`: the date the reservation notes.
RemovalResult RemoveOwnAccount(std::string_view dir, std::string_view id, std::string_view password,
                               std::string_view day);

// Whether the ID was given up by a member who removed themselves.
bool IsIdReserved(std::string_view dir, std::string_view id);
// Frees a reserved ID; false when it was not reserved.
bool FreeReservedId(std::string_view dir, std::string_view id);

// Removes every post of the member from the upload folder, image and
// record, under the posts lock, and the member's post index; the number of
// posts removed. Reads every post record of the folder once. A removal that
// leaves the posts still ends the index (RemovePostIndex): the listing goes
// with the record, so that a later holder of the ID is not shown the photos.
std::size_t RemovePostsOf(const std::string& upload_dir, std::string_view id);

}  // namespace records
