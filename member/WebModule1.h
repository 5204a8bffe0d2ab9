// The member service: the one web module of the program and its single
// action handler. Configuration and session settings, the parsed request and
// the request-local values live here for the one request a process serves.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "frontend/WebModule.h"
#include "member/Passwords.h"
#include "platform/System.h"

namespace member {

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
  // The most body bytes a request may declare (config.txt "bodylimit");
  // a larger body is refused without being read.
  std::int64_t BodyLimit = kDefaultBodyLimit;
  static constexpr std::int64_t kDefaultBodyLimit = 64 * 1024 * 1024;
  // Session settings.
  std::string UploadPath;
  std::string MembersDb;
  std::string NameOrder;
  std::string FileNameTemplate;
  std::string FileNameCounter;
  std::string DefaultImgFile;
  // How passwords are stored (session key "PasswordHash").
  PasswordStorage Passwords = PasswordStorage::kClear;
  // Posted images must be JPEGs and are stored without their location
  // (session key "StripLocation").
  bool StripLocation = false;
  // The parsed request. PostedFileData views the request body, or
  // DefaultImgData when the default file stands in for a missing attachment.
  std::string PostedFileName;
  std::string PostedFields;
  std::string_view PostedFileData;
  std::string DefaultImgData;

  // Request-local values.
  std::string Stamp;        // yyyymmdd-hhmmss-zzz
  std::string Day;          // yyyymmdd
  std::string SessionName;  // as posted (or from the query string)
  std::string RemoteAddr;   // the client's address as the web server gives it
  std::string CommandName;  // the command being run

  // Clears and loads SessionDb, DumpPath, AuthLog and BodyLimit from
  // ProgramDir() + "config.txt".
  void LoadConfig();
  // Clears and loads the session fields from SessionDb + name + ".txt".
  // A name that could leave SessionDb loads nothing.
  void LoadSession(std::string_view name);

  // The commands. Each returns the page to answer with (possibly empty).
  std::string CommandRegistration();
  std::string CommandChangePw();
  std::string CommandChangeProf1(bool english);
  std::string CommandChangeProf2();
  std::string CommandPostLeaf();

  // Appends one line for a failed password check of the posted ID to
  // AuthLog, when one is configured. A log that cannot be written never
  // fails the request; the error log says so.
  void LogFailedLogin(std::string_view id) const;

  // Seeded once per request; spreads the retries of contending posters.
  platform::Random Rng;
};

// The directory of the running executable, ending with "/".
std::string ProgramDir();

}  // namespace member
