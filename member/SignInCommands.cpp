// Signing in and out (session key SignIn=1): a cookie stands for the
// member's ID and password on this device until it is signed out, its
// lifetimes end or the member's password changes.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "MemberTexts.h"
#include "PageTexts.h"
#include "member/WebModule1.h"
#include "pages/PageSet.h"
#include "platform/System.h"
#include "records/Members.h"
#include "records/Posting.h"
#include "records/SignIns.h"
#include "platform/Files.h"
#include "text/Fields.h"
#include "text/NameValueList.h"

namespace member {
namespace {

constexpr std::string_view kCookieName = "orvalengate-signin";

// The n-th of a text's "\n"-separated lines.
std::string_view LineOfText(std::string_view text, int n) {
  for (; n > 0; --n) text.remove_prefix(std::min(text.size(), text.find('\n') + 1));
  return text.substr(0, text.find('\n'));
}

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
  if (origin.empty()) return false;
  const std::size_t scheme = origin.find("://");
  return scheme == std::string_view::npos || origin.substr(scheme + 3) != host;
}

std::string TWebModule1::MemberForm(std::string_view which) {
  const pages::PageContext context = Context();
  const std::string hidden = "<input type=\"hidden\" name=\"session\" value=\"" + context.session + "\">\n";
  // Pages that name who is signed in, or carry their form token, are kept
  // by no cache.
  ResponseHeaders.emplace_back("Cache-Control", "no-store");
  if (which == "post" && !SignedInId.empty()) {
    const std::string form = "<form method=\"post\" enctype=\"multipart/form-data\" action=\"" + context.action + "\">\n" +
                             hidden + "<input type=\"hidden\" name=\"command\" value=\"postleaf\">\n" +
                             "<input type=\"hidden\" name=\"csrf\" value=\"" + records::SignInFormToken(SignInToken) +
                             "\">\n" + std::string(pages::texts::PagePostFields) + "</form>";
    const std::vector<pages::PageLink> links = {{pages::texts::PageLinkProfile, pages::ProfileAddress(context, SignedInId)}};
    return pages::MemberFormPage(context, LineOfText(pages::texts::PagePostHeading, 0),
                                 LineOfText(pages::texts::PagePostHeading, 1), form, links);
  }
  // Not signed in (or the sign-in is over): the way to sign in, which then
  // leads on.
  const std::string form = "<form method=\"post\" action=\"" + context.action + "\">\n" + hidden +
                           "<input type=\"hidden\" name=\"command\" value=\"signin\">\n" +
                           std::string(pages::texts::PageSignInFields) + "</form>";
  return pages::MemberFormPage(context, LineOfText(pages::texts::PageSignInHeading, 0),
                               LineOfText(pages::texts::PageSignInHeading, 1), form);
}

std::string TWebModule1::ProfileMenu(std::string_view id) const {
  if (!SignIn) return {};
  const pages::PageContext context = Context();
  const std::string forms = context.script + "?session=" + context.session_url + "&amp;form=";
  if (SignedInId.empty() || SignedInId != id) {
    return "<ul class=\"menu\">\n<li><a href=\"" + forms + "signin\">" + std::string(pages::texts::PageLinkSignIn) +
           "</a></li>\n</ul>\n";
  }
  return "<form method=\"post\" action=\"" + context.action + "\">\n<input type=\"hidden\" name=\"session\" value=\"" +
         context.session + "\">\n<input type=\"hidden\" name=\"command\" value=\"signout\">\n" +
         "<input type=\"hidden\" name=\"csrf\" value=\"" + records::SignInFormToken(SignInToken) + "\">\n" +
         "<ul class=\"menu\">\n<li><a href=\"" + forms + "post\">" + std::string(pages::texts::PageLinkPostPhoto) +
         "</a></li>\n<li>" + std::string(pages::texts::PageSignOutButton) + "</li>\n</ul>\n</form>\n";
}

std::string TWebModule1::CommandSignIn() {
  if (!SignIn) return Refuse(pages::Outcome::kUnknownCommand, {});
  const std::string id(text::FieldView(PostedFields, "id"));
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
  // A new token at every sign-in: one planted before it is never made good.
  if (!SignInToken.empty()) records::EndSignIn(MembersDb, SignInToken);
  const std::optional<std::string> token = records::BeginSignIn(MembersDb, SessionName, id, platform::UnixSeconds());
  if (!token) return Refuse(pages::Outcome::kUnknownMember, {}, id);
  std::string cookie = SignInCookieName() + "=" + *token + "; Path=/; Max-Age=" +
                       std::to_string(SignInLifetimes.absolute_seconds) + "; HttpOnly; SameSite=Lax";
  if (SiteUrl.starts_with("https://")) cookie += "; Secure";
  ResponseHeaders.emplace_back("Set-Cookie", cookie);
  ResponseHeaders.emplace_back("Cache-Control", "no-store");
  SignInToken = *token;
  SignedInId = id;
  LogActivity("signed in", id);
  const pages::PageContext context = Context();
  const std::vector<pages::PageLink> links = {
      {pages::texts::PageLinkPostPhoto, context.script + "?session=" + context.session_url + "&amp;form=post"}};
  return Succeed(pages::Outcome::kSignedIn, {}, id, {}, links);
}

std::string TWebModule1::CommandDeletePost() {
  if (!SignIn) return Refuse(pages::Outcome::kUnknownCommand, {});
  // A member's own post only, from a page of their own sign-in.
  if (SignedInId.empty() || PostedCsrf != records::SignInFormToken(SignInToken)) {
    return Refuse(pages::Outcome::kForeignRequest, {});
  }
  // The stored file's name as the profile gave it: the record is the name
  // up to its last "." with ".txt".
  const std::string post(text::FieldView(PostedFields, "post"));
  const std::size_t dot = post.rfind('.');
  const std::string base = post.substr(0, dot), ext = dot == std::string::npos ? std::string() : post.substr(dot);
  const std::string dir = text::IncludeTrailingDelimiter(UploadPath);
  if (base.empty() || ext == records::kRecordExtension || !platform::IsPlainFileName(base, records::kRecordExtension) ||
      !platform::IsPlainFileName(post)) {
    return Refuse(pages::Outcome::kNoData, {});
  }
  const platform::FileLock lock = records::LockPosts(dir);
  const std::string record_path = dir + base + std::string(records::kRecordExtension);
  text::NameValueList record;
  if (!text::FileExists(record_path) || !text::FileExists(dir + post) || !records::LoadRecordIfPresent(record_path, record) ||
      record.Count() == 0 || record.Line(0) != "<tslkeys>") {
    return Refuse(pages::Outcome::kNoData, {});
  }
  if (record.Value("id") != SignedInId) return Refuse(pages::Outcome::kForeignRequest, {});
  // The listing passes over a post whose image is gone.
  records::RemovePostedFiles(dir, base, ext, records::kRecordExtension);
  LogActivity("removed a post", SignedInId, post);
  return Succeed(pages::Outcome::kPostRemoved, {}, SignedInId);
}

std::string TWebModule1::CommandSignOut() {
  if (!SignIn) return Refuse(pages::Outcome::kUnknownCommand, {});
  // Only a page of the sign-in itself may end it.
  if (!SignedInId.empty() &&
      PostedCsrf != records::SignInFormToken(SignInToken)) {
    return Refuse(pages::Outcome::kForeignRequest, {});
  }
  if (!SignInToken.empty()) records::EndSignIn(MembersDb, SignInToken);
  std::string cookie = SignInCookieName() + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Lax";
  if (SiteUrl.starts_with("https://")) cookie += "; Secure";
  ResponseHeaders.emplace_back("Set-Cookie", cookie);
  const std::string id = SignedInId;
  SignInToken.clear();
  SignedInId.clear();
  if (!id.empty()) LogActivity("signed out", id);
  PageStatus = pages::OutcomeStatus(pages::Outcome::kSignedOut);
  return pages::OutcomePage(Context(), pages::Outcome::kSignedOut, {}, {});
}

}  // namespace member
