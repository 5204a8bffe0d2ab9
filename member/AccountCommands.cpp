// The account commands: signing up a new member and changing a password.
// Both answer with the error page of the first failed check, and neither
// writes anything before all checks have passed.
#include <string>

#include "MemberTexts.h"
#include "member/Members.h"
#include "member/Pages.h"
#include "member/Storage.h"
#include "member/WebModule1.h"
#include "text/NameValueList.h"

namespace member {

namespace {

// Registration and password changes share this length rule; the length is
// counted in bytes of the stored (escaped) text.
constexpr std::size_t kMinPasswordLength = 5;

}  // namespace

std::string TWebModule1::CommandRegistration() {
  const std::string id = text::FieldValue(PostedFields, "id");
  const std::string pw = text::FieldValue(PostedFields, "pw");
  const std::string pw2 = text::FieldValue(PostedFields, "pw2");
  const std::string realname = text::FieldValue(PostedFields, "realname");
  const std::string mail = text::FieldValue(PostedFields, "mail");
  const std::string country = text::FieldValue(PostedFields, "country");

  if (id.empty() || pw.empty() || pw2.empty() || realname.empty() || mail.empty()) {
    return ErrorPage(texts::Blank);
  }
  if (pw != pw2) return ErrorPage(texts::PasswordMismatch);
  if (pw.size() < kMinPasswordLength) return ErrorPage(texts::PasswordTooShort);
  // An ID becomes a file name and the first line of its record: one that
  // could leave the members directory or start a line of its own is refused
  // before anything looks at the file system.
  if (!IsUsableName(id)) return ErrorPage(texts::IdUnusable);
  const std::string path = MemberRecordPath(MembersDb, id);
  if (text::FileExists(path)) return ErrorPage(texts::IdAlreadyRegistered);

  std::string record;
  record.reserve(40 + id.size() + pw.size() + realname.size() + country.size() + mail.size());
  record += "id=" + id + "\r\n";
  record += "pw=" + pw + "\r\n";
  record += "realname=" + realname + "\r\n";
  record += "country=" + country + "\r\n";
  record += "mail=" + mail + "\r\n";
  // Two registrations of one ID can both pass the test above; the exclusive
  // create lets exactly one of them have the record and never replaces it.
  if (!CreateFileText(record, path)) return ErrorPage(texts::IdAlreadyRegistered);
  return RegistrationAcceptedPage();
}

std::string TWebModule1::CommandChangePw() {
  const std::string id = text::FieldValue(PostedFields, "id");
  const std::string pw0 = text::FieldValue(PostedFields, "pw0");
  const std::string pw1 = text::FieldValue(PostedFields, "pw1");
  const std::string pw2 = text::FieldValue(PostedFields, "pw2");

  if (id.empty() || pw0.empty() || pw1.empty() || pw2.empty()) return ErrorPage(texts::Blank);
  // An ID that can never be registered has no record, whatever its path
  // would reach.
  if (!IsUsableName(id) || !text::FileExists(MemberRecordPath(MembersDb, id))) {
    return ErrorPage(texts::IdDoesNotExist);
  }
  if (pw1 != pw2) return ErrorPage(texts::NewPasswordMismatch);
  if (pw1.size() < kMinPasswordLength) return ErrorPage(texts::PasswordTooShort);
  if (!ChangeMemberPassword(MembersDb, id, pw0, pw1)) return ErrorPage(texts::PasswordNotChanged);
  return RegistrationAcceptedPage();
}

}  // namespace member
