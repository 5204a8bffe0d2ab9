// Member records: one name=value file per member, MembersDb + ID + ".txt",
// and the credential operations on them.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "credentials/Passwords.h"
#include "platform/Files.h"
#include "text/NameValueList.h"

namespace records {

// False for a request value that must never become part of a file name: one
// holding "/", "\" (outside a double-byte character), NUL, CR or LF, a line
// break ("<" or ">"), or one too long to be a file name with ".txt" after it.
// Such a value could reach files outside its directory, add lines of the
// poster's choosing to a record, or fail only once the file is written.
bool IsUsableName(std::string_view name);

// IncludeTrailingDelimiter(dir) + id + ".txt".
std::string MemberRecordPath(std::string_view dir, std::string_view id);

// Whether a member's record is named `id` in another ASCII letter case
// (Windows finds those as the same file already). Reads the members
// folder's listing: a registration costs one pass over it.
bool IdTakenInAnyCase(std::string_view dir, std::string_view id);

// Serialises every load-change-save of the records of one members directory,
// so two changes at once both survive.
platform::FileLock LockMembersDirectory(std::string_view dir);

// Loads the record at `path`, read without the lock; false when it is not
// there (removed meanwhile, by the operator's tool for one). A record that
// is there but cannot be read throws as ever.
bool LoadRecordIfPresent(const std::string& path, text::NameValueList& record);

// The shortest new password every way of setting one accepts (registration,
// changes, resets, the operator's tool), counted in bytes of the stored
// (escaped) text.
inline constexpr std::size_t kMinPasswordLength = 5;

// The most bytes one member record may take when it is saved: a record is
// read whole by every view of the profile page.
inline constexpr std::size_t kMaxRecordBytes = 64 * 1024;

// What became of a load-change-save of a member record.
enum class UpdateResult {
  kSaved,
  kRefused,   // unusable ID, no such record, or another password: nothing written
  kTooLarge,  // the changed record would exceed kMaxRecordBytes: nothing written
};

// Every operation below checks a password with PasswordMatches, so a record
// may hold it in the clear or hashed. Given a hashing `storage`, a record
// still in the clear whose password matched is rewritten with the hash
// (upgrade on login). The costly parts, a hash check and a new hash, run
// before the members directory lock is taken; under the lock a pw value is
// trusted only while it is the one that was checked.

// 0: record exists, password matches; 1: wrong password; 2: no such record
// (an unusable ID counts as no record).
int CheckMemberPassword(std::string_view dir, std::string_view id, std::string_view password,
                        credentials::PasswordStorage storage = credentials::PasswordStorage::kClear);

// Judges a record's pw value in place of a password (a form's token).
using PasswordCheck = std::function<bool(std::string_view stored)>;

// Loads the record, and when its pw matches `password` (or `check`, when
// given, accepts it) lets `change` alter it and saves it whole, all under
// the members directory lock, so two changes at once both survive.
UpdateResult UpdateMemberRecord(std::string_view dir, std::string_view id, std::string_view password,
                                const std::function<void(text::NameValueList&)>& change,
                                credentials::PasswordStorage storage = credentials::PasswordStorage::kClear,
                                const PasswordCheck* check = nullptr);

// kSaved when the record existed, its pw matched old_password and it was
// saved with the new one (in the form `storage` stores); otherwise the
// record is untouched.
UpdateResult ChangeMemberPassword(std::string_view dir, std::string_view id, std::string_view old_password,
                                  std::string_view new_password, credentials::PasswordStorage storage = credentials::PasswordStorage::kClear);

// After `password` matched `checked`, the record's pw value: rewrites the
// record with the password in the form `storage` stores, when NeedsRehash
// says so and the record still holds `checked`. A change saved since wins;
// an upgrade that cannot be saved is left for the next login.
void UpgradeStoredPassword(std::string_view dir, std::string_view id, std::string_view checked,
                           std::string_view password, credentials::PasswordStorage storage);

}  // namespace records
