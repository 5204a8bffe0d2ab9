// What an operator does to a session's member records outside of a request:
// listing them, judging one, setting a password, converting passwords to
// the session's stored form, removing a member. Every write holds the
// members directory lock and replaces the record atomically, exactly as the
// commands of the site do, so it is safe while the site is serving.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "credentials/Passwords.h"
#include "records/Members.h"

namespace records {

// The IDs of the records in a members directory (regular files whose name
// ends in ".txt"), sorted bytewise. Throws platform::EFOpenError when the
// directory cannot be read.
std::vector<std::string> MemberIds(std::string_view dir);

// What keeps a record file from being a member the site can serve.
enum class RecordFault {
  kNone,
  kUnusableName,  // the site never reads or writes a record of that ID
  kTooLarge,      // over kMaxRecordBytes: the site refuses to save it
  kNoId,          // no id= line
  kNoPassword,    // no pw= line: only the empty password matches
  kIdMismatch,    // its id= names another member than its file name
};
// Judges the record of `id` whose file holds `bytes`.
RecordFault JudgeRecord(std::string_view id, std::string_view bytes);

// Sets the record's first pw= line to `stored` (already in the form to
// store) under the members directory lock. kRefused when there is no such
// record; kTooLarge, writing nothing, when the record would grow too large.
UpdateResult SetMemberPassword(std::string_view dir, std::string_view id, std::string_view stored);

// Removes the record under the members directory lock; false when there
// was none. Throws platform::EFCreateError when it is still there after.
bool RemoveMember(std::string_view dir, std::string_view id);

// What became of one record in RehashPasswords.
enum class RehashOutcome { kRewritten, kAlreadyStored, kNoPassword, kTooLarge, kGone };

// Rewrites every record whose password NeedsRehash for `storage`, one at a
// time: each is read again under the members directory lock, so a password
// changed meanwhile is the one converted, and replaced atomically. `report`
// hears each record's ID and outcome.
void RehashPasswords(std::string_view dir, credentials::PasswordStorage storage,
                     const std::function<void(const std::string& id, RehashOutcome outcome)>& report);

}  // namespace records
