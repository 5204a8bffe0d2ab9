// The account commands: signing up a new member and changing a password.
// Both answer with the error page of the first failed check, and neither
// writes anything before all checks have passed.
#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "MemberTexts.h"
#include "PageTexts.h"
#include "member/WebModule1.h"
#include "pages/Pages.h"
#include "platform/Files.h"
#include "platform/Sjis.h"
#include "records/Members.h"
#include "records/SignIns.h"
#include "records/SelfService.h"
#include "records/Storage.h"
#include "text/NameValueList.h"

namespace member {

namespace {

// The longest ID a record's file name leaves room for (".txt" after it).
constexpr std::size_t kMaxIdBytes = 251;

// A posted blank is stored as "&nbsp;"; other bytes up to 0x20 show as
// nothing at all, and the ideographic space as a blank. Only a whole last
// character counts: 0x81 0x40 may end with the trail byte of the one before.
bool HasBlankAtEnds(std::string_view id) {
  constexpr std::string_view kStoredBlank = "&nbsp;";
  constexpr std::string_view kIdeographicSpace = "\x81\x40";
  auto blank_byte = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  if (id.empty()) return false;
  if (id.starts_with(kStoredBlank) || id.ends_with(kStoredBlank) || blank_byte(id.front()) || blank_byte(id.back()) ||
      id.starts_with(kIdeographicSpace)) {
    return true;
  }
  std::size_t last = 0;
  for (std::size_t pos = 0; pos < id.size(); pos += platform::CharLength(id, pos)) last = pos;
  return id.substr(last) == kIdeographicSpace;
}

// Posted values keep a reference to a character Shift_JIS lacks, which
// pages show as that character: in an ID it could show a no-break or
// zero-width space, making one that looks like another member's. Every
// other "&" of a posted value is stored escaped, so "&#" is always one.
bool HoldsCharacterReference(std::string_view id) { return id.find("&#") != std::string_view::npos; }

// The spellings under which `id` would pass for another member: its UTF-8
// reading (a link typed in an address bar arrives as UTF-8, and a profile
// falls back to that reading), and either with full-width letters and
// digits as ASCII. Those that differ from `id`.
std::vector<std::string> LookAlikes(std::string_view id) {
  std::vector<std::string> spellings;
  auto add = [&](std::string spelling) {
    if (spelling != id && std::find(spellings.begin(), spellings.end(), spelling) == spellings.end()) {
      spellings.push_back(std::move(spelling));
    }
  };
  const std::string read = platform::Cp932FromUtf8(id).value_or(std::string(id));
  add(read);
  add(platform::AsciiFromFullWidthSjis(id));
  add(platform::AsciiFromFullWidthSjis(read));
  return spellings;
}

}  // namespace

std::string TWebModule1::CommandRegistration() {
  const std::string_view id = text::FieldView(PostedFields, "id");
  const std::string_view pw = text::FieldView(PostedFields, "pw");
  const std::string_view pw2 = text::FieldView(PostedFields, "pw2");
  const std::string_view realname = text::FieldView(PostedFields, "realname");
  const std::string_view mail = text::FieldView(PostedFields, "mail");
  const std::string_view country = text::FieldView(PostedFields, "country");

  if (id.empty() || pw.empty() || pw2.empty() || realname.empty() || mail.empty()) {
    return RefuseBlank(texts::Blank, {"id", "pw", "pw2", "realname", "mail"});
  }
  if (pw != pw2) return Refuse(pages::Outcome::kPasswordMismatch, texts::PasswordMismatch);
  if (pw.size() < records::kMinPasswordLength) return Refuse(pages::Outcome::kPasswordTooShort, texts::PasswordTooShort);
  // An ID becomes a file name and the first line of its record: one that
  // could leave the members directory or start a line of its own is refused
  // before anything looks at the file system.
  if (id.size() > kMaxIdBytes) return Refuse(pages::Outcome::kIdTooLong, texts::IdUnusable, std::to_string(kMaxIdBytes));
  if (!records::IsUsableName(id) || HoldsCharacterReference(id)) return Refuse(pages::Outcome::kIdUnusable, texts::IdUnusable);
  // "alice", "alice " and " alice" would be three members whose pages look
  // alike.
  if (HasBlankAtEnds(id)) return Refuse(pages::Outcome::kIdBlankAtEnds, texts::IdBlankAtEnds);
  const std::string path = records::MemberRecordPath(MembersDb, id);
  // A member who removed themselves keeps the ID: old links to their
  // profile must not show someone else.
  if (text::FileExists(path) || records::IsIdReserved(MembersDb, id)) {
    return Refuse(pages::Outcome::kIdTaken, texts::IdAlreadyRegistered);
  }
  for (const std::string& other : LookAlikes(id)) {
    if (records::IsUsableName(other) && (text::FileExists(records::MemberRecordPath(MembersDb, other)) || records::IsIdReserved(MembersDb, other))) {
      return Refuse(pages::Outcome::kIdTaken, texts::IdAlreadyRegistered);
    }
  }
  // "Hanako" beside "hanako" would be two members whose pages look alike;
  // reserved IDs are kept folded already.
  if (SignIn && records::IdTakenInAnyCase(MembersDb, id)) return Refuse(pages::Outcome::kIdTaken, texts::IdAlreadyRegistered);

  const std::string stored_pw = credentials::StoredPassword(Passwords, pw);
  const std::pair<std::string_view, std::string_view> lines[] = {
      {"id", id}, {"pw", stored_pw}, {"realname", realname}, {"country", country}, {"mail", mail}};
  std::size_t size = 0;
  for (const auto& [key, value] : lines) size += key.size() + 1 + value.size() + 2;
  if (size > records::kMaxRecordBytes) return Refuse(pages::Outcome::kRecordTooLarge, texts::RecordTooLarge);
  std::string record;
  record.reserve(size);
  for (const auto& [key, value] : lines) record.append(key).append(1, '=').append(value).append("\r\n");
  // Two registrations of one ID can both pass the test above; the exclusive
  // create lets exactly one of them have the record and never replaces it.
  if (!records::CreateFileText(record, path)) return Refuse(pages::Outcome::kIdTaken, texts::IdAlreadyRegistered);
  // A removal reserves the ID before its record goes, so a registration
  // that raced it sees the reservation now and gives the ID back.
  if (records::IsIdReserved(MembersDb, id)) {
    platform::RemoveFile(path);
    return Refuse(pages::Outcome::kIdTaken, texts::IdAlreadyRegistered);
  }
  LogActivity("registered", id);
  std::vector<pages::PageLink> next;
  if (SignIn) {
    const pages::PageContext context = Context();
    next.push_back({pages::texts::PageLinkSignIn, pages::FormAddress(context, "signin")});
  }
  return Succeed(pages::Outcome::kRegistered, pages::RegistrationAcceptedPage(), id, id, next);
}

std::string TWebModule1::CommandChangePw() {
  // Signed in, the form names no ID: the sign-in does, and only a page of
  // it may change the password (the current one is still asked for).
  if (SignIn && !SignedInId.empty() && text::FieldView(PostedFields, "id").empty()) {
    if (PostedCsrf != records::SignInFormToken(SignInToken)) return Refuse(pages::Outcome::kForeignRequest, {});
    PostedFields.append(PostedFields.empty() ? "id=" : "\r\nid=").append(SignedInId);
  }
  const std::string_view id = text::FieldView(PostedFields, "id");
  const std::string_view pw0 = text::FieldView(PostedFields, "pw0");
  const std::string_view pw1 = text::FieldView(PostedFields, "pw1");
  const std::string_view pw2 = text::FieldView(PostedFields, "pw2");

  if (id.empty() || pw0.empty() || pw1.empty() || pw2.empty()) return RefuseBlank(texts::Blank, {"id", "pw0", "pw1", "pw2"});
  // An ID that can never be registered has no record, whatever its path
  // would reach.
  if (!records::IsUsableName(id) || !text::FileExists(records::MemberRecordPath(MembersDb, id))) {
    LogFailedLogin(id);
    return Refuse(pages::Outcome::kUnknownMember, texts::IdDoesNotExist, id);
  }
  if (pw1 != pw2) return Refuse(pages::Outcome::kNewPasswordMismatch, texts::NewPasswordMismatch);
  if (pw1.size() < records::kMinPasswordLength) return Refuse(pages::Outcome::kPasswordTooShort, texts::PasswordTooShort);
  switch (records::ChangeMemberPassword(MembersDb, id, pw0, pw1, Passwords)) {
    case records::UpdateResult::kRefused:
      LogFailedLogin(id);
      return Refuse(pages::Outcome::kWrongCurrentPassword, texts::PasswordNotChanged);
    case records::UpdateResult::kTooLarge: return Refuse(pages::Outcome::kRecordTooLarge, texts::RecordTooLarge);
    case records::UpdateResult::kSaved: break;
  }
  LogActivity("password changed", id);
  // The new password ended every sign-in of the member; the device it was
  // changed on stays signed in, with a new token.
  const std::string changed(id);
  if (SignIn && SignedInId == changed) StartSignIn(changed);
  return Succeed(pages::Outcome::kPasswordChanged, pages::RegistrationAcceptedPage(), changed);
}

}  // namespace member
