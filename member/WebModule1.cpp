// The one action handler of the member service: configuration, the profile
// view or the posted body, the dump, the session and the command.
#include "member/WebModule1.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "MemberTexts.h"
#include "PageTexts.h"
#include "pages/Pages.h"
#include "records/Storage.h"
#include "text/Fields.h"
#include "text/Multipart.h"
#include "text/NameValueList.h"

namespace member {
namespace {

using CommandRunner = std::string (*)(TWebModule1&);

struct CommandEntry {
  std::string_view name;
  CommandRunner run;
};

// Compared byte for byte, letter case significant, first match wins.
constexpr CommandEntry kCommands[] = {
    {"registration", [](TWebModule1& m) { return m.CommandRegistration(); }},
    {"changepw", [](TWebModule1& m) { return m.CommandChangePw(); }},
    {"changeprof1", [](TWebModule1& m) { return m.CommandChangeProf1(false); }},
    {"changeprof1e", [](TWebModule1& m) { return m.CommandChangeProf1(true); }},
    {"changeprof2", [](TWebModule1& m) { return m.CommandChangeProf2(); }},
    {"postleaf", [](TWebModule1& m) { return m.CommandPostLeaf(); }},
    {"forgotpw", [](TWebModule1& m) { return m.CommandForgotPw(); }},
    {"resetpw", [](TWebModule1& m) { return m.CommandResetPw(); }},
    {"removeself", [](TWebModule1& m) { return m.CommandRemoveSelf(); }},
    {"signin", [](TWebModule1& m) { return m.CommandSignIn(); }},
    {"signout", [](TWebModule1& m) { return m.CommandSignOut(); }},
    {"deletepost", [](TWebModule1& m) { return m.CommandDeletePost(); }},
    {"retitlepost", [](TWebModule1& m) { return m.CommandRetitlePost(); }},
};

// Reads the body bytes that had not arrived when the request was made
// straight into the request's own body, so it is held once and never
// copied. The caller has checked the declared length against the limit, so
// it may be taken as the size to hold. Pieces are large, so a big post
// costs few reads, and the buffer is only ever cut back to what arrived.
void CompleteBody(frontend::TWebRequest& request, std::int64_t declared) {
  constexpr std::size_t kPiece = 1024 * 1024;
  std::string& body = request.Content();
  if (declared <= static_cast<std::int64_t>(body.size())) return;
  const auto size = static_cast<std::size_t>(declared);
  // Reserved pages are not touched until bytes arrive, so a declared length
  // that lies costs nothing; past this cap (an operator's very large limit)
  // the buffer grows as bytes come.
  constexpr std::size_t kReserveCap = 256 * 1024 * 1024;
  body.reserve(std::min(size, kReserveCap));
  while (body.size() < size) {
    const std::size_t had = body.size();
    body.resize(std::min(size, had + kPiece));
    const std::size_t got = request.ReadBytes(body.data() + had, body.size() - had);
    body.resize(had + got);
    if (got == 0) break;  // the input ended early: keep what arrived
  }
}

}  // namespace

TWebModule1::TWebModule1() {
  frontend::TWebActionItem& item = Actions().Add();
  item.SetName("WebActionItem1");
  item.OnAction = [this](frontend::TWebActionItem* sender, frontend::TWebRequest& request,
                         frontend::TWebResponse& response, bool& handled) {
    WebModule1WebActionItem1Action(sender, request, response, handled);
  };
}

std::unique_ptr<frontend::TWebModule> TWebModule1::Create() { return std::make_unique<TWebModule1>(); }

void TWebModule1::WebModule1WebActionItem1Action(frontend::TWebActionItem* /*sender*/, frontend::TWebRequest& request,
                                                 frontend::TWebResponse& response, bool& /*handled*/) {
  LoadConfig();
  if (SessionDb.empty()) {
    records::LogError(texts::SessionDbError);
    return;
  }
  response.SetContentType("text/html");
  // A resident process serves request after request: nothing of the last
  // one's session may choose this one's pages.
  ClearSession();
  ScriptName = request.CgiVariable("SCRIPT_NAME");
  PageStatus = 0;
  SignInToken.clear();
  SignedInId.clear();
  PostedCsrf.clear();
  BackAddress.clear();
  ResponseHeaders.clear();
  // The second page set says with the status too what became of a request.
  auto answer = [&](std::string page) {
    if (PageStatus != 0) response.SetStatusCode(PageStatus);
    // The framework's table of reasons stops short of 413 (RFC 9110's name).
    if (PageStatus == 413) response.SetStringVariable(frontend::rsReasonString, "Content Too Large");
    for (const auto& [name, value] : ResponseHeaders) response.AddCustomHeader(name, value);
    response.SetContent(std::move(page));
  };

  // The public profile view needs no body and no session checks.
  const std::string query = request.CgiVariable("QUERY_STRING");
  std::string query_session;
  if (!query.empty()) {
    const std::string show_user = text::QueryValue(query, "showuser");
    query_session = text::QueryValue(query, "session");
    if (!show_user.empty() && !query_session.empty()) {
      SessionName = query_session;
      LoadSession(SessionName);
      if (SignIn) ReadSignIn(request.CgiVariable("HTTP_COOKIE"));
      if (ModernPages) {
        answer(ProfileView(text::UrlDecode(show_user), text::QueryValue(query, "before")));
      } else {
        response.SetContent(pages::ProfilePage(MembersDb, text::UrlDecode(show_user)));
      }
      return;
    }
    // The link of a password-reset mail; a session without the feature
    // treats it as any other address.
    const std::string reset_id = text::QueryValue(query, "resetid");
    if (!reset_id.empty() && !query_session.empty()) {
      SessionName = query_session;
      LoadSession(SessionName);
      if (PasswordReset) {
        answer(ResetForm(reset_id, text::QueryValue(query, "token"), text::QueryValue(query, "lang")));
        return;
      }
    }
  }
  // The program's own forms and a post's own page, where members sign in.
  const std::string form_asked = text::QueryValue(query, "form");
  const std::string photo = text::QueryValue(query, "photo");
  if ((!form_asked.empty() || !photo.empty()) && !query_session.empty()) {
    SessionName = query_session;
    LoadSession(SessionName);
    if (SignIn) {
      ReadSignIn(request.CgiVariable("HTTP_COOKIE"));
      // Decoded once, as PhotoAddress encodes it.
      answer(form_asked.empty() ? PhotoView(photo) : MemberForm(form_asked));
      return;
    }
  }
  // A refusal before the body's own session is known (a body too large, no
  // fields) is answered in the set of the session the address names: the
  // second set's forms post to "?session=NAME".
  if (!query_session.empty()) {
    SessionName = query_session;
    LoadSession(SessionName);
  }

  // An oversized body is refused before it is read: it never reaches
  // memory, the dump or the parsers.
  const std::int64_t declared = request.IntegerVariable(frontend::rvContentLength);
  if (declared > BodyLimit) {
    answer(Refuse(pages::Outcome::kBodyTooLarge, texts::BodyTooLarge, LimitText(BodyLimit)));
    return;
  }
  CompleteBody(request, declared);
  // The body lives in the request until the response has been sent, so the
  // attached file can stay a view into it.
  const std::string_view body = request.Content();

  // Two readings of the clock: a request at midnight may be dumped under
  // the next day's directory with the previous day's Stamp.
  Stamp = records::FormatStamp(platform::Now());
  Day = records::FormatDay(platform::Now());

  PostedFileName.clear();
  PostedFields.clear();
  PostedFileData = {};
  text::PostedForm form;
  text::ParseMultipartBody(form, body);
  if (form.PostedFields.empty()) text::ParseUrlEncodedBody(form, body);
  PostedFields = std::move(form.PostedFields);
  PostedFileName = std::move(form.PostedFileName);
  PostedFileData = form.PostedFileData;
  OtherFileSent = form.OtherFileSent;

  // Dumped before any field is looked at, so rejected requests are kept too.
  if (!DumpPath.empty()) records::WriteDump(DumpPath, Day, Stamp, body);

  if (PostedFields.empty()) {
    answer(Refuse(pages::Outcome::kNoData, texts::NoData));
    return;
  }
  SessionName = text::FieldValue(PostedFields, "session");
  LoadSession(SessionName);
  if (UploadPath.empty()) {
    answer(Refuse(pages::Outcome::kSessionMissing, texts::SessionMissing));
    return;
  }
  if (MembersDb.empty()) {
    answer(Refuse(pages::Outcome::kMembersDbMissing, texts::MembersDbMissing));
    return;
  }

  // The command is taken out so that no stored record carries it.
  const std::string command(text::FieldView(PostedFields, "command"));
  text::RemoveField(PostedFields, "command");
  CommandName = command;
  if (SignIn) {
    // Where members sign in, a page of another site may change nothing,
    // whoever is signed in.
    if (FromAnotherSite(request.CgiVariable("HTTP_ORIGIN"), request.CgiVariable("HTTP_HOST"),
                        request.CgiVariable("HTTP_SEC_FETCH_SITE"))) {
      answer(Refuse(pages::Outcome::kForeignRequest, {}));
      return;
    }
    ReadSignIn(request.CgiVariable("HTTP_COOKIE"));
    BackAddress = SameSiteAddress(request.CgiVariable("HTTP_REFERER"), request.CgiVariable("HTTP_HOST"));
    // The form token never reaches a stored record.
    const std::string csrf(text::FieldView(PostedFields, "csrf"));
    text::RemoveField(PostedFields, "csrf");
    PostedCsrf = csrf;
    // A page of a sign-in that has ended since (signed out, lifetimes over,
    // a new password): the member is asked to sign in again.
    if (!csrf.empty() && SignedInId.empty() && command != "signout") {
      answer(Refuse(pages::Outcome::kSignInNeeded, {}));
      return;
    }
  }
  // The web server's own variable alone: the request variables also fall
  // back to a header of that name, and a "Remote-Addr" header would let a
  // client name the address a blocking tool then bans.
  RemoteAddr = request.CgiVariable("REMOTE_ADDR");
  for (const CommandEntry& entry : kCommands) {
    if (command == entry.name) {
      answer(entry.run(*this));
      return;
    }
  }
  // Any other command runs nothing: in the default set the page stays empty.
  if (ModernPages) answer(Refuse(pages::Outcome::kUnknownCommand, {}));
}

pages::PageContext TWebModule1::Context() const {
  pages::PageContext c;
  c.site = SiteName.empty() ? std::string(pages::texts::PageDefaultSite) : text::HtmlEscape(SiteName);
  c.home = SiteHome.empty() || pages::IsScriptAddress(SiteHome) ? std::string("/") : text::HtmlEscape(SiteHome);
  c.style = Stylesheet.empty() ? std::string(pages::texts::PageStyle)
                               : std::string(pages::texts::PageStylesheetStart) + text::HtmlEscape(Stylesheet) +
                                     std::string(pages::texts::PageStylesheetEnd);
  c.templates = Templates;
  c.script = text::HtmlEscape(ScriptName.empty() ? std::string_view(kFixedScriptName) : ScriptName);
  // A posted session name is escaped already: it goes into the form as it
  // came, and comes back the same.
  c.session = SessionName;
  c.session_url = pages::PercentEncode(SessionName);
  c.action = c.script + "?session=" + c.session_url;
  if (!UploadUrl.empty() && !pages::IsScriptAddress(UploadUrl)) {
    c.upload_url = text::HtmlEscape(UploadUrl);
    if (!c.upload_url.ends_with('/')) c.upload_url += '/';
  }
  c.signin = SignIn;
  return c;
}

std::string TWebModule1::Refuse(pages::Outcome outcome, std::string_view message, std::string_view detail,
                                std::string_view detail_en) {
  if (!ModernPages) return message.empty() ? std::string() : pages::ErrorPage(message);
  PageStatus = pages::OutcomeStatus(outcome);
  // Where members sign in, a refusal leads back to the form it came from
  // and on to the member's own pages.
  std::vector<pages::PageLink> links;
  if (SignIn && !BackAddress.empty()) links.push_back({pages::texts::PageLinkBack, BackAddress});
  if (SignIn && outcome == pages::Outcome::kSignInNeeded) {
    const pages::PageContext context = Context();
    links.push_back({pages::texts::PageLinkSignIn, pages::FormAddress(context, "signin")});
  }
  if (SignIn && PasswordReset && outcome == pages::Outcome::kResetLinkInvalid) {
    const pages::PageContext context = Context();
    links.push_back({pages::texts::PageLinkRequestReset, pages::FormAddress(context, "forgot")});
  }
  if (SignIn && !SignedInId.empty()) links.push_back({pages::texts::PageLinkMyProfile, pages::ProfileAddress(Context(), SignedInId)});
  for (pages::PageLink& link : MenuLinks()) links.push_back(std::move(link));
  return pages::OutcomePage(Context(), outcome, detail, links, detail_en);
}

std::string TWebModule1::RefuseBlank(std::string_view message, std::initializer_list<std::string_view> fields) {
  if (!SignIn) return Refuse(pages::Outcome::kBlank, message);
  for (const std::string_view field : fields) {
    if (!text::FieldView(PostedFields, field).empty()) continue;
    const std::string name = FieldName(field);
    const std::size_t slash = name.find(" / ");
    if (slash == std::string::npos) return Refuse(pages::Outcome::kBlank, message, name);
    return Refuse(pages::Outcome::kBlank, message, name.substr(0, slash), name.substr(slash + 3));
  }
  return Refuse(pages::Outcome::kBlank, message);
}

std::string TWebModule1::LimitText(std::int64_t bytes) const {
  if (!SignIn) return std::to_string(bytes);
  // Whole units read best, rounded down so they never promise more than fits.
  constexpr std::int64_t kMi = 1024 * 1024;
  if (bytes >= kMi) return std::to_string(bytes / kMi) + " MB";
  return bytes >= 1024 ? std::to_string(bytes / 1024) + " KB" : std::to_string(bytes) + " bytes";
}

std::string SameSiteAddress(std::string_view referer, std::string_view host) {
  // Only a page of this host, and only its path and query: a link to
  // another site is never offered as the way back.
  const std::size_t scheme = referer.find("://");
  if (scheme == std::string_view::npos || host.empty()) return {};
  const std::string_view rest = referer.substr(scheme + 3);
  if (!rest.starts_with(host) || rest.size() == host.size() || rest[host.size()] != '/') return {};
  if (referer.substr(0, scheme) != "http" && referer.substr(0, scheme) != "https") return {};
  std::string_view path = rest.substr(host.size());
  path = path.substr(0, path.find('#'));
  // Browsers read "/\" as "//": both start another host's address.
  if (path.size() > 2048 || path.starts_with("//") || path.starts_with("/\\")) return {};
  return text::HtmlEscape(path);
}

std::string TWebModule1::Succeed(pages::Outcome outcome, std::string default_page, std::string_view id,
                                 std::string_view detail, std::span<const pages::PageLink> links) {
  if (!ModernPages) return default_page;
  PageStatus = pages::OutcomeStatus(outcome);
  const pages::PageContext context = Context();
  std::vector<pages::PageLink> all = {{pages::texts::PageLinkProfile, pages::ProfileAddress(context, id)}};
  all.insert(all.end(), links.begin(), links.end());
  // Signed in, every page leads on to the member's own pages.
  for (pages::PageLink& link : MenuLinks()) {
    bool listed = false;
    for (const pages::PageLink& had : all) listed = listed || had.href == link.href;
    if (!listed) all.push_back(std::move(link));
  }
  return pages::OutcomePage(context, outcome, detail, all);
}

void TWebModule1::LogFailedLogin(std::string_view id) const { LogAuthEvent("failed login", id); }

namespace {

// Appends a log line; the member's answer does not depend on the log: a
// failure goes to the error log, which may itself be unwritable.
void AppendLogLine(const std::string& log, const std::string& line, std::string_view failure) {
  if (platform::AppendToFile(log, line)) return;
  try {
    records::LogError(std::string(failure));
  } catch (const platform::Exception&) {
  }
}

}  // namespace

void TWebModule1::LogAuthEvent(std::string_view event, std::string_view id) const {
  if (AuthLog.empty()) return;
  AppendLogLine(AuthLog, records::FailedLoginLine(platform::Now(), RemoteAddr, SessionName, CommandName, id, event),
                "authlog error");
}

void TWebModule1::LogActivity(std::string_view event, std::string_view id, std::string_view file) const {
  if (ActivityLog.empty()) return;
  AppendLogLine(ActivityLog,
                records::ActivityLine(platform::Now(), RemoteAddr, SessionName, CommandName, id, event, file),
                "activitylog error");
}

}  // namespace member
