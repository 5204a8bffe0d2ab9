// config.txt beside the executable and the per-session settings files. Both
// are read afresh for every request; nothing is cached between requests.
#include <cstdint>
#include <string>
#include <string_view>

#include "member/WebModule1.h"
#include "platform/Files.h"
#include "platform/Sjis.h"
#include "records/Members.h"
#include "records/Posting.h"
#include "records/ResetState.h"
#include "records/Storage.h"
#include "text/NameValueList.h"

namespace member {
namespace {

// A directory value counts only when it names an existing directory; it is
// kept with a trailing delimiter so paths are built by plain concatenation.
std::string DirectoryValue(const text::NameValueList& list, std::string_view key) {
  const std::string_view value = list.Value(key);
  if (value.empty()) return {};
  std::string dir = text::IncludeTrailingDelimiter(value);
  if (!text::DirectoryExists(dir)) return {};
  return dir;
}

// A whole decimal number of bytes above zero; anything else keeps the
// default, so a typing error never opens the site to unlimited bodies.
std::int64_t BodyLimitValue(std::string_view value) {
  if (value.empty() || value.size() > 18) return TWebModule1::kDefaultBodyLimit;
  std::int64_t limit = 0;
  for (const char c : value) {
    if (c < '0' || c > '9') return TWebModule1::kDefaultBodyLimit;
    limit = limit * 10 + (c - '0');
  }
  return limit > 0 ? limit : TWebModule1::kDefaultBodyLimit;
}

}  // namespace

void TWebModule1::LoadConfig() {
  SessionDb.clear();
  DumpPath.clear();
  AuthLog.clear();
  ActivityLog.clear();
  SiteUrl.clear();
  MailFrom.clear();
  SendMailProgram.clear();
  BodyLimit = kDefaultBodyLimit;
  const std::string path = records::ProgramDir() + "config.txt";
  if (!text::FileExists(path)) return;
  text::NameValueList list;
  list.LoadFromFile(path);
  SessionDb = DirectoryValue(list, "sessiondb");
  DumpPath = DirectoryValue(list, "dumppath");
  BodyLimit = BodyLimitValue(list.Value("bodylimit"));
  AuthLog = list.Value("authlog");
  ActivityLog = list.Value("activitylog");
  SiteUrl = list.Value("siteurl");
  MailFrom = list.Value("mailfrom");
  SendMailProgram = list.Value("sendmail");
  if (SendMailProgram.empty()) SendMailProgram = "/usr/sbin/sendmail";
}

void TWebModule1::LoadSession(std::string_view name) {
  ClearSession();
  // The name comes from the request; one that could point outside SessionDb
  // is a session without settings.
  if (!records::IsUsableName(name)) return;
  std::string path = SessionDb;
  path += name;
  path += ".txt";
  if (!text::FileExists(path)) return;
  text::NameValueList list;
  list.LoadFromFile(path);
  UploadPath = DirectoryValue(list, "path");
  MembersDb = DirectoryValue(list, "membersdb");
  NameOrder = list.Value("nameorder");
  FileNameTemplate = list.Value("FileNameTemplate");
  FileNameCounter = list.Value("FileNameCounter");
  DefaultImgFile = list.Value("DefaultImgFile");
  Passwords = credentials::PasswordStorageFrom(list.Value("PasswordHash"));
  StripLocation = IsStripLocationOn(list.Value("StripLocation"));
  ModernPages = IsModernPages(list.Value("Pages"));
  SiteName = list.Value("SiteName");
  SiteHome = list.Value("SiteHome");
  Templates = DirectoryValue(list, "Templates");
  Stylesheet = list.Value("Stylesheet");
  UploadUrl = list.Value("UploadUrl");
  PasswordReset = list.Value("PasswordReset") == "1";
  SelfRemoval = list.Value("SelfRemoval") == "1";
  RemoveOwnPosts = list.Value("RemoveOwnPosts") == "1";
  // Signing in belongs to the second page set: its pages carry the forms.
  SignIn = ModernPages && list.Value("SignIn") == "1";
  SignInLifetimes = {};
  if (const std::int64_t days = records::StateNumber(list.Value("SignInIdleDays")); days > 0 && days <= 3650) {
    SignInLifetimes.idle_seconds = days * 24 * 3600;
  }
  if (const std::int64_t days = records::StateNumber(list.Value("SignInDays")); days > 0 && days <= 3650) {
    SignInLifetimes.absolute_seconds = days * 24 * 3600;
  }
}

void TWebModule1::ClearSession() {
  UploadPath.clear();
  MembersDb.clear();
  NameOrder.clear();
  FileNameTemplate.clear();
  FileNameCounter.clear();
  DefaultImgFile.clear();
  Passwords = credentials::PasswordStorage::kClear;
  StripLocation = false;
  ModernPages = false;
  SiteName.clear();
  SiteHome.clear();
  Templates.clear();
  Stylesheet.clear();
  UploadUrl.clear();
  PasswordReset = false;
  SelfRemoval = false;
  RemoveOwnPosts = false;
  SignIn = false;
  SignInLifetimes = {};
}

bool IsModernPages(std::string_view setting) { return platform::SameTextSjis(setting, "modern"); }

}  // namespace member
