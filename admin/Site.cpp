// Finding the site and its sessions the way the program does.
#include <string>

#include "admin/Admin.h"
#include "platform/Files.h"
#include "records/Members.h"
#include "records/Storage.h"

namespace admin {

std::string Quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.append(1, '"').append(text).append(1, '"');
  return out;
}

std::string DirectoryValue(const text::NameValueList& list, std::string_view key) {
  const std::string_view value = list.Value(key);
  if (value.empty()) return {};
  std::string dir = text::IncludeTrailingDelimiter(value);
  return text::DirectoryExists(dir) ? dir : std::string();
}

void LoadSite(Site& site, const std::string& dir) {
  site.dir = dir.empty() ? records::ProgramDir() : text::IncludeTrailingDelimiter(dir);
  site.config_path = site.dir + "config.txt";
  site.has_config = text::FileExists(site.config_path);
  site.config.Clear();
  if (site.has_config) site.config.LoadFromFile(site.config_path);
  if (dir.empty()) {
    // The program's own reader, for the configuration it serves with.
    site.module.LoadConfig();
  } else {
    site.module.SessionDb = DirectoryValue(site.config, "sessiondb");
    site.module.DumpPath = DirectoryValue(site.config, "dumppath");
    site.module.SiteUrl = site.config.Value("siteurl");
    site.module.MailFrom = site.config.Value("mailfrom");
    site.module.SendMailProgram = site.config.Value("sendmail");
    if (site.module.SendMailProgram.empty()) site.module.SendMailProgram = "/usr/sbin/sendmail";
  }
}

bool LoadSession(Site& site, std::string_view name, Session& session, std::string& err) {
  if (site.module.SessionDb.empty()) {
    err = site.has_config ? site.config_path + ": sessiondb names no folder\n"
                          : "no config.txt in " + site.dir + " (give the site's folder with --site DIR)\n";
    return false;
  }
  session.name = name;
  session.settings_path = site.module.SessionDb + std::string(name) + ".txt";
  // The program's rule: a name that could leave the sessions folder names
  // no session.
  if (!records::IsUsableName(name) || !text::FileExists(session.settings_path)) {
    err = "no session \"" + std::string(name) + "\" (no file " + session.settings_path + ")\n";
    return false;
  }
  session.settings.LoadFromFile(session.settings_path);
  site.module.LoadSession(name);
  session.storage = credentials::PasswordStorageFrom(session.settings.Value("PasswordHash"));
  return true;
}

}  // namespace admin
