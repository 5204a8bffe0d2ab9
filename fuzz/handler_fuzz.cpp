// Whole requests, in process: the member module's handler run through the
// CGI application (environment, standard input, standard output) against a
// fresh temporary site per input.
//
// Input: a site part, then up to four requests, parts separated by
// "\n%%\n". The site part holds operator lines (nameorder=, FileNameTemplate=,
// FileNameCounter, counter=, DefaultImgFile=, bodylimit=, nodump, modern (the
// second page set), signin (after modern: members sign in, alice signed in),
// template= (its result page, the operator's own)); every
// path they imply is placed inside the site. A request is CGI variable lines
// (NAME=value), an empty line, and the body; CONTENT_LENGTH defaults to the
// body's size, REQUEST_METHOD to POST, SERVER_PROTOCOL to HTTP/1.1.
//
// Invariants: nothing is written outside the site (its parent directory and
// the program's directory, which holds config.txt, stay as they were); every
// member record keeps one "id" line naming its file and one "pw" line; a
// site whose counter the input did not choose never answers with status 500;
// a request declaring a body over the limit is refused and changes nothing;
// one for a path that no action serves gets no answer and changes nothing
// (beside the program only the error log may change, naming an unusable
// template); no page of the second set (built-in templates) holds a
// password field.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
#include <vector>

#include "FuzzSupport.h"
#include "frontend/CGIApplication.h"
#include "frontend/WebRequest.h"
#include "member/WebModule1.h"
#include "platform/Digest.h"
#include "platform/Files.h"
#include "platform/Sjis.h"
#include "records/Storage.h"
#include "text/NameValueList.h"

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kMember = "id=alice\r\npw=secret99\r\nrealname=Alice\r\ncountry=JP\r\nmail=a@example.com\r\n";
constexpr std::string_view kJpeg = "\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\xFF\xD9";

// One directory's entries with what tells a rewrite: size, change time, inode.
using Listing = std::map<std::string, std::tuple<long long, long long, long long, unsigned long>>;

bool StatOf(const fs::path& path, Listing::mapped_type& out) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return false;
  out = {static_cast<long long>(st.st_size), static_cast<long long>(st.st_ctim.tv_sec),
         static_cast<long long>(st.st_ctim.tv_nsec), static_cast<unsigned long>(st.st_ino)};
  return true;
}

// One directory's entries, less those `skip` names.
template <typename Skip>
Listing List(const std::string& dir, Skip skip) {
  Listing out;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (!skip(name) && !StatOf(entry.path(), out[name])) out.erase(name);
  }
  return out;
}

// The program's directory, less the fuzz executables, which a build beside
// a running fuzzer may replace.
Listing BesideProgram() {
  return List(records::ProgramDir(), [](const std::string& name) { return name.ends_with("_fuzz"); });
}

// Every entry below the site, for "nothing changed".
Listing ListTree(const std::string& dir) {
  Listing out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (!StatOf(it->path(), out[it->path().string()])) out.erase(it->path().string());
  }
  return out;
}

void WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// An operator value from the input, made safe to stand for a name inside
// the site: no "/", no NUL, not "." or "..", bounded.
std::string SiteName(std::string_view value, std::string_view fallback) {
  std::string out;
  for (char c : value.substr(0, 40)) {
    if (c != '/' && c != '\0') out += c;
  }
  if (out.empty() || out == "." || out == "..") return std::string(fallback);
  return out;
}

struct Harness {
  std::string root;  // the site's parent; also the working directory
  std::string site;  // root + "site/"
  std::string config;
  int saved_stdin = -1;
  int saved_stdout = -1;
  // ORVALENGATE_FUZZ_SHOW=1 prints every answer: for writing seeds.
  bool show = std::getenv("ORVALENGATE_FUZZ_SHOW") != nullptr;

  // config.txt beside the program is one per directory: two handler
  // fuzzers started from the same build would rewrite each other's.
  platform::FileLock program_dir_lock =
      platform::FileLock::TryAcquire(records::ProgramDir() + ".handler_fuzz.lock");

  Harness() {
    if (!program_dir_lock.Held()) fuzz::Fail("another handler_fuzz runs from this directory", records::ProgramDir());
    std::string base = "/tmp";
    if (const char* dir = std::getenv("ORVALENGATE_FUZZ_TMP"); dir && *dir) base = dir;
    std::string templ = base + "/orvalengate-fuzz-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) fuzz::Fail("mkdtemp", templ);
    root = templ + "/";
    site = root + "site/";
    config = records::ProgramDir() + "config.txt";
    // A relative path anywhere in the program lands here, where it is seen.
    if (::chdir(root.c_str()) != 0) fuzz::Fail("chdir", root);
    saved_stdin = ::dup(STDIN_FILENO);
    saved_stdout = ::dup(STDOUT_FILENO);
    auto& app = frontend::Application();
    app.Initialize();
    app.RegisterModuleClass(&member::TWebModule1::Create);
    // A module per request, as a CGI process has.
    app.SetCacheConnections(false);
  }
  ~Harness() {
    std::error_code ec;
    fs::remove_all(root, ec);
    fs::remove(config, ec);
  }
};

// The site's parent holds nothing but the site.
Listing BesideSite(const Harness& h) {
  return List(h.root, [](const std::string& name) { return name == "site"; });
}

// The processes whose parent this process is now.
std::set<pid_t> Children() {
  std::set<pid_t> pids;
  std::ifstream list("/proc/self/task/" + std::to_string(::getpid()) + "/children");
  for (long pid = 0; list >> pid;) pids.insert(static_cast<pid_t>(pid));
  return pids;
}

Harness& TheHarness() {
  static Harness harness = [] {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    return Harness();
  }();
  return harness;
}

struct Site {
  // The input chose the counter's place or content; a broken counter is the
  // operator's fault and answers 500 by design.
  bool counter_chosen = false;
  // What config.txt's bodylimit comes to: a positive decimal number of at
  // most 18 digits, else 64 MiB.
  std::int64_t body_limit = 64 * 1024 * 1024;
  bool modern = false;        // the second page set
  bool own_template = false;  // with the input's own result template
  bool self_service = false;  // password resets (with a mail program that is missing) and removals
  bool signin = false;        // members sign in; alice is signed in with kSignInToken
};

// alice's sign-in: a request may bring this token in its Cookie header and
// the form token derived from it (SHA-256 of "form\n" and the token) in csrf.
constexpr std::string_view kSignInToken = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

std::int64_t BodyLimit(std::string_view value) {
  constexpr std::int64_t kDefault = 64 * 1024 * 1024;
  if (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != std::string_view::npos) {
    return kDefault;
  }
  const std::int64_t limit = std::stoll(std::string(value));
  return limit > 0 ? limit : kDefault;
}

Site MakeSite(const Harness& h, std::string_view layout) {
  std::error_code ec;
  fs::remove_all(h.site, ec);
  for (const char* d : {"", "sessions", "members", "upload", "dumps", "img"}) fs::create_directories(h.site + d, ec);
  WriteFile(h.site + "members/alice.txt", kMember);

  std::string session = "path=" + h.site + "upload\r\nmembersdb=" + h.site + "members\r\n";
  std::string config = "sessiondb=" + h.site + "sessions\r\n";
  bool dump = true;
  std::string counter_path = h.site + "upload/counter.txt";
  std::string counter;
  bool write_counter = false;
  bool limit_set = false;
  Site result;
  while (!layout.empty()) {
    const std::size_t end = layout.find('\n');
    std::string_view line = layout.substr(0, end);
    layout.remove_prefix(end == std::string_view::npos ? layout.size() : end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    const std::size_t eq = line.find('=');
    const std::string_view key = line.substr(0, eq);
    std::string_view value = eq == std::string_view::npos ? std::string_view() : line.substr(eq + 1);
    // A CR inside would end the operator's line early in the file.
    value = value.substr(0, value.find('\r'));
    if (key == "nameorder") {
      session += "nameorder=" + std::string(value) + "\r\n";
    } else if (key == "FileNameTemplate") {
      session += "FileNameTemplate=" + SiteName(value, "#") + "\r\n";
    } else if (key == "FileNameCounter") {
      counter_path = h.site + SiteName(value, "counter.txt");
      result.counter_chosen = true;
      session += "FileNameCounter=" + counter_path + "\r\n";
    } else if (key == "counter") {
      counter = value;
      write_counter = true;
      result.counter_chosen = true;
    } else if (key == "DefaultImgFile") {
      const std::string path = h.site + "img/" + SiteName(value, "default.jpg");
      WriteFile(path, kJpeg);
      session += "DefaultImgFile=" + path + "\r\n";
    } else if (key == "bodylimit") {
      if (!limit_set) {  // the first line of a name counts
        limit_set = true;
        result.body_limit = BodyLimit(value);
        config += "bodylimit=" + std::string(value) + "\r\n";
      }
    } else if (key == "nodump") {
      dump = false;
    } else if (key == "modern" && !result.modern) {
      result.modern = true;
      session += "Pages=modern\r\nSiteName=Fuzz site\r\nUploadUrl=/up/\r\n";
    } else if (key == "selfservice" && !result.self_service) {
      // No mail program: a request for a mail is answered as ever, and the
      // error log says why nothing went out.
      result.self_service = true;
      session += "PasswordReset=1\r\nSelfRemoval=1\r\nRemoveOwnPosts=1\r\n";
      config += "siteurl=https://fuzz.example/og\r\nmailfrom=og@fuzz.example\r\nsendmail=" + h.site + "none\r\n";
    } else if (key == "signin" && result.modern && !result.signin) {
      result.signin = true;
      session += "SignIn=1\r\n";
      WriteFile(h.site + "members/.signin-" + platform::Sha256Hex(kSignInToken),
                "session=s1\r\nid=alice\r\npw=" + platform::Sha256Hex("alice\nsecret99") +
                    "\r\ncreated=9999999999\r\nused=9999999999\r\n");
    } else if (key == "template" && !result.own_template) {
      result.own_template = true;
      fs::create_directories(h.site + "tpl", ec);
      WriteFile(h.site + "tpl/result.html", value);
      session += "Templates=" + h.site + "tpl\r\n";
    }
  }
  if (write_counter && !fs::is_directory(counter_path, ec)) WriteFile(counter_path, counter);
  if (dump) config += "dumppath=" + h.site + "dumps\r\n";
  WriteFile(h.site + "sessions/s1.txt", session);
  WriteFile(h.config, config);
  return result;
}

bool IsCgiName(std::string_view name) {
  static const std::set<std::string_view> kNames = {
      "REQUEST_METHOD", "SERVER_PROTOCOL", "URL",         "QUERY_STRING", "PATH_INFO",   "PATH_TRANSLATED",
      "CONTENT_TYPE",   "CONTENT_LENGTH",  "REMOTE_ADDR", "REMOTE_HOST",  "SCRIPT_NAME", "SERVER_PORT",
  };
  if (kNames.count(name) != 0) return true;
  if (!name.starts_with("HTTP_") || name.size() > 64) return false;
  for (char c : name) {
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return true;
}

int MemFd(std::string_view bytes) {
  const int fd = ::memfd_create("orvalengate-fuzz", 0);
  if (fd < 0) fuzz::Fail("memfd_create");
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) fuzz::Fail("write to memfd");
    done += static_cast<std::size_t>(n);
  }
  ::lseek(fd, 0, SEEK_SET);
  return fd;
}

std::string ReadAll(int fd) {
  std::string out;
  ::lseek(fd, 0, SEEK_SET);
  char buf[65536];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  return out;
}

struct Request {
  std::int64_t declared_length = -1;  // as the program reads CONTENT_LENGTH
  bool has_query = false;
  // The module's one action has an empty path: a request for any other
  // path is handled by nobody and gets no answer at all.
  bool dispatched = true;
};

// Runs one request; returns what the program wrote to standard output.
std::string RunRequest(const Harness& h, std::string_view request, Request& seen) {
  // putenv with strings of our own, not setenv: the C library keeps every
  // value ever given to setenv, so a long run would grow by each input.
  static std::vector<std::string> entries;
  for (const std::string& entry : entries) ::unsetenv(entry.substr(0, entry.find('=')).c_str());
  entries.clear();
  for (const char* name : {"REQUEST_METHOD", "SERVER_PROTOCOL", "URL", "QUERY_STRING", "PATH_INFO", "PATH_TRANSLATED",
                           "CONTENT_TYPE", "CONTENT_LENGTH", "HTTP_CONTENT_TYPE", "HTTP_CONTENT_LENGTH"}) {
    ::unsetenv(name);
  }

  std::string_view body;
  std::map<std::string, std::string> vars = {{"REQUEST_METHOD", "POST"}, {"SERVER_PROTOCOL", "HTTP/1.1"}};
  bool length_given = false;
  while (true) {
    const std::size_t end = request.find('\n');
    if (end == std::string_view::npos) {
      body = request;  // no empty line: all of it is the body
      break;
    }
    std::string_view line = request.substr(0, end);
    request.remove_prefix(end + 1);
    if (line.empty()) {
      body = request;
      break;
    }
    const std::size_t eq = line.find('=');
    const std::string name(line.substr(0, eq));
    if (eq == std::string_view::npos || !IsCgiName(name)) continue;
    std::string value(line.substr(eq + 1));
    if (value.find('\0') != std::string::npos) value.resize(value.find('\0'));
    length_given = length_given || name == "CONTENT_LENGTH";
    vars[name] = value;
  }
  if (!length_given) vars["CONTENT_LENGTH"] = std::to_string(body.size());
  // The request reads the HTTP_ name first and falls back to the CGI one.
  const std::string& length = vars["HTTP_CONTENT_LENGTH"].empty() ? vars["CONTENT_LENGTH"] : vars["HTTP_CONTENT_LENGTH"];
  seen.declared_length = frontend::StrToIntDef(length);
  seen.has_query = !vars["QUERY_STRING"].empty();
  seen.dispatched = vars["PATH_INFO"].empty() && vars["HTTP_PATH_INFO"].empty();
  entries.reserve(vars.size());  // putenv keeps pointers into the strings
  for (const auto& [name, value] : vars) {
    entries.push_back(name + "=" + value);
    ::putenv(entries.back().data());
  }

  const int in = MemFd(body);
  const int out = MemFd({});
  ::dup2(in, STDIN_FILENO);
  ::dup2(out, STDOUT_FILENO);
  const std::set<pid_t> before = Children();
  frontend::Application().Run();
  // A request for a mail leaves the rest to a copy of this process, which
  // becomes a child here (see TheHarness): it ends before the site is
  // looked at, and a fault in it fails the input. Only the children this
  // request made are waited for: the fuzzer keeps a symbolizer of its own.
  for (const pid_t child : Children()) {
    if (before.contains(child)) continue;
    int status = 0;
    if (::waitpid(child, &status, 0) != child) continue;
    fuzz::Check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "a request's mail worker ends cleanly");
  }
  ::dup2(h.saved_stdin, STDIN_FILENO);
  ::dup2(h.saved_stdout, STDOUT_FILENO);
  std::string answer = ReadAll(out);
  ::close(in);
  ::close(out);
  return answer;
}

void CheckRecords(const Harness& h) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(h.site + "members", ec)) {
    const std::string file = entry.path().filename().string();
    if (!file.ends_with(".txt") || !entry.is_regular_file(ec)) continue;
    text::NameValueList record;
    record.LoadFromFile(entry.path().string());
    std::size_t ids = 0, passwords = 0;
    for (std::size_t i = 0; i < record.Count(); ++i) {
      if (record.Line(i).find('=') == std::string::npos) continue;
      ids += platform::SameTextSjis(record.NameAt(i), "id");
      passwords += platform::SameTextSjis(record.NameAt(i), "pw");
    }
    fuzz::Check(ids == 1 && passwords == 1, "a member record has one id and one pw line", record.GetText());
    const std::string id = file.substr(0, file.size() - 4);
    fuzz::Check(record.Value("id") == id, "a record's id names its file", file);
    // What registration lets through: no markup, no blank at either end,
    // no record over 64 KiB.
    fuzz::Check(id.find_first_of("<>") == std::string::npos, "an ID holds no < or >", id);
    const bool blank_edge = id.empty() || static_cast<unsigned char>(id.front()) <= 0x20 ||
                            static_cast<unsigned char>(id.back()) <= 0x20 || id.starts_with("&nbsp;") ||
                            id.ends_with("&nbsp;");
    fuzz::Check(!blank_edge, "an ID neither begins nor ends with a blank", id);
    fuzz::Check(fs::file_size(entry.path(), ec) <= 65536, "a record stays within 64 KiB", id);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Harness& h = TheHarness();
  const auto parts = fuzz::SplitParts(fuzz::AsView(data, size), 5);
  const Site site = MakeSite(h, parts[0]);
  const Listing root_before = BesideSite(h);
  Listing program_before = BesideProgram();

  for (std::size_t i = 1; i < parts.size(); ++i) {
    Request seen;
    // A declared body over the limit is refused unread (unless the query
    // asks for a profile first), and a request for a path of no action is
    // not served at all: either way the site stays exactly as it was.
    const Listing site_before = ListTree(h.site);
    const std::string answer = RunRequest(h, parts[i], seen);
    if (h.show) std::fprintf(stderr, "--- answer %zu ---\n%s\n", i, answer.c_str());
    if (!seen.dispatched) {
      fuzz::Check(answer.empty(), "a request for another path gets no answer", answer);
      fuzz::Check(ListTree(h.site) == site_before, "a request for another path changes nothing", answer);
    } else if (seen.declared_length > site.body_limit && !seen.has_query) {
      fuzz::Check(answer.find("The request is too large") != std::string::npos, "an oversized body is refused", answer);
      fuzz::Check(ListTree(h.site) == site_before, "an oversized request changes nothing in the site", answer);
    }
    if (site.modern && !site.own_template) {
      // The profile form carries a token instead of the password; where
      // members sign in, only the program's own forms ask for one, empty.
      if (!site.signin) {
        fuzz::Check(answer.find("name=\"pw\"") == std::string::npos, "no page of the second set asks for a password", answer);
      }
      fuzz::Check(answer.find("secret99") == std::string::npos, "no page of the second set shows a password", answer);
    }
    if (!site.counter_chosen) {
      fuzz::Check(!answer.starts_with("Status: 500"), "a sound site never answers 500", answer);
    }
  }

  fuzz::Check(BesideSite(h) == root_before, "nothing written beside the site");
  Listing program_after = BesideProgram();
  if (site.own_template || site.self_service) {
    // An unusable template of the operator's, or a mail that could not be
    // sent, is named in the error log.
    program_before.erase("error.txt");
    program_after.erase("error.txt");
  }
  fuzz::Check(program_after == program_before, "nothing written beside the program");
  CheckRecords(h);
  return 0;
}
