// Signing in and out (session key SignIn=1): a cookie stands for the
// member's ID and password on this device until it is signed out, its
// lifetimes end or the member's password changes.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "MemberTexts.h"
#include "PageTexts.h"
#include "credentials/FormTokens.h"
#include "member/WebModule1.h"
#include "pages/PageSet.h"
#include "platform/Files.h"
#include "platform/System.h"
#include "records/Members.h"
#include "records/Posting.h"
#include "records/SignIns.h"
#include "records/Storage.h"
#include "text/Fields.h"
#include "text/NameValueList.h"

namespace member {
namespace {

constexpr std::string_view kCookieName = "orvalengate-signin";


}  // namespace

std::string TWebModule1::SignInCookieName() const {
  // RFC 6265bis: a "__Host-" cookie is sent only over HTTPS, set only with
  // Secure and Path=/ and no Domain, so no other host can plant one.
  std::string name(kCookieName);
  if (SiteUrl.starts_with("https://")) name.insert(0, "__Host-");
  return name;
}

void TWebModule1::ReadSignIn(std::string_view cookie_header) {
  SignInToken.clear();
  SignedInId.clear();
  if (!SignIn || MembersDb.empty()) return;
  const std::optional<std::string_view> token = text::CookieValue(cookie_header, SignInCookieName());
  if (!token) return;
  SignInToken = std::string(*token);
  if (const std::optional<std::string> id =
          records::SignedInMember(MembersDb, SessionName, SignInToken, platform::UnixSeconds(), SignInLifetimes)) {
    SignedInId = *id;
  }
}

bool TWebModule1::FromAnotherSite(std::string_view origin, std::string_view host, std::string_view fetch_site) {
  if (fetch_site == "cross-site") return true;
  // "null" is what a page that sends no referrer (the reset form) sends
  // too: it says nothing, and the browser's own word above decides.
  if (origin.empty() || origin == "null") return false;
  const std::size_t scheme = origin.find("://");
  return scheme == std::string_view::npos || origin.substr(scheme + 3) != host;
}

std::string TWebModule1::MemberForm(std::string_view which) {
  const pages::PageContext context = Context();
  const std::string hidden = "<input type=\"hidden\" name=\"session\" value=\"" + context.session + "\">\n";
  // Pages that name who is signed in, or carry their form token, are kept
  // by no cache.
  ResponseHeaders.emplace_back("Cache-Control", "no-store");
  auto form_page = [&](std::string_view heading, std::string_view command, std::string_view fields,
                       std::string_view enctype = {}) {
    std::string form = "<form method=\"post\"";
    if (!enctype.empty()) form.append(" enctype=\"").append(enctype).append("\"");
    form.append(" action=\"").append(context.action).append("\">\n").append(hidden);
    form.append("<input type=\"hidden\" name=\"command\" value=\"").append(command).append("\">\n");
    form.append("<input type=\"hidden\" name=\"csrf\" value=\"").append(records::SignInFormToken(SignInToken));
    form.append("\">\n").append(fields).append("</form>");
    std::vector<pages::PageLink> links = {{pages::texts::PageLinkMyProfile, pages::ProfileAddress(context, SignedInId)}};
    for (pages::PageLink& link : MenuLinks()) {
      if (link.href.ends_with("form=" + std::string(which))) continue;  // the page itself
      links.push_back(std::move(link));
    }
    return pages::MemberFormPage(context, pages::LineOf(heading, 0), pages::LineOf(heading, 1), form, links);
  };
  if (!SignedInId.empty()) {
    if (which == "post") {
      return form_page(pages::texts::PagePostHeading, "postleaf", pages::texts::PagePostFields, "multipart/form-data");
    }
    if (which == "password") {
      // No ID field: the sign-in names the member.
      return form_page(pages::texts::PagePasswordHeading, "changepw", pages::texts::PagePasswordFields);
    }
    if (which == "signout") {
      return form_page(pages::texts::PageSignOutHeading, "signout",
                       std::string(pages::texts::PageSignOutText) + std::string(pages::texts::PageSignOutButton) + "\n");
    }
    if (which == "profile" || which == "profile-en") {
      // The profile form as the password opens it, with the sign-in's form
      // token beside the form's own.
      text::NameValueList record;
      if (!records::LoadRecordIfPresent(records::MemberRecordPath(MembersDb, SignedInId), record)) {
        return Refuse(pages::Outcome::kUnknownMember, {}, SignedInId);
      }
      const std::string token =
          credentials::MakeFormToken(MembersDb, SessionName, SignedInId, record.Value("pw"), platform::UnixSeconds());
      const std::string csrf = "<input type=\"hidden\" name=\"csrf\" value=\"" + records::SignInFormToken(SignInToken) +
                               "\">\n" + std::string(pages::texts::PageProfilePasswordField);
      return pages::ProfileEditPage(context, which == "profile-en", SignedInId, record, token,
                                    static_cast<int>(credentials::kFormTokenSeconds / 60), csrf);
    }
  }
  // Forms for members signed in or not: they ask for the ID themselves.
  if (which == "forgot" && PasswordReset) {
    const std::string form = "<form method=\"post\" action=\"" + context.action + "\">\n" + hidden +
                             "<input type=\"hidden\" name=\"command\" value=\"forgotpw\">\n" +
                             std::string(pages::texts::PageForgotFields) + "</form>";
    const std::vector<pages::PageLink> links = {
        {pages::texts::PageLinkSignIn, pages::FormAddress(context, "signin")}};
    return pages::MemberFormPage(context, pages::LineOf(pages::texts::PageForgotHeading, 0),
                                 pages::LineOf(pages::texts::PageForgotHeading, 1), form, links);
  }
  if (which == "leave" && SelfRemoval) {
    // What becomes of the photos is said before the member commits.
    std::string form = "<form method=\"post\" action=\"" + context.action + "\">\n" + hidden +
                       "<input type=\"hidden\" name=\"command\" value=\"removeself\">\n" +
                       std::string(pages::texts::PageLeaveIntro);
    form.append(RemoveOwnPosts ? pages::texts::PageLeavePostsChoice : pages::texts::PageLeavePostsStay);
    form.append(pages::texts::PageLeaveId).append(SignedInId).append(pages::texts::PageLeaveFields).append("</form>");
    std::vector<pages::PageLink> links;
    if (!SignedInId.empty()) links.push_back({pages::texts::PageLinkMyProfile, pages::ProfileAddress(context, SignedInId)});
    return pages::MemberFormPage(context, pages::LineOf(pages::texts::PageLeaveHeading, 0),
                                 pages::LineOf(pages::texts::PageLeaveHeading, 1), form, links);
  }
  // Not signed in (or the sign-in is over): the way to sign in, which then
  // leads on.
  const std::string form = "<form method=\"post\" action=\"" + context.action + "\">\n" + hidden +
                           "<input type=\"hidden\" name=\"command\" value=\"signin\">\n" +
                           std::string(pages::texts::PageSignInFields) + "</form>";
  std::vector<pages::PageLink> links;
  if (PasswordReset) {
    links.push_back({pages::texts::PageLinkRequestReset, pages::FormAddress(context, "forgot")});
  }
  return pages::MemberFormPage(context, pages::LineOf(pages::texts::PageSignInHeading, 0),
                               pages::LineOf(pages::texts::PageSignInHeading, 1), form, links);
}

std::vector<pages::PageLink> TWebModule1::MenuLinks() const {
  if (!SignIn || SignedInId.empty()) return {};
  const pages::PageContext context = Context();
  std::vector<pages::PageLink> links = {{pages::texts::PageLinkEditProfile, pages::FormAddress(context, "profile")},
                                        {pages::texts::PageLinkPostPhoto, pages::FormAddress(context, "post")},
                                        {pages::texts::PageLinkChangePassword, pages::FormAddress(context, "password")},
                                        {pages::texts::PageLinkSignOut, pages::FormAddress(context, "signout")}};
  if (SelfRemoval) links.push_back({pages::texts::PageLinkLeave, pages::FormAddress(context, "leave")});
  return links;
}

std::string TWebModule1::ProfileMenu(std::string_view id) const {
  if (!SignIn) return {};
  const pages::PageContext context = Context();
  std::string menu = "<ul class=\"menu\">\n";
  auto item = [&](std::string_view label, std::string_view href) {
    menu.append("<li><a href=\"").append(href).append("\">").append(label).append("</a></li>\n");
  };
  if (SignedInId.empty()) {
    item(pages::texts::PageLinkSignIn, pages::FormAddress(context, "signin"));
  } else {
    if (SignedInId != id) item(pages::texts::PageLinkMyProfile, pages::ProfileAddress(context, SignedInId));
    for (const pages::PageLink& link : MenuLinks()) item(link.label, link.href);
  }
  return menu + "</ul>\n";
}

std::string TWebModule1::PhotoAddress(std::string_view file) const {
  const pages::PageContext context = Context();
  return context.script + "?session=" + context.session_url + "&amp;photo=" + pages::PercentEncode(file);
}

std::string TWebModule1::FieldName(std::string_view field) {
  // A required field of a post is named "blank-" and the field.
  if (field.starts_with("blank-")) field.remove_prefix(6);
  // The labels come from the texts, in Shift_JIS as the page around them.
  struct Label {
    std::string_view field, both;
  };
  static constexpr Label kLabels[] = {
      {"id", texts::FieldNameId},
      {"pw", texts::FieldNamePw},
      {"pw0", texts::FieldNamePw0},
      {"pw1", texts::FieldNamePw1},
      {"pw2", texts::FieldNamePw2},
      {"realname", texts::FieldNameRealname},
      {"mail", texts::FieldNameMail},
      {"title", texts::FieldNameTitle},
  };
  for (const Label& label : kLabels) {
    if (label.field == field) return std::string(label.both);
  }
  return text::HtmlEscape(field);
}

bool TWebModule1::StartSignIn(const std::string& id) {
  // A new token at every sign-in: one planted before it is never made good.
  if (!SignInToken.empty()) records::EndSignIn(MembersDb, SignInToken);
  const std::optional<std::string> token =
      records::BeginSignIn(MembersDb, SessionName, id, platform::UnixSeconds(), SignInLifetimes);
  if (!token) return false;
  SetSignInCookie(*token, SignInLifetimes.absolute_seconds);
  ResponseHeaders.emplace_back("Cache-Control", "no-store");
  SignInToken = *token;
  SignedInId = id;
  return true;
}

void TWebModule1::EndSignInHere() {
  if (!SignInToken.empty()) records::EndSignIn(MembersDb, SignInToken);
  SetSignInCookie({}, 0);
  SignInToken.clear();
  SignedInId.clear();
}

void TWebModule1::SetSignInCookie(std::string_view token, std::int64_t max_age) {
  std::string cookie = SignInCookieName();
  cookie.append("=").append(token).append("; Path=/; Max-Age=").append(std::to_string(max_age));
  cookie.append("; HttpOnly; SameSite=Lax");
  if (SiteUrl.starts_with("https://")) cookie += "; Secure";
  ResponseHeaders.emplace_back("Set-Cookie", cookie);
}

std::string TWebModule1::CommandSignIn() {
  if (!SignIn) return Refuse(pages::Outcome::kUnknownCommand, {});
  std::string id(text::FieldView(PostedFields, "id"));
  const std::string_view pw = text::FieldView(PostedFields, "pw");
  switch (records::CheckMemberPassword(MembersDb, id, pw, Passwords)) {
    case 2:
      LogFailedLogin(id);
      return Refuse(pages::Outcome::kUnknownMember, {}, id);
    case 1:
      LogFailedLogin(id);
      return Refuse(pages::Outcome::kWrongPassword, {});
    default: break;
  }
  // A file system that ignores letter case finds "alice" for "ALICE": the
  // sign-in names the member as registered.
  text::NameValueList record;
  if (records::LoadRecordIfPresent(records::MemberRecordPath(MembersDb, id), record) && !record.Value("id").empty()) {
    id = std::string(record.Value("id"));
  }
  if (!StartSignIn(id)) return Refuse(pages::Outcome::kUnknownMember, {}, id);
  LogActivity("signed in", id);
  return Succeed(pages::Outcome::kSignedIn, {}, id, {}, MenuLinks());
}

TWebModule1::OwnPost TWebModule1::FindOwnPost(const std::string& dir) const {
  OwnPost own;
  // A member's own post only, from a page of their own sign-in.
  if (SignedInId.empty() || PostedCsrf != records::SignInFormToken(SignInToken)) {
    own.refusal = pages::Outcome::kForeignRequest;
    return own;
  }
  // The stored file's name as the profile gave it: the record is the name
  // up to its last "." with ".txt".
  const std::string post(text::FieldView(PostedFields, "post"));
  const std::size_t dot = post.rfind('.');
  own.base = post.substr(0, dot);
  own.ext = dot == std::string::npos ? std::string() : post.substr(dot);
  own.record_path = dir + own.base + std::string(records::kRecordExtension);
  text::NameValueList record;
  if (own.base.empty() || own.ext == records::kRecordExtension ||
      !platform::IsPlainFileName(own.base, records::kRecordExtension) || !platform::IsPlainFileName(post) ||
      !text::FileExists(own.record_path) || !text::FileExists(dir + post) ||
      !records::LoadRecordIfPresent(own.record_path, record) || record.Count() == 0 || record.Line(0) != "<tslkeys>") {
    own.refusal = pages::Outcome::kPhotoMissing;
  } else if (record.Value("id") != SignedInId) {
    own.refusal = pages::Outcome::kForeignRequest;
  }
  return own;
}

std::string TWebModule1::CommandDeletePost() {
  if (!SignIn) return Refuse(pages::Outcome::kUnknownCommand, {});
  const std::string dir = text::IncludeTrailingDelimiter(UploadPath);
  const platform::FileLock lock = records::LockPosts(dir);
  const OwnPost own = FindOwnPost(dir);
  if (own.refusal) return Refuse(*own.refusal, {});
  // The image first, and only when it is gone the rest: a photo that stays
  // served is never reported removed, and keeps the record that lets its
  // member try again. The listing passes over a post whose image is gone.
  const std::string image = dir + own.base + own.ext;
  platform::RemoveFile(image);
  if (text::FileExists(image)) {
    records::LogError("deletepost: " + image + " could not be removed");
    return Refuse(pages::Outcome::kPostNotRemoved, {});
  }
  records::RemovePostedFiles(dir, own.base, own.ext, records::kRecordExtension);
  LogActivity("removed a post", SignedInId, own.base + own.ext);
  return Succeed(pages::Outcome::kPostRemoved, {}, SignedInId, {}, MenuLinks());
}

std::string TWebModule1::CommandRetitlePost() {
  if (!SignIn) return Refuse(pages::Outcome::kUnknownCommand, {});
  const std::string dir = text::IncludeTrailingDelimiter(UploadPath);
  const platform::FileLock lock = records::LockPosts(dir);
  const OwnPost own = FindOwnPost(dir);
  if (own.refusal) return Refuse(*own.refusal, {});
  const std::string_view title = text::FieldView(PostedFields, "title");
  if (title.empty()) return RefuseBlank({}, {"title"});
  const std::optional<std::string> record =
      records::RetitledRecord(platform::ReadWholeFile(own.record_path), title, text::FieldView(PostedFields, "note"));
  if (!record) return Refuse(pages::Outcome::kNoData, {});
  // Replaced whole: a reader sees the old record or the new, never a mix.
  platform::ReplaceFile(own.record_path, platform::Bytes(*record));
  LogActivity("retitled a post", SignedInId, own.base + own.ext);
  const pages::PageContext context = Context();
  std::vector<pages::PageLink> links = {{pages::texts::PageLinkPhoto, PhotoAddress(own.base + own.ext)}};
  const std::vector<pages::PageLink> menu = MenuLinks();
  links.insert(links.end(), menu.begin(), menu.end());
  return Succeed(pages::Outcome::kPostRetitled, {}, SignedInId, {}, links);
}

std::string TWebModule1::CommandSignOut() {
  if (!SignIn) return Refuse(pages::Outcome::kUnknownCommand, {});
  // Only a page of the sign-in itself may end it.
  if (!SignedInId.empty() &&
      PostedCsrf != records::SignInFormToken(SignInToken)) {
    return Refuse(pages::Outcome::kForeignRequest, {});
  }
  const std::string id = SignedInId;
  EndSignInHere();
  if (!id.empty()) LogActivity("signed out", id);
  PageStatus = pages::OutcomeStatus(pages::Outcome::kSignedOut);
  const pages::PageContext context = Context();
  const std::vector<pages::PageLink> links = {
      {pages::texts::PageLinkSignIn, pages::FormAddress(context, "signin")}};
  return pages::OutcomePage(context, pages::Outcome::kSignedOut, {}, links);
}

}  // namespace member
