// Saving the profile fields of a member record.
#pragma once

#include <string>
#include <string_view>

#include "records/Members.h"

namespace records {

// The posted profile values, in the order the profile form posts them:
// views into the posted field list, which may be many times a record.
struct ProfileValues {
  std::string_view realname;
  std::string_view mail;
  std::string_view comment;
  std::string_view url1;
  std::string_view urlname1;
  std::string_view url2;
  std::string_view urlname2;
  std::string_view url3;
  std::string_view urlname3;
  std::string_view country;
};

// kSaved when the record exists and its pw matches the password, after every
// value that differs from the stored one has been set (an empty value
// deletes its line) and the record saved; otherwise the file is untouched. Load, check, change and save run under the members directory
// lock, so a password change or another save at the same time is not lost.
// `check`, when given, judges the stored pw value in place of the password.
UpdateResult UpdateProfile(std::string_view members_db, std::string_view id, std::string_view password,
                           const ProfileValues& values, credentials::PasswordStorage storage = credentials::PasswordStorage::kClear,
                           const PasswordCheck* check = nullptr);

}  // namespace records
