// Profile editing: the forms pre-filled from the member record (Japanese and
// English) and the save of the posted form.
#include <string>
#include <string_view>
#include <optional>
#include <utility>

#include "MemberTexts.h"
#include "credentials/FormTokens.h"
#include "member/PageSet.h"
#include "member/Pages.h"
#include "member/WebModule1.h"
#include "platform/Files.h"
#include "platform/Sjis.h"
#include "records/Members.h"
#include "records/PostIndex.h"
#include "records/Profiles.h"
#include "text/Fields.h"
#include "text/NameValueList.h"

namespace member {
namespace {

struct FormRow {
  std::string_view key;
  std::string_view type;
  std::string_view size;
  std::string_view label;
  std::string_view label_e;
  std::string_view hint;    // empty: a row without a hint
  std::string_view hint_e;
};

// The rows in the order the form shows them. The note row of the Japanese
// form stands after `mail` (kNoteAfter).
constexpr FormRow kFormRows[] = {
    {"id", "text", "20", texts::LabelId, texts::LabelIdE, {}, {}},
    {"pw", "password", "15", texts::LabelPw, texts::LabelPwE, {}, {}},
    {"realname", "text", "20", texts::LabelRealname, texts::LabelRealnameE, {}, {}},
    {"country", "text", "20", texts::LabelCountry, texts::LabelCountryE, {}, {}},
    {"comment", "text", "100", texts::LabelComment, texts::LabelCommentE, {}, {}},
    {"mail", "text", "50", texts::LabelMail, texts::LabelMailE, {}, {}},
    {"urlname1", "text", "50", texts::LabelUrlname1, texts::LabelUrlname1E, texts::HintUrlname1,
     texts::HintUrlname1E},
    {"url1", "text", "50", texts::LabelUrl1, texts::LabelUrl1E, texts::HintUrl1, texts::HintUrl1E},
    {"urlname2", "text", "50", texts::LabelUrlname2, texts::LabelUrlname2E, {}, {}},
    {"url2", "text", "50", texts::LabelUrl2, texts::LabelUrl2E, {}, {}},
    {"urlname3", "text", "50", texts::LabelUrlname3, texts::LabelUrlname3E, {}, {}},
    {"url3", "text", "50", texts::LabelUrl3, texts::LabelUrl3E, {}, {}},
};
constexpr std::string_view kNoteAfter = "mail";

// Posts on one page of the second set's profile.
constexpr std::size_t kPostsPerPage = 12;

void AppendRow(std::string& page, const FormRow& row, std::string_view value, bool english) {
  page += texts::FormRowStart;
  page += english ? row.label_e : row.label;
  page += texts::FormRowLabelEnd;
  page += row.type;
  page += texts::FormRowName;
  page += row.key;
  page += texts::FormRowSize;
  page += row.size;
  page += texts::FormRowValue;
  page += value;
  const std::string_view hint = english ? row.hint_e : row.hint;
  if (hint.empty()) {
    page += texts::FormRowEnd;
  } else {
    page += texts::FormRowHint;
    page += hint;
    page += texts::FormRowHintEnd;
  }
  page += texts::FormRowGap;
}

std::string BuildFormPage(std::string_view session, std::string_view members_db, std::string_view id,
                          std::string_view password, credentials::PasswordStorage storage, bool english) {
  if (!records::IsUsableName(id)) return {};
  text::NameValueList record;
  if (!records::LoadRecordIfPresent(records::MemberRecordPath(members_db, id), record)) return {};
  if (!credentials::PasswordMatches(record.Value("pw"), password)) return {};
  records::UpgradeStoredPassword(members_db, id, record.Value("pw"), password, storage);

  std::string page;
  page.reserve(4096);
  page += texts::FormHead;
  page += english ? texts::FormHeadingE : texts::FormHeading;
  page += texts::FormStart;
  page += session;
  page += texts::FormAfterSession;
  for (const FormRow& row : kFormRows) {
    // The ID and password rows show the values as posted (a stored hash is
    // no password); every other row the record's value.
    const std::string_view value = row.key == "id" ? id : row.key == "pw" ? password : record.Value(row.key);
    AppendRow(page, row, value, english);
    if (!english && row.key == kNoteAfter) {
      page += texts::FormNoteRow;
      page += texts::FormRowGap;
    }
  }
  page += english ? texts::FormTailE : texts::FormTail;
  return page;
}

}  // namespace

std::string ProfileFormPage(std::string_view session, std::string_view members_db, std::string_view id,
                            std::string_view password, credentials::PasswordStorage storage) {
  return BuildFormPage(session, members_db, id, password, storage, false);
}

std::string ProfileFormPageE(std::string_view session, std::string_view members_db, std::string_view id,
                             std::string_view password, credentials::PasswordStorage storage) {
  return BuildFormPage(session, members_db, id, password, storage, true);
}

std::string TWebModule1::CommandChangeProf1(bool english) {
  const std::string_view id = text::FieldView(PostedFields, "id");
  const std::string_view pw = text::FieldView(PostedFields, "pw");
  if (id.empty() || pw.empty()) {
    return Refuse(Outcome::kBlank, english ? texts::IdPasswordRequiredE : texts::IdPasswordRequired);
  }
  if (!records::IsUsableName(id) || !text::FileExists(records::MemberRecordPath(MembersDb, id))) {
    LogFailedLogin(id);
    return Refuse(Outcome::kUnknownMember, english ? texts::ProfileIdMissingE : texts::ProfileIdMissing, id);
  }
  if (ModernPages) {
    // The form carries a token instead of the password: bound to the pw
    // value the record holds once any upgrade to a hash is saved.
    text::NameValueList record;
    if (!records::LoadRecordIfPresent(records::MemberRecordPath(MembersDb, id), record) || !credentials::PasswordMatches(record.Value("pw"), pw)) {
      LogFailedLogin(id);
      return Refuse(Outcome::kWrongPassword, {});
    }
    if (credentials::NeedsRehash(Passwords, record.Value("pw"))) {
      records::UpgradeStoredPassword(MembersDb, id, record.Value("pw"), pw, Passwords);
      if (!records::LoadRecordIfPresent(records::MemberRecordPath(MembersDb, id), record)) return Refuse(Outcome::kUnknownMember, {}, id);
    }
    const std::string token = credentials::MakeFormToken(MembersDb, SessionName, id, record.Value("pw"), platform::UnixSeconds());
    return ProfileEditPage(Context(), english, id, record, token, static_cast<int>(credentials::kFormTokenSeconds / 60));
  }
  // A wrong password gives the empty page, not an error page.
  std::string page = english ? ProfileFormPageE(SessionName, MembersDb, id, pw, Passwords)
                             : ProfileFormPage(SessionName, MembersDb, id, pw, Passwords);
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
  if (id.empty() || (pw.empty() && token.empty())) return Refuse(Outcome::kBlank, texts::IdPasswordRequired);
  if (!records::IsUsableName(id) || !text::FileExists(records::MemberRecordPath(MembersDb, id))) {
    LogFailedLogin(id);
    return Refuse(Outcome::kUnknownMember, texts::ProfileIdMissing, id);
  }
  const std::int64_t now = platform::UnixSeconds();
  const records::PasswordCheck token_check = [&](std::string_view stored) {
    return credentials::FormTokenValid(MembersDb, token, SessionName, id, stored, now);
  };
  switch (records::UpdateProfile(MembersDb, id, pw, values, Passwords, token.empty() ? nullptr : &token_check)) {
    case records::UpdateResult::kRefused:
      LogFailedLogin(id);
      return Refuse(token.empty() ? Outcome::kWrongPassword : Outcome::kFormExpired, texts::ProfileNotChanged);
    case records::UpdateResult::kTooLarge: return Refuse(Outcome::kRecordTooLarge, texts::RecordTooLarge);
    case records::UpdateResult::kSaved: break;
  }
  if (!ModernPages) return ProfilePage(MembersDb, id);
  return Succeed(Outcome::kProfileSaved, {}, id);
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
  if (UploadPath.empty()) return Refuse(Outcome::kSessionMissing, {});
  if (!exists(id) || !records::LoadRecordIfPresent(records::MemberRecordPath(MembersDb, id), record)) {
    return Refuse(Outcome::kUnknownMember, {}, id_html);
  }
  // Where the page of older posts ends: a decimal offset, anything else the
  // index's end.
  std::int64_t before = before_text.empty() || before_text.size() > 18 ? -1 : 0;
  for (const char c : before_text) {
    if (c < '0' || c > '9') before = -1;
    if (before >= 0) before = before * 10 + (c - '0');
  }
  const PageContext context = Context();
  const records::PostPage posts = records::ReadPostPage(UploadPath, id, before, kPostsPerPage);
  std::string list, more;
  for (const records::PostEntry& post : posts.posts) {
    // A title is cut to a length when it is listed, and the cut may end
    // inside a "<br>": what it broke is left out, so the link stays whole.
    std::string_view title = WithoutCutEnd(post.title);
    if (title.empty()) title = post.name;
    list += "<li>";
    if (context.upload_url.empty()) {
      list.append(title);
    } else {
      const std::string href = context.upload_url + PercentEncode(post.name + post.ext);
      list.append("<a href=\"").append(href).append("\"><img src=\"").append(href);
      list.append("\" alt=\"\" loading=\"lazy\">").append(title).append("</a>");
    }
    list += "</li>\n";
  }
  if (posts.older > 0) {
    more = "<p><a href=\"" + ProfileAddress(context, id) + "&amp;before=" + std::to_string(posts.older) + "\">" +
           std::string(texts::PageLinkNext) + "</a></p>";
  }
  return ProfileViewPage(context, id_html, record, list, more);
}

}  // namespace member
