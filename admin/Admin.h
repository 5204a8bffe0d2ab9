// The operator's tool: looks after a site's files while the site runs,
// through the same record operations, locks and atomic replaces as the
// program itself. Run() is the whole tool; main() only hands it the
// arguments and writes what it returns.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "credentials/Passwords.h"
#include "member/WebModule1.h"
#include "platform/System.h"
#include "text/NameValueList.h"

namespace admin {

// The exit codes, one per kind of failure, for scripts to tell apart.
enum ExitCode : int {
  kOk = 0,
  kProblems = 1,    // check found problems
  kUsage = 2,       // unknown command, option or argument count
  kNotFound = 3,    // no config.txt / sessiondb, no such session, no such member
  kIoError = 4,     // a file or folder could not be read or written
  kRefused = 5,     // the request was refused: password too short or twice unalike,
                    // a session that does not hash, a record grown too large
};

// What the tool says: `out` goes to standard output, `err` to standard error.
struct Output {
  std::string out;
  std::string err;
};

// The arguments after the program's name; returns the exit code. `typed`:
// the character set of a password read from standard input.
int Run(const std::vector<std::string>& args, Output& output,
        platform::TerminalCharset typed = platform::TerminalCharset::kShiftJis);

// A site as the tool finds it: the folder holding config.txt, and the
// program's module with the configuration and, once chosen, a session loaded.
struct Site {
  std::string dir;              // ends with the path delimiter
  std::string config_path;      // dir + "config.txt"
  bool has_config = false;
  text::NameValueList config;   // config.txt as written
  member::TWebModule1 module;   // SessionDb, DumpPath; the session's fields
};

// Loads config.txt of `dir` (empty: the folder of the executable, read as
// the program reads it).
void LoadSite(Site& site, const std::string& dir);

// The session's settings file as written, and how it stores passwords.
struct Session {
  std::string name;
  std::string settings_path;
  text::NameValueList settings;
  credentials::PasswordStorage storage = credentials::PasswordStorage::kClear;
};
// Loads the session into site.module; false (with the reason in `err`)
// when the site has no sessiondb folder or no such session.
bool LoadSession(Site& site, std::string_view name, Session& session, std::string& err);

// The directory rule of the program: a value counts when it names an
// existing folder, and is kept with a trailing delimiter.
std::string DirectoryValue(const text::NameValueList& list, std::string_view key);

int Check(Site& site, Output& output);

// Shift_JIS text (records, messages naming them) for a terminal of that
// character set: converted to UTF-8, kept for a Shift_JIS terminal, non-ASCII
// as character references (&#33457;) for an ASCII one. Controls, C0 and C1,
// become references in every set, bytes that are no CP932 character &#65533;.
std::string ForTerminal(std::string_view sjis, platform::TerminalCharset charset);
// An argument as typed, in Shift_JIS; none when a UTF-8 argument is no UTF-8
// or holds a character Shift_JIS lacks. Other sets pass as they are.
std::optional<std::string> FromTerminal(const std::string& typed, platform::TerminalCharset charset);

// The text in double quotes, as messages name keys, sessions and IDs.
std::string Quoted(std::string_view text);

}  // namespace admin
