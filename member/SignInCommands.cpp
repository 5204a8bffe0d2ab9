// Signing in and out (session key SignIn=1): a cookie stands for the
// member's ID and password on this device until it is signed out, its
// lifetimes end or the member's password changes.
#include <string>
#include <string_view>
#include <vector>

#include "MemberTexts.h"
#include "PageTexts.h"
#include "member/WebModule1.h"
#include "pages/PageSet.h"
#include "platform/System.h"
#include "records/Members.h"
#include "records/SignIns.h"
#include "text/Fields.h"

namespace member {
namespace {

constexpr std::string_view kCookieName = "orvalengate-signin";

}  // namespace

std::string TWebModule1::SignInCookieName() const {
  // RFC 6265bis: a "__Host-" cookie is sent only over HTTPS, set only with
  // Secure and Path=/ and no Domain, so no other host can plant one.
  return SiteUrl.starts_with("https://") ? "__Host-" + std::string(kCookieName) : std::string(kCookieName);
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
  return Succeed(pages::Outcome::kSignedIn, {}, id);
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
