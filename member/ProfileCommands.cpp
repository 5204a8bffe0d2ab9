// Profile editing: opening the forms (Japanese and English) with the
// password, saving the posted form, and the second set's profile view.
#include <string>
#include <string_view>
#include <optional>
#include <utility>

#include "MemberTexts.h"
#include "PageTexts.h"
#include "credentials/FormTokens.h"
#include "member/WebModule1.h"
#include "pages/PageSet.h"
#include "pages/Pages.h"
#include "platform/Files.h"
#include "platform/Sjis.h"
#include "records/Members.h"
#include "records/PostIndex.h"
#include "records/Profiles.h"
#include "text/Fields.h"
#include "text/NameValueList.h"

namespace member {
namespace {

// Posts on one page of the second set's profile.
constexpr std::size_t kPostsPerPage = 12;

}  // namespace

std::string TWebModule1::CommandChangeProf1(bool english) {
  const std::string_view id = text::FieldView(PostedFields, "id");
  const std::string_view pw = text::FieldView(PostedFields, "pw");
  if (id.empty() || pw.empty()) {
    return Refuse(pages::Outcome::kBlank, english ? texts::IdPasswordRequiredE : texts::IdPasswordRequired);
  }
  if (!records::IsUsableName(id) || !text::FileExists(records::MemberRecordPath(MembersDb, id))) {
    LogFailedLogin(id);
    return Refuse(pages::Outcome::kUnknownMember, english ? texts::ProfileIdMissingE : texts::ProfileIdMissing, id);
  }
  if (ModernPages) {
    // The form carries a token instead of the password: bound to the pw
    // value the record holds once any upgrade to a hash is saved.
    text::NameValueList record;
    if (!records::LoadRecordIfPresent(records::MemberRecordPath(MembersDb, id), record) || !credentials::PasswordMatches(record.Value("pw"), pw)) {
      LogFailedLogin(id);
      return Refuse(pages::Outcome::kWrongPassword, {});
    }
    if (credentials::NeedsRehash(Passwords, record.Value("pw"))) {
      records::UpgradeStoredPassword(MembersDb, id, record.Value("pw"), pw, Passwords);
      if (!records::LoadRecordIfPresent(records::MemberRecordPath(MembersDb, id), record)) return Refuse(pages::Outcome::kUnknownMember, {}, id);
    }
    const std::string token = credentials::MakeFormToken(MembersDb, SessionName, id, record.Value("pw"), platform::UnixSeconds());
    return pages::ProfileEditPage(Context(), english, id, record, token, static_cast<int>(credentials::kFormTokenSeconds / 60));
  }
  // A wrong password gives the empty page, not an error page.
  std::string page = english ? pages::ProfileFormPageE(SessionName, MembersDb, id, pw, Passwords)
                             : pages::ProfileFormPage(SessionName, MembersDb, id, pw, Passwords);
  if (page.empty()) LogFailedLogin(id);
  return page;
}

std::string TWebModule1::CommandChangeProf2() {
  const std::string_view id = text::FieldView(PostedFields, "id");
  const std::string_view pw = text::FieldView(PostedFields, "pw");
  records::ProfileValues values;
  values.realname = text::FieldView(PostedFields, "realname");
  values.mail = text::FieldView(PostedFields, "mail");
  values.comment = text::FieldView(PostedFields, "comment");
  values.url1 = text::FieldView(PostedFields, "url1");
  values.urlname1 = text::FieldView(PostedFields, "urlname1");
  values.url2 = text::FieldView(PostedFields, "url2");
  values.urlname2 = text::FieldView(PostedFields, "urlname2");
  values.url3 = text::FieldView(PostedFields, "url3");
  values.urlname3 = text::FieldView(PostedFields, "urlname3");
  values.country = text::FieldView(PostedFields, "country");

  // The second set's form proves the password with a token instead.
  const std::string_view token = ModernPages && pw.empty() ? text::FieldView(PostedFields, "token") : "";
  if (id.empty() || (pw.empty() && token.empty())) return Refuse(pages::Outcome::kBlank, texts::IdPasswordRequired);
  if (!records::IsUsableName(id) || !text::FileExists(records::MemberRecordPath(MembersDb, id))) {
    LogFailedLogin(id);
    return Refuse(pages::Outcome::kUnknownMember, texts::ProfileIdMissing, id);
  }
  const std::int64_t now = platform::UnixSeconds();
  const records::PasswordCheck token_check = [&](std::string_view stored) {
    return credentials::FormTokenValid(MembersDb, token, SessionName, id, stored, now);
  };
  switch (records::UpdateProfile(MembersDb, id, pw, values, Passwords, token.empty() ? nullptr : &token_check)) {
    case records::UpdateResult::kRefused:
      LogFailedLogin(id);
      return Refuse(token.empty() ? pages::Outcome::kWrongPassword : pages::Outcome::kFormExpired, texts::ProfileNotChanged);
    case records::UpdateResult::kTooLarge: return Refuse(pages::Outcome::kRecordTooLarge, texts::RecordTooLarge);
    case records::UpdateResult::kSaved: break;
  }
  if (!ModernPages) return pages::ProfilePage(MembersDb, id);
  return Succeed(pages::Outcome::kProfileSaved, {}, id);
}

std::string TWebModule1::ProfileView(std::string_view id_bytes, std::string_view before_text) {
  // An ID typed or pasted into the address bar arrives as UTF-8; records
  // are named in Shift_JIS. The bytes as given win when both name a record.
  std::string id(id_bytes);
  auto exists = [&](const std::string& candidate) {
    return !MembersDb.empty() && records::IsUsableName(candidate) && text::FileExists(records::MemberRecordPath(MembersDb, candidate));
  };
  if (!exists(id)) {
    if (const std::optional<std::string> sjis = platform::Cp932FromUtf8(id); sjis && *sjis != id && exists(*sjis)) {
      id = *sjis;
    }
  }
  const std::string id_html = text::HtmlEscape(id);
  text::NameValueList record;
  if (UploadPath.empty()) return Refuse(pages::Outcome::kSessionMissing, {});
  if (!exists(id) || !records::LoadRecordIfPresent(records::MemberRecordPath(MembersDb, id), record)) {
    return Refuse(pages::Outcome::kUnknownMember, {}, id_html);
  }
  // Where the page of older posts ends: a decimal offset, anything else the
  // index's end.
  std::int64_t before = before_text.empty() || before_text.size() > 18 ? -1 : 0;
  for (const char c : before_text) {
    if (c < '0' || c > '9') before = -1;
    if (before >= 0) before = before * 10 + (c - '0');
  }
  const pages::PageContext context = Context();
  const records::PostPage posts = records::ReadPostPage(UploadPath, id, before, kPostsPerPage);
  std::string list, more;
  for (const records::PostEntry& post : posts.posts) {
    // A title is cut to a length when it is listed, and the cut may end
    // inside a "<br>": what it broke is left out, so the link stays whole.
    std::string_view title = pages::WithoutCutEnd(post.title);
    if (title.empty()) title = post.name;
    list += "<li>";
    if (context.upload_url.empty()) {
      list.append(title);
    } else {
      const std::string href = context.upload_url + pages::PercentEncode(post.name + post.ext);
      list.append("<a href=\"").append(href).append("\"><img src=\"").append(href);
      list.append("\" alt=\"\" loading=\"lazy\">").append(title).append("</a>");
    }
    list += "</li>\n";
  }
  if (posts.older > 0) {
    more = "<p><a href=\"" + pages::ProfileAddress(context, id) + "&amp;before=" + std::to_string(posts.older) + "\">" +
           std::string(pages::texts::PageLinkNext) + "</a></p>";
  }
  return pages::ProfileViewPage(context, id_html, record, list, more);
}

}  // namespace member
