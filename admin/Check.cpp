// The check command: everything in a site's files that keeps the site from
// working as configured, one line each, and the settings that are risky.
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "admin/Admin.h"
#include "filter/Jpeg.h"
#include "mail/Mail.h"
#include "pages/PageSet.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/System.h"
#include "records/Maintenance.h"
#include "records/Members.h"
#include "records/Posting.h"

namespace admin {
namespace {

// The keys the program reads; any other line is a typing error or a
// setting of another program, and is ignored by the site.
constexpr std::string_view kConfigKeys[] = {"sessiondb", "dumppath", "bodylimit", "authlog",
                                            "activitylog", "siteurl", "mailfrom", "sendmail"};
constexpr std::string_view kSessionKeys[] = {"path",           "membersdb",      "nameorder",     "FileNameTemplate",
                                             "FileNameCounter", "DefaultImgFile", "PasswordHash",  "StripLocation",
                                             "Pages",           "SiteName",       "SiteHome",      "Templates",
                                             "Stylesheet",      "UploadUrl",      "PasswordReset", "SelfRemoval",
                                             "RemoveOwnPosts",  "SignIn",         "SignInIdleDays", "SignInDays"};

bool SameKey(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

class Report {
 public:
  void Problem(const std::string& line) {
    text_ += "problem: " + line + "\n";
    ++problems_;
  }
  void Warning(const std::string& line) {
    text_ += "warning: " + line + "\n";
    ++warnings_;
  }
  const std::string& Text() const { return text_; }
  int Problems() const { return problems_; }
  int Warnings() const { return warnings_; }

 private:
  std::string text_;
  int problems_ = 0;
  int warnings_ = 0;
};

std::string Plural(int n, std::string_view word) {
  return std::to_string(n) + " " + std::string(word) + (n == 1 ? "" : "s");
}

void CheckKeys(const text::NameValueList& list, const std::string& file, std::span<const std::string_view> known,
               Report& report) {
  for (std::size_t i = 0; i < list.Count(); ++i) {
    // A line that begins with "#" is a comment: its name could never be a
    // key, so the program has always passed it over.
    if (list.Line(i).empty() || list.Line(i).front() == '#') continue;
    const std::string where = file + " line " + std::to_string(i + 1) + ": ";
    if (list.Line(i).find('=') == std::string::npos) {
      report.Problem(where + "no name=value, ignored");
      continue;
    }
    const std::string_view name = list.NameAt(i);
    bool is_known = false;
    for (std::string_view key : known) is_known = is_known || SameKey(name, key);
    if (!is_known) {
      report.Problem(where + "unknown key " + Quoted(name) + ", ignored");
    } else if (list.IndexOfName(name) != static_cast<long>(i)) {
      report.Problem(where + "a second " + Quoted(name) + " line, ignored: the first counts");
    }
  }
}

// The folders the site writes into, each looked at once at the end.
using Folders = std::set<std::string>;

// A folder setting of `file`: reports it unset (when required), missing or
// unwritable, with what that means to the site; returns the folder taken.
std::string CheckFolderKey(const text::NameValueList& list, const std::string& file, std::string_view key,
                           bool required, bool written, std::string_view consequence, Report& report,
                           Folders& folders) {
  const std::string_view value = list.Value(key);
  if (value.empty()) {
    if (required) report.Problem(file + ": " + std::string(key) + " is not set: " + std::string(consequence));
    return {};
  }
  const std::string where = file + ": " + std::string(key) + "=" + std::string(value) + ": ";
  const std::string dir = DirectoryValue(list, key);
  if (dir.empty()) {
    report.Problem(where + "no such folder: " + std::string(consequence));
    return {};
  }
  if (written && !platform::DirectoryWritable(dir)) report.Problem(where + "folder not writable");
  folders.insert(dir);
  return dir;
}

void CheckRecords(const std::string& dir, const Session& session, Report& report, int& members) {
  int clear = 0;
  for (const std::string& id : records::MemberIds(dir)) {
    ++members;
    const std::string path = dir + id + ".txt";
    std::string bytes;
    try {
      bytes = platform::ReadWholeFile(path);
    } catch (const platform::Exception& e) {
      report.Problem(path + ": " + e.Message());
      continue;
    }
    switch (records::JudgeRecord(id, bytes)) {
      case records::RecordFault::kNone: break;
      case records::RecordFault::kUnusableName:
        report.Problem(path + ": the name is no ID the site accepts, the record is never used");
        break;
      case records::RecordFault::kTooLarge:
        report.Problem(path + ": over " + std::to_string(records::kMaxRecordBytes) +
                       " bytes, the site refuses to save it");
        break;
      case records::RecordFault::kNoId: report.Problem(path + ": no id= line"); break;
      case records::RecordFault::kNoPassword:
        report.Problem(path + ": no pw= line, the empty password matches");
        break;
      case records::RecordFault::kIdMismatch:
        report.Problem(path + ": its id= line names another ID than its file name");
        break;
    }
    text::NameValueList record;
    record.SetText(bytes);
    if (record.IndexOfName("pw") >= 0 && credentials::NeedsRehash(session.storage, record.Value("pw"))) ++clear;
    if (credentials::LooksLikeUncheckedHash(record.Value("pw"))) {
      report.Problem(path + ": pw= begins like an Argon2 hash but is none the site checks (damaged, of " +
                     "another form, or costlier than its own): the value itself is the password; " +
                     "orvalengate-admin reset-password " + session.name + " " + id + " sets a new one");
    }
  }
  if (clear > 0) {
    report.Warning(dir + ": " + Plural(clear, "record") + " keep the password in the clear: orvalengate-admin " +
                   "hash-passwords " + session.name + " converts them");
  }
}

// The counter of the template rule: it must hold a number, or be creatable.
void CheckCounter(const Site& site, Report& report, Folders& folders) {
  const member::TWebModule1& m = site.module;
  if (m.FileNameTemplate.empty() || m.UploadPath.empty()) return;
  const std::string counter = m.FileNameCounter.empty() ? m.UploadPath + "counter.txt" : m.FileNameCounter;
  if (text::FileExists(counter)) {
    try {
      records::ParseCounter(platform::ReadWholeFile(counter));
    } catch (const platform::Exception&) {
      report.Problem(counter + ": the counter holds no number, every post fails");
    }
  }
  const char delimiters[] = {platform::kPathDelimiter, '\0'};
  const std::size_t last = counter.find_last_of(delimiters);
  const std::string dir = last == std::string::npos ? "./" : counter.substr(0, last + 1);
  if (!text::DirectoryExists(dir)) {
    report.Problem(counter + ": the counter's folder does not exist, every post fails");
  } else {
    if (!platform::DirectoryWritable(dir)) report.Problem(dir + ": the counter's folder is not writable");
    folders.insert(dir);
  }
}

// The second page set's keys, and the operator's templates it would use:
// one that cannot be used is replaced by the built-in page at every view.
void CheckPageSet(const text::NameValueList& settings, const std::string& file, Report& report, Folders& folders) {
  const std::string_view pages = settings.Value("Pages");
  if (!pages.empty() && !member::IsModernPages(pages)) {
    report.Warning(file + ": Pages=" + std::string(pages) + " is no page set this program knows: the default set is used");
  }
  const std::string dir = CheckFolderKey(settings, file, "Templates", false, false,
                                         "the built-in templates are used", report, folders);
  if (dir.empty()) return;
  for (const pages::TemplateKind& kind : pages::AllTemplates()) {
    const std::string path = dir + std::string(kind.file);
    if (!text::FileExists(path)) continue;
    try {
      const std::string problem = pages::TemplateProblem(platform::ReadWholeFile(path), kind.names);
      if (!problem.empty()) report.Problem(path + ": " + problem + ": the built-in page is used instead");
    } catch (const platform::Exception& e) {
      report.Problem(path + ": " + e.Message());
    }
  }
}

std::string Octal(unsigned mode) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04o", mode & 07777);
  return buf;
}

// The members folder closed to others (0700, as the security notes ask).
// Records count only where the folder lets others through: inside a closed
// folder no one else reaches them, whatever their mode (the site creates
// new records 0644 and saves keep a record's mode).
void CheckPrivacy(const std::string& dir, Report& report) {
  const std::optional<unsigned> mode = platform::PermissionBits(dir);
  if (!mode || (*mode & 07) == 0) return;
  report.Warning(dir + ": the members folder is open to others (mode " + Octal(*mode) +
                 "), yet it holds every password: chmod 700 it");
  if ((*mode & 01) == 0) return;
  int readable = 0;
  for (const std::string& id : records::MemberIds(dir)) {
    const std::optional<unsigned> record = platform::PermissionBits(records::MemberRecordPath(dir, id));
    if (record && (*record & 04) != 0) ++readable;
  }
  if (readable > 0) report.Warning(dir + ": " + Plural(readable, "record") + " readable by others: chmod 600 them");
}

// The program logs to error.txt beside it, or where a link of that name
// points. The web server's user is unknown here; the owner of the data
// folders stands for it, so the log counts as writable when that user may
// write the file, or create it in its folder.
void CheckErrorLog(const Site& site, const std::string& data_dir, Report& report) {
  const std::string log = platform::LinkTarget(site.dir + "error.txt");
  const std::size_t last = log.find_last_of(platform::kPathDelimiter);
  const std::string target = text::FileExists(log) ? log : log.substr(0, last == std::string::npos ? 0 : last + 1);
  const std::optional<bool> writable =
      text::DirectoryExists(target) || text::FileExists(target) ? platform::WritableByOwnerOf(target, data_dir)
                                                                 : std::optional<bool>(false);
  if (writable == false) {
    report.Warning(log + ": the program's error log cannot be written by the owner of " + data_dir +
                   ": errors reach no log; create it owned by that user, or link it into a log folder it may write");
  }
}

// The self-service keys are on with "1" alone; a mail is sent only with an
// address for its link, a sender and a mail program to hand it to.
void CheckSelfService(const Site& site, const text::NameValueList& settings, const std::string& file,
                      Report& report) {
  for (const std::string_view key : {"PasswordReset", "SelfRemoval", "RemoveOwnPosts"}) {
    const std::string_view value = settings.Value(key);
    if (!value.empty() && value != "0" && value != "1") {
      report.Warning(file + ": " + std::string(key) + "=" + std::string(value) + " is neither 0 nor 1: read as 0, off");
    }
  }
  if (settings.Value("PasswordReset") != "1") return;
  const member::TWebModule1& m = site.module;
  // Unset is the state a fresh installation ships in (the mail set-up is the
  // operator's next step): the site serves, only resets wait. A value that
  // is set but unusable is a mistake.
  if (m.SiteUrl.empty()) {
    report.Warning(file + ": PasswordReset=1 but config.txt has no siteurl=, the address the mailed links name: " +
                   "no mail is sent until it is set");
  } else if (m.SiteUrl.find_first_of(" #") != std::string::npos) {
    report.Problem("config.txt: siteurl=" + m.SiteUrl + " holds a blank or \"#\": the mailed links do not work");
  } else if (!m.SiteUrl.starts_with("https://")) {
    report.Warning("config.txt: siteurl=" + m.SiteUrl + " is no https:// address: the links carry their tokens " +
                   "and the new passwords travel in the clear");
  }
  if (m.MailFrom.empty()) {
    report.Warning(file + ": PasswordReset=1 but config.txt has no mailfrom=, the sender: no mail is sent until it is set");
  } else if (!mail::IsPlainMailAddress(m.MailFrom)) {
    report.Problem(file + ": PasswordReset=1 but config.txt has no plain mailfrom= address: no mail is sent");
  }
  if (!m.SendMailProgram.starts_with(platform::kPathDelimiter) &&
      !(m.SendMailProgram.size() > 2 && m.SendMailProgram[1] == ':')) {
    report.Problem("config.txt: sendmail=" + m.SendMailProgram +
                   " is no full path: the web server starts the program elsewhere than this tool");
  } else if (!text::FileExists(m.SendMailProgram)) {
    report.Problem(file + ": PasswordReset=1 but the mail program " + m.SendMailProgram +
                   " does not exist (install a mail server, or set sendmail= in config.txt): no mail is sent");
  }
}

// Upload folder -> the first session storing posts there and its members folder.
using UploadOwners = std::map<std::string, std::pair<std::string, std::string>>;

void CheckSession(Site& site, const std::string& name, Report& report, Folders& folders, Folders& member_dirs,
                  UploadOwners& uploads, int& members) {
  Session session;
  std::string err;
  if (!LoadSession(site, name, session, err)) {
    report.Problem(site.module.SessionDb + name + ".txt: the name is no session name the site accepts");
    return;
  }
  const std::string& file = session.settings_path;
  CheckKeys(session.settings, file, kSessionKeys, report);
  const std::string upload_dir =
      CheckFolderKey(session.settings, file, "path", true, true, "the site answers \"The session does not exist\"",
                     report, folders);
  const std::string members_dir =
      CheckFolderKey(session.settings, file, "membersdb", true, true,
                     "the site answers \"MemberDB does not exist\"", report, folders);
  // The sized copies' folder, once a post made it: its leftovers are
  // looked for, and it must take the copies of new posts and let removed
  // posts' copies go.
  const std::string sized_dir =
      upload_dir.empty() ? std::string() : text::IncludeTrailingDelimiter(upload_dir + std::string(records::kSizedFolder));
  if (!sized_dir.empty() && text::DirectoryExists(sized_dir)) {
    folders.insert(sized_dir);
    if (!platform::DirectoryWritable(sized_dir)) {
      report.Problem(sized_dir + ": folder not writable: new posts get no sized copies and removed posts' copies stay "
                     "served");
    }
  }
  // Posts and post lists are found by the poster's ID alone: members of two
  // member folders who share an ID would share them.
  if (!upload_dir.empty()) {
    const auto [owner, first] = uploads.try_emplace(upload_dir, name, members_dir);
    if (!first && owner->second.second != members_dir) {
      report.Warning(file + ": path=" + upload_dir + " is also the upload folder of session " + owner->second.first +
                     ", whose members are others: a member's list of photos shows the posts of a member of the " +
                     "other session with the same ID, and removing one's own posts removes those too");
    }
  }
  CheckCounter(site, report, folders);
  const std::string_view image = session.settings.Value("DefaultImgFile");
  const std::string_view strip = session.settings.Value("StripLocation");
  if (!image.empty() && !text::FileExists(std::string(image))) {
    report.Problem(file + ": DefaultImgFile=" + std::string(image) + ": no such file, posts without one are refused");
  } else if (!image.empty() && member::IsStripLocationOn(strip) &&
             !filter::IsJpeg(platform::ReadWholeFile(std::string(image)))) {
    report.Problem(file + ": DefaultImgFile=" + std::string(image) +
                   ": no JPEG, posts without an image are refused (StripLocation takes JPEGs only)");
  }
  if (!strip.empty() && strip != "0" && strip != "1") {
    report.Warning(file + ": StripLocation=" + std::string(strip) +
                   " is neither 0 nor 1: read as 1, posted photos must be JPEGs and lose their location");
  }
  const std::string_view hash = session.settings.Value("PasswordHash");
  if (!credentials::IsKnownPasswordHash(hash)) {
    report.Warning(file + ": PasswordHash=" + std::string(hash) +
                   " is no value this program knows: new passwords are hashed with argon2id");
  }
  CheckPageSet(session.settings, file, report, folders);
  CheckSelfService(site, session.settings, file, report);
  // Sessions may share a members folder; its records are looked at once.
  if (members_dir.empty() || !member_dirs.insert(members_dir).second) return;
  CheckPrivacy(members_dir, report);
  try {
    CheckRecords(members_dir, session, report, members);
  } catch (const platform::Exception& e) {
    report.Problem(members_dir + ": " + e.Message());
  }
}

// Leftover temporaries and the kind of file system, once per folder.
void CheckFolders(const Folders& folders, Report& report) {
  for (const std::string& dir : folders) {
    try {
      for (const platform::DirectoryEntry& entry : platform::ListDirectory(dir)) {
        if (entry.name.starts_with(platform::kTemporaryPrefix)) {
          report.Problem(dir + entry.name + ": a leftover temporary file of an interrupted save; delete it while " +
                         "the site is idle");
        }
      }
    } catch (const platform::Exception& e) {
      report.Problem(dir + ": " + e.Message());
    }
    switch (platform::FileSystemKindOf(dir)) {
      case platform::FileSystemKind::kFuse:
        report.Warning(dir + ": on a FUSE file system; if it is GlusterFS, check that the volume has " +
                       "performance.quick-read, performance.open-behind, performance.stat-prefetch and " +
                       "performance.write-behind off, or changes get lost between web servers");
        break;
      case platform::FileSystemKind::kNetwork:
        report.Warning(dir + ": on a network file system (untested): it must keep locks across clients, " +
                       "refuse link() onto an existing name and show every finished rename() to a fresh open");
        break;
      case platform::FileSystemKind::kLocal:
      case platform::FileSystemKind::kUnknown: break;
    }
  }
}

bool IsBodyLimit(std::string_view value) {
  if (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != std::string_view::npos) {
    return false;
  }
  return value.find_first_not_of('0') != std::string_view::npos;
}

}  // namespace

int Check(Site& site, Output& output) {
  Report report;
  if (!site.has_config) {
    report.Problem(site.config_path + ": no such file, the site serves no request");
    output.out += report.Text() + "1 problem\n";
    return kProblems;
  }
  Folders folders{site.dir};
  const std::string& file = site.config_path;
  const text::NameValueList& config = site.config;
  CheckKeys(config, file, kConfigKeys, report);
  const std::string sessions = CheckFolderKey(config, file, "sessiondb", true, false,
                                              "the site serves no request", report, folders);
  const std::string dumps =
      CheckFolderKey(config, file, "dumppath", false, true, "nothing is dumped", report, folders);
  if (!dumps.empty()) {
    report.Warning(file + ": dumppath is set: every posted request is kept in " + dumps +
                   ", passwords in the clear included (in a hashing session too)");
  }
  const std::string_view limit = config.Value("bodylimit");
  if (!limit.empty() && !IsBodyLimit(limit)) {
    report.Problem(file + ": bodylimit=" + std::string(limit) + " is no positive whole number, " +
                   std::to_string(member::TWebModule1::kDefaultBodyLimit) + " applies");
  }
  for (const std::string_view key : {"authlog", "activitylog"}) {
    const std::string log(config.Value(key));
    if (log.empty()) continue;
    const std::size_t last = log.rfind(platform::kPathDelimiter);
    const std::string dir = last == std::string::npos ? "./" : log.substr(0, last + 1);
    if (!text::DirectoryExists(dir)) {
      report.Problem(file + ": " + std::string(key) + "=" + log + ": its folder does not exist, nothing is logged");
    } else if (!platform::DirectoryWritable(dir)) {
      report.Problem(file + ": " + std::string(key) + "=" + log + ": its folder is not writable");
    }
  }

  int session_count = 0;
  int members = 0;
  Folders member_dirs;
  UploadOwners uploads;
  if (!sessions.empty()) {
    try {
      std::vector<std::string> names;
      for (const platform::DirectoryEntry& entry : platform::ListDirectory(sessions)) {
        if (entry.regular && entry.name.ends_with(".txt")) names.push_back(entry.name.substr(0, entry.name.size() - 4));
      }
      std::sort(names.begin(), names.end());
      for (const std::string& name : names) {
        ++session_count;
        CheckSession(site, name, report, folders, member_dirs, uploads, members);
      }
    } catch (const platform::Exception& e) {
      report.Problem(sessions + ": " + e.Message());
    }
    if (session_count == 0) report.Problem(sessions + ": no session file (<name>.txt)");
  }
  if (!sessions.empty()) CheckErrorLog(site, sessions, report);
  CheckFolders(folders, report);

  output.out += report.Text();
  const std::string warnings = report.Warnings() > 0 ? ", " + Plural(report.Warnings(), "warning") : "";
  if (report.Problems() > 0) {
    output.out += Plural(report.Problems(), "problem") + warnings + "\n";
    return kProblems;
  }
  output.out += "ok: " + Plural(session_count, "session") + ", " + Plural(members, "member") + warnings + "\n";
  return kOk;
}

}  // namespace admin
