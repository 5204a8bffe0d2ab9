// Saving the profile fields of a member record.
#pragma once

#include <string>
#include <string_view>

namespace member {

// The posted profile values, in the order the profile form posts them.
struct ProfileValues {
  std::string realname;
  std::string mail;
  std::string comment;
  std::string url1;
  std::string urlname1;
  std::string url2;
  std::string urlname2;
  std::string url3;
  std::string urlname3;
  std::string country;
};

// True when the record exists and its pw equals the password, after every
// value that differs from the stored one has been set (an empty value
// deletes its line) and the record saved; false otherwise, the file
// untouched. Load, check, change and save run under the members directory
// lock, so a password change or another save at the same time is not lost.
bool UpdateProfile(std::string_view members_db, std::string_view id, std::string_view password,
                   const ProfileValues& values);

}  // namespace member
