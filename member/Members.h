// Member records: one name=value file per member, MembersDb + ID + ".txt",
// and the credential operations on them.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/Files.h"
#include "text/NameValueList.h"

namespace member {

// False for a request value that must never become part of a file name: one
// holding "/", "\" (outside a double-byte character), NUL, CR or LF. Such a
// value could reach files outside its directory or, in an ID, add lines of the
// poster's choosing to a record.
bool IsUsableName(std::string_view name);

// IncludeTrailingDelimiter(dir) + id + ".txt".
std::string MemberRecordPath(std::string_view dir, std::string_view id);

// Serialises every load-change-save of the records of one members directory,
// so two changes at once both survive.
platform::FileLock LockMembersDirectory(std::string_view dir);

// 0: record exists, password matches; 1: wrong password; 2: no such record
// (an unusable ID counts as no record).
int CheckMemberPassword(std::string_view dir, std::string_view id, std::string_view password);

// Loads the record, and when its pw equals `password` lets `change` alter it
// and saves it whole, all under the members directory lock, so two changes
// at once both survive. False, with nothing written, for an unusable ID, a
// missing record or a different password.
bool UpdateMemberRecord(std::string_view dir, std::string_view id, std::string_view password,
                        const std::function<void(text::NameValueList&)>& change);

// True when the record existed, its pw equalled old_password and it was saved
// with the new one; false otherwise, the record untouched.
bool ChangeMemberPassword(std::string_view dir, std::string_view id, std::string_view old_password,
                          std::string_view new_password);

}  // namespace member
