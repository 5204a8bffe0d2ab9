#include "records/Profiles.h"

#include <string_view>
#include <utility>

#include "text/NameValueList.h"

namespace records {

UpdateResult UpdateProfile(std::string_view members_db, std::string_view id, std::string_view password,
                           const ProfileValues& values, credentials::PasswordStorage storage, const PasswordCheck* check) {
  // This order decides where first-time keys are appended.
  const std::pair<std::string_view, std::string_view> changes[] = {
      {"realname", values.realname}, {"mail", values.mail},         {"comment", values.comment},
      {"country", values.country},   {"url1", values.url1},         {"url2", values.url2},
      {"url3", values.url3},         {"urlname1", values.urlname1}, {"urlname2", values.urlname2},
      {"urlname3", values.urlname3},
  };
  return UpdateMemberRecord(members_db, id, password, [&](text::NameValueList& record) {
    for (const auto& [key, value] : changes) {
      // Setting an unchanged value would still rewrite the line with our
      // spelling of the key; leaving it alone keeps the record as it was.
      if (record.Value(key) != value) record.SetValue(key, value);
    }
  }, storage, check);
}

}  // namespace records
