// The member service: the one web module of the program and its single
// action handler. Configuration and session settings, the parsed request and
// the request-local values live here for the one request a process serves.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "credentials/Passwords.h"
#include "frontend/WebModule.h"
#include "pages/PageSet.h"
#include "platform/System.h"
#include "records/SignIns.h"

namespace member {

// Where the forms of the default set post; the second set's forms post to
// SCRIPT_NAME and fall back to this.
inline constexpr std::string_view kFixedScriptName = "/cgi/orvalengate.exe";

class TWebModule1 : public frontend::TWebModule {
 public:
  TWebModule1();
  static std::unique_ptr<frontend::TWebModule> Create();

  void WebModule1WebActionItem1Action(frontend::TWebActionItem* sender, frontend::TWebRequest& request,
                                      frontend::TWebResponse& response, bool& handled);

  // Configuration (config.txt). Directory fields end with "/"; empty = not set.
  std::string SessionDb;
  std::string DumpPath;
  // Where failed password checks are appended (config.txt "authlog");
  // empty: not logged.
  std::string AuthLog;
  // Where what members did is appended (config.txt "activitylog"): one line
  // per registration, post, password change or reset and removal; empty:
  // not logged.
  std::string ActivityLog;
  // The most body bytes a request may declare (config.txt "bodylimit");
  // a larger body is refused without being read.
  std::int64_t BodyLimit = kDefaultBodyLimit;
  static constexpr std::int64_t kDefaultBodyLimit = 64 * 1024 * 1024;
  // The site's mails (config.txt): the program's address as members reach
  // it, which the links of mails name ("siteurl"); the sender ("mailfrom");
  // the mail program ("sendmail", /usr/sbin/sendmail when unset).
  std::string SiteUrl;
  std::string MailFrom;
  std::string SendMailProgram;
  // Session settings.
  std::string UploadPath;
  std::string MembersDb;
  std::string NameOrder;
  std::string FileNameTemplate;
  std::string FileNameCounter;
  std::string DefaultImgFile;
  // How passwords are stored (session key "PasswordHash").
  credentials::PasswordStorage Passwords = credentials::PasswordStorage::kClear;
  // Posted images must be JPEGs and are stored without their location
  // (session key "StripLocation").
  bool StripLocation = false;
  // The second page set (session key "Pages=modern"); without it every
  // page keeps every byte of the default set. Its settings: the site's name
  // and home page, a folder of the operator's templates, a stylesheet
  // address, the address the upload folder is served at.
  bool ModernPages = false;
  std::string SiteName;
  std::string SiteHome;
  std::string Templates;
  std::string Stylesheet;
  std::string UploadUrl;
  // What members may do for themselves (session keys, each on with "1"):
  // ask for a new password by mail, remove their account, and with it their
  // posts.
  bool PasswordReset = false;
  bool SelfRemoval = false;
  bool RemoveOwnPosts = false;
  // Members sign in once (session key "SignIn=1", second page set only):
  // a cookie then stands for ID and password, its lifetimes in days
  // ("SignInIdleDays", "SignInDays").
  bool SignIn = false;
  records::SignInLifetimes SignInLifetimes;
  // The request's sign-in: the cookie's token and the member it signs in
  // (empty when none holds), and headers the answer must carry.
  std::string SignInToken;
  std::string SignedInId;
  std::vector<std::pair<std::string, std::string>> ResponseHeaders;
  std::string PostedCsrf;  // the form token the request carried (taken out of PostedFields)
  std::string BackAddress;  // the page of this site the request came from (HTML-ready), or empty
  // The parsed request. PostedFileData views the request body, or
  // DefaultImgData when the default file stands in for a missing attachment.
  std::string PostedFileName;
  std::string PostedFields;
  std::string_view PostedFileData;
  std::string DefaultImgData;
  bool OtherFileSent = false;  // a file part that was no JPEG came with the request

  // Request-local values.
  std::string Stamp;        // yyyymmdd-hhmmss-zzz
  std::string Day;          // yyyymmdd
  std::string SessionName;  // as posted (or from the query string)
  std::string RemoteAddr;   // the client's address as the web server gives it
  std::string CommandName;  // the command being run
  std::string ScriptName;   // SCRIPT_NAME: where the second set's forms post
  int PageStatus = 0;       // the second set's status for the page; 0: as ever

  // What the second page set needs of the session and the request.
  pages::PageContext Context() const;
  // The answer to a refusal: in the default set the error page for
  // `message` (an empty message: the empty page), in the second set the
  // outcome's page and status, `detail` HTML-ready.
  std::string Refuse(pages::Outcome outcome, std::string_view message, std::string_view detail = {},
                     std::string_view detail_en = {});
  // The refusal of a form with an empty field: where members sign in, the
  // page names the first of `fields` that is empty.
  std::string RefuseBlank(std::string_view message, std::initializer_list<std::string_view> fields);
  // A size limit as pages say it: bytes, or where members sign in whole
  // megabytes.
  std::string LimitText(std::int64_t bytes) const;
  // A success's page: `default_page` in the default set; in the second set
  // the outcome's page, linking to the member's profile and `links`.
  std::string Succeed(pages::Outcome outcome, std::string default_page, std::string_view id, std::string_view detail = {},
                      std::span<const pages::PageLink> links = {});

  // Clears and loads SessionDb, DumpPath, AuthLog and BodyLimit from
  // ProgramDir() + "config.txt".
  void LoadConfig();
  // Clears and loads the session fields from SessionDb + name + ".txt".
  // A name that could leave SessionDb loads nothing.
  void LoadSession(std::string_view name);
  // Empties the session fields, as for a session that does not exist.
  void ClearSession();

  // The commands. Each returns the page to answer with (possibly empty).
  std::string CommandRegistration();
  std::string CommandChangePw();
  std::string CommandChangeProf1(bool english);
  std::string CommandChangeProf2();
  std::string CommandPostLeaf();
  std::string CommandForgotPw();
  std::string CommandResetPw();
  std::string CommandRemoveSelf();
  std::string CommandSignIn();
  std::string CommandSignOut();
  std::string CommandDeletePost();
  std::string CommandRetitlePost();
  // The post the request's "post" field names, found under the posts lock
  // the caller holds: its name, extension and record, or why the signed-in
  // member may not change it.
  struct OwnPost {
    std::string base, ext, record_path;
    std::optional<pages::Outcome> refusal;
  };
  OwnPost FindOwnPost(const std::string& dir) const;
  // The signed-in member's ways on, for every page: edit the profile, post
  // a photo, change the password, sign out. None when no one is signed in.
  std::vector<pages::PageLink> MenuLinks() const;
  // A post's own page (GET ?session=S&photo=FILE) and its address.
  std::string PhotoView(std::string_view file);
  std::string PhotoAddress(std::string_view file) const;
  // A field's label in both languages, for a page that names it.
  static std::string FieldName(std::string_view field);
  // Begins a sign-in of `id` on this device: a new token, its cookie.
  bool StartSignIn(const std::string& id);
  // Ends this device's sign-in: on the server, in the browser (the cookie
  // cleared) and for the rest of the request.
  void EndSignInHere();
  // The Set-Cookie of the sign-in: `token` kept `max_age` seconds (0 and
  // an empty token clear it).
  void SetSignInCookie(std::string_view token, std::int64_t max_age);
  // The program's own forms (GET ?session=S&form=post|profile|profile-en|
  // password|signout|signin): the signed-in member's forms, else the
  // sign-in form.
  std::string MemberForm(std::string_view which);
  // The profile's menu in a SignIn session: the signed-in member's own,
  // else the way to sign in.
  std::string ProfileMenu(std::string_view id) const;
  // The sign-in cookie's name: "__Host-" first when the site is served
  // over HTTPS (siteurl), which binds it to this host and to Secure.
  std::string SignInCookieName() const;
  // Reads the request's sign-in cookie into SignInToken and SignedInId.
  void ReadSignIn(std::string_view cookie_header);
  // Whether a request that changes something came from a page of another
  // site: its Origin names another host, or the browser says so
  // (Sec-Fetch-Site: cross-site).
  static bool FromAnotherSite(std::string_view origin, std::string_view host, std::string_view fetch_site);
  // The form a mailed link opens (GET ?session=S&resetid=ID&token=T).
  std::string ResetForm(std::string_view id, std::string_view token, std::string_view lang);
  // The second set's profile view: the member's record and newest posts
  // (`before`: where in the member's post index the page ends).
  std::string ProfileView(std::string_view id, std::string_view before);

  // Appends one line for a failed password check of the posted ID to
  // AuthLog, when one is configured. A log that cannot be written never
  // fails the request; the error log says so.
  void LogFailedLogin(std::string_view id) const;
  // The same for another event that blocking tools count ("password reset").
  void LogAuthEvent(std::string_view event, std::string_view id) const;
  // Appends one line for what a member did to ActivityLog, when one is
  // configured; `file`: the stored file of a post. Never fails the request.
  void LogActivity(std::string_view event, std::string_view id, std::string_view file = {}) const;

  // Seeded once per request; spreads the retries of contending posters.
  platform::Random Rng;
};

// The session key "StripLocation": on unless empty or "0", so that a
// mistyped value ("yes", "on") keeps locations out rather than in.
bool IsStripLocationOn(std::string_view setting);

// The answer to a post that is no JPEG where only JPEGs are taken: the
// accepted type and the largest post (the body limit), in both languages.
std::string NotJpegMessage(std::int64_t body_limit);

// The path and query of `referer` when it is a page of `host`, HTML-ready;
// empty otherwise.
std::string SameSiteAddress(std::string_view referer, std::string_view host);

// Whether a session's "Pages" value chooses the second page set ("modern",
// in any letter case); any other value keeps the default set.
bool IsModernPages(std::string_view setting);

}  // namespace member
