// Runs the table of hostile requests (cases.txt beside this file) against the
// built executable, one fresh site per row, and checks for every row the
// answer, the files it left, that nothing changed outside the site, and that
// CPU time and peak memory stayed within linear bounds. Writes hostile.md.
//
// usage: hostile_table <cases file> <report dir> [row name substring]
// The report goes to $ORVALENGATE_REPORT_DIR instead when that is set;
// ORVALENGATE_KEEP_SITES=1 keeps every row's directory for a look.
#include <fnmatch.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "CommandsSupport.h"
#include "Harness.h"

namespace fs = std::filesystem;
using Error = std::runtime_error;

namespace {

#ifdef ORVALENGATE_HOSTILE_SANITIZED
// ASan's shadow memory and its slower code say nothing about the program's
// own growth: the bounds are not checked, everything else is.
constexpr bool kBoundsChecked = false;
constexpr double kDeadlineSeconds = 180;
#else
constexpr bool kBoundsChecked = true;
constexpr double kDeadlineSeconds = 30;
#endif

// What a plainly linear program may spend per request byte, generously; the
// bound is ten times the baseline plus this per byte.
constexpr double kLinearSecondsPerByte = 50e-9;
constexpr double kMinBaselineSeconds = 0.01;
constexpr double kTimeFactor = 10;
constexpr double kMemoryPerByte = 8;
constexpr double kMemorySlackMiB = 8;
constexpr int kNobody = 65534;

bool OneOf(const std::string& word, std::string_view words) {
  return (" " + std::string(words) + " ").find(" " + word + " ") != std::string::npos;
}

struct Context {
  std::map<std::string, std::string> lets;  // name -> source text
  std::string site, jail;                   // ${SITE}, ${JAIL}
};

// The expression language of the table (see the head of cases.txt).
class Parser {
 public:
  Parser(std::string_view src, const Context& ctx) : s_(src), ctx_(ctx) {}

  bool AtEnd() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t')) ++i_;
    return i_ >= s_.size();
  }
  bool Eat(char c) {
    if (AtEnd() || s_[i_] != c) return false;
    ++i_;
    return true;
  }
  // Keywords, names and numbers.
  std::string Word() {
    AtEnd();  // past the blanks
    const std::size_t from = i_;
    while (i_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[i_])) || s_[i_] == '_')) ++i_;
    if (from == i_) Fail("word expected");
    return std::string(s_.substr(from, i_ - from));
  }
  // One value: terms joined by "+".
  std::string Expr() {
    std::string out = Term();
    while (Eat('+')) out += Term();
    return out;
  }
  unsigned long long Number() { return ToNumber(Expr()); }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw Error(what + " at column " + std::to_string(i_ + 1) + ": " + std::string(s_));
  }
  // Decimal, or octal with a leading 0 (file modes); "Ki" and "Mi" multiply.
  unsigned long long ToNumber(const std::string& t) const {
    std::size_t used = 0;
    const unsigned long long n = std::isdigit(static_cast<unsigned char>(t[0])) ? std::stoull(t, &used, 0) : 0;
    const std::string unit = t.substr(used);
    if (used == 0 || (!unit.empty() && !OneOf(unit, "Ki Mi"))) Fail("bad number " + t);
    return n << (unit.empty() ? 0 : unit == "Ki" ? 10 : 20);
  }
  char Next() {
    if (i_ >= s_.size()) Fail("unterminated string");
    return s_[i_++];
  }
  std::string Term() {
    if (Eat('"')) return String();
    const std::string w = Word();
    if (std::isdigit(static_cast<unsigned char>(w[0]))) return std::to_string(ToNumber(w));
    if (!Eat('(')) {
      const auto let = ctx_.lets.find(w);
      if (let == ctx_.lets.end()) Fail("unknown name " + w);
      return Parser(let->second, ctx_).Expr();
    }
    std::vector<std::string> a;
    for (bool more = !Eat(')'); more; more = Eat(',')) a.push_back(Expr());
    if (!a.empty() && !Eat(')')) Fail("')' expected");
    static const std::map<std::string, std::size_t> kArity = {
        {"rep", 2}, {"part", 2}, {"file", 4}, {"end", 0}, {"len", 1}};
    if (!kArity.count(w) || kArity.at(w) != a.size()) Fail("unknown function or wrong arguments: " + w);
    if (w == "len") return std::to_string(a[0].size());
    if (w == "rep") {  // "{i}" in the text becomes the copy's number
      const unsigned long long n = ToNumber(a[0]);
      const std::size_t at = a[1].find("{i}");
      std::string out;
      for (unsigned long long i = 0; i < n; ++i) {
        out += at == std::string::npos ? a[1] : a[1].substr(0, at) + std::to_string(i) + a[1].substr(at + 3);
      }
      return out;
    }
    // Multipart parts, boundary XB.
    if (w == "end") return "--XB--\r\n";
    std::string out = "--XB\r\nContent-Disposition: form-data; name=\"" + a[0] + "\"";
    if (w == "file") out += "; filename=\"" + a[1] + "\"\r\nContent-Type: " + a[2];
    return out + "\r\n\r\n" + a.back() + "\r\n";
  }
  std::string String() {
    static constexpr std::string_view kEscaped = "rnt0\\\"", kMeant{"\r\n\t\0\\\"", 6};
    std::string out;
    for (char c; (c = Next()) != '"'; out += c) {
      if (c != '\\') continue;
      if ((c = Next()) == 'x') {
        std::size_t used = 0;
        c = static_cast<char>(std::stoi(std::string(s_.substr(i_, 2)), &used, 16));
        if (used != 2) Fail("bad \\x");
        i_ += 2;
      } else if (kEscaped.find(c) != std::string_view::npos) {
        c = kMeant[kEscaped.find(c)];
      } else {
        Fail(std::string("bad escape \\") + c);
      }
    }
    for (const auto& [var, value] : {std::pair{"${SITE}", &ctx_.site}, {"${JAIL}", &ctx_.jail}}) {
      for (std::size_t at; (at = out.find(var)) != std::string::npos;) out.replace(at, std::strlen(var), *value);
    }
    return out;
  }

  std::string_view s_;
  std::size_t i_ = 0;
  const Context& ctx_;
};

std::string Trim(std::string_view s) {
  const std::size_t from = s.find_first_not_of(" \t\r");
  return from == std::string_view::npos ? "" : std::string(s.substr(from, s.find_last_not_of(" \t\r") + 1 - from));
}

struct Row {
  std::string name;
  int line;
  std::vector<std::string> directives;  // evaluated when the row runs
};

std::vector<Row> ReadTable(const std::string& path, Context& ctx) {
  std::ifstream in(path);
  if (!in) throw Error("cannot read " + path);
  std::vector<Row> rows;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::string l = Trim(line);
    const std::size_t eq = l.find('=');
    if (l.empty() || l[0] == '#') continue;
    if (l.starts_with("let ") && eq != std::string::npos) {
      ctx.lets[Trim(l.substr(4, eq - 4))] = l.substr(eq + 1);
    } else if (l.starts_with("case ")) {
      rows.push_back({l.substr(5), number, {}});
    } else if (rows.empty()) {
      throw Error("line " + std::to_string(number) + " stands outside a case");
    } else {
      rows.back().directives.push_back(l);
    }
  }
  return rows;
}

std::string ErrorPage(const std::string& name) {
  namespace m = blackbox::commands::msg;
  // clang-format off
#define MESSAGE(n) {#n, &m::k##n}
  static const std::map<std::string, const std::string*> kMessages = {
      MESSAGE(Blank), MESSAGE(PasswordMismatch), MESSAGE(PasswordTooShort), MESSAGE(IdAlreadyRegistered),
      MESSAGE(IdUnusable), MESSAGE(IdDoesNotExist), MESSAGE(NewPasswordMismatch), MESSAGE(PasswordNotChanged),
      MESSAGE(IdPasswordRequired), MESSAGE(IdPasswordRequiredE), MESSAGE(ProfileIdMissing),
      MESSAGE(ProfileIdMissingE), MESSAGE(ProfileNotChanged), MESSAGE(MemberDoesNotExist), MESSAGE(PasswordWrong),
      MESSAGE(NoAttachedFile), MESSAGE(NoFreeFileName), MESSAGE(NoData), MESSAGE(SessionMissing),
      MESSAGE(RequestTooLarge), MESSAGE(ProfileTooLong), MESSAGE(IdBlankEnds)};
#undef MESSAGE
  // clang-format on
  if (!kMessages.count(name)) throw Error("unknown message " + name);
  return blackbox::commands::ErrorPageFor(*kMessages.at(name));
}

// Bytes shown readably in a failure message, cut to a sensible length.
std::string Show(std::string_view bytes, std::size_t limit = 300) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02x", c);
    out += c >= 0x20 && c < 0x7F && c != '\\' ? std::string(1, static_cast<char>(c)) : buf;
  }
  return bytes.size() > limit ? out + "...(" + std::to_string(bytes.size()) + " bytes)" : out;
}

// Everything below `root`: path (directories end in "/") -> what identifies
// its state. Lock files come and go with every request and are left out.
using Snapshot = std::map<std::string, std::string>;

Snapshot Take(const std::string& root) {
  Snapshot snap;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    struct stat st {};
    if ((name[0] == '.' && name.ends_with(".lock")) || ::lstat(it->path().c_str(), &st) != 0) continue;
    // Any write moves the change time, a replacement the inode; the
    // contents themselves are compared only where a row names the bytes.
    char file[128];
    std::snprintf(file, sizeof file, ":%llu:%lld:%lld.%ld:%lld.%ld", static_cast<unsigned long long>(st.st_ino),
                  static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec,
                  static_cast<long long>(st.st_ctim.tv_sec), st.st_ctim.tv_nsec);
    // A directory changes with every file made in it: only its mode and owner count.
    const bool dir = S_ISDIR(st.st_mode);
    snap[fs::relative(it->path(), root).string() + (dir ? "/" : "")] =
        std::to_string(st.st_mode) + ":" + std::to_string(st.st_uid) + (dir ? "" : file);
  }
  return snap;
}

// This runner's children: a FastCGI site's resident processes, and what a
// request left working on its own (a mail), which becomes a child here
// (see main).
std::set<pid_t> Children() {
  std::set<pid_t> out;
  std::error_code ec;
  for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(it->path() / "stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 1));
    char state = 0;
    pid_t parent = 0;
    if (rest >> state >> parent && parent == ::getpid()) out.insert(std::stoi(name));
  }
  return out;
}

// Until every child but `residents` has ended (and is reaped): the row's
// files are looked at once the request's own work is done.
void WaitForLeftWork(const std::set<pid_t>& residents) {
  for (bool left = true; left;) {
    left = false;
    for (const pid_t child : Children()) {
      if (!residents.count(child) && ::waitpid(child, nullptr, WNOHANG) == 0) left = true;
    }
    if (left) ::usleep(5000);
  }
}

struct Outcome {
  std::vector<std::string> failures;
  std::string skipped;  // why the row could not run, if it could not
  double time_ratio = 0, memory_ratio = 0;
  blackbox::Result run;
};

constexpr std::string_view kChecks = "status page header file holds mode changes dumped";

void RunRow(const Row& row, Context ctx, const std::string& jail_root, const blackbox::Result& base, Outcome& o) {
  auto fail = [&](const std::string& what) { o.failures.push_back(what); };
  std::string jail = jail_root + "/row-XXXXXX";
  if (!::mkdtemp(jail.data())) throw Error("mkdtemp failed");
  ::chmod(jail.c_str(), 0755);
  // A record-shaped file just outside the site: no traversal may read it
  // into a page or write beside it.
  fs::create_directory(jail + "/outside");
  std::ofstream(jail + "/outside/victim.txt") << "id=victim\r\npw=victim1\r\nrealname=LEAKED\r\nmail=m\r\n";
  const blackbox::Site site(jail);
  site.SetUpSession("s1");
  ctx.site = site.Dir();
  ctx.jail = jail;

  // First the site and the request, in the row's order. The checks are
  // evaluated only after the run, so that their (possibly large) expected
  // bytes are not in memory during it.
  blackbox::Env env = {{"SERVER_PROTOCOL", "HTTP/1.1"}};
  std::string body;
  blackbox::RunLimits limits;
  limits.deadline_seconds = kDeadlineSeconds;
  unsigned long long bound_bytes = 0;  // 0: the request's own size
  for (const std::string& d : row.directives) {
    Parser p(d, ctx);
    const std::string key = p.Word();
    if (OneOf(key, kChecks)) continue;
    if (OneOf(key, "get url mp")) {
      env["REQUEST_METHOD"] = key == "get" ? "GET" : "POST";
      (key == "get" ? env["QUERY_STRING"] : body) = p.Expr();
      if (key != "get") {
        env["CONTENT_TYPE"] = key == "url" ? "application/x-www-form-urlencoded" : "multipart/form-data; boundary=XB";
      }
    } else if (key == "env") {
      const std::string name = p.Word();
      env[name] = p.Expr();
    } else if (OneOf(key, "config session dump")) {
      const std::string file = key == "session" ? "sessions/s1.txt" : "config.txt";
      if (key == "dump") site.MakeDir("dump");
      site.WriteFile(file, site.ReadFile(file) + (key == "dump" ? "dumppath=" + site.Path("dump") + "\r\n" : p.Expr()));
    } else if (OneOf(key, "write mkdir chmod")) {
      const std::string path = p.Expr();
      if (key == "write") site.WriteFile(path, p.Expr());
      if (key == "mkdir") site.MakeDir(path);
      const auto mode = key == "chmod" || !p.AtEnd() ? p.Number() : key == "mkdir" ? 0755u : 0644u;
      fs::permissions(site.Path(path), static_cast<fs::perms>(mode));
    } else if (OneOf(key, "fifo socket symlink")) {
      const std::string path = p.Expr();
      site.Remove(path);
      if (key == "symlink") {
        fs::create_symlink(p.Expr(), site.Path(path));
      } else if (::mknod(site.Path(path).c_str(), (key == "fifo" ? S_IFIFO : S_IFSOCK) | 0644, 0) != 0) {
        throw Error("cannot make " + key + " " + path);
      }
    } else if (OneOf(key, "fsize bound")) {
      (key == "fsize" ? limits.file_size : bound_bytes) = p.Number();
    } else if (key == "unprivileged") {
      // Root ignores permission bits: the row runs as nobody, who may read
      // and run everything but write nothing the row does not open up.
      if (::geteuid() == 0) limits.uid = limits.gid = kNobody;
      ::chmod(site.Dir().c_str(), 0755);
      ::chmod(site.Exe().c_str(), 0755);
    } else {
      throw Error("unknown directive " + key);
    }
    if (!p.AtEnd()) throw Error("trailing text in: " + d);
  }
  if (!env.count("REQUEST_METHOD")) throw Error("row without a request");
  if (env["REQUEST_METHOD"] == "POST") env.try_emplace("CONTENT_LENGTH", std::to_string(body.size()));
  std::size_t request_bytes = body.size();
  for (const auto& [k, v] : env) request_bytes += k.size() + v.size() + 2;
  if (bound_bytes > 0) request_bytes = static_cast<std::size_t>(bound_bytes);

  // The body in a shared mapping instead of the runner's heap: fork copies no
  // page of a shared mapping, so the child's peak resident set does not start
  // with the runner's copy of the body in it.
  const std::size_t size = body.size(), mapped = std::max<std::size_t>(size, 1);
  void* map = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (map == MAP_FAILED) throw Error("mmap failed");
  const std::unique_ptr<void, std::function<void(void*)>> unmap(map, [mapped](void* m) { ::munmap(m, mapped); });
  std::memcpy(map, body.data(), size);
  std::string().swap(body);
  ::malloc_trim(0);  // the previous row's memory back, so the forked child starts small
  const Snapshot before = Take(jail);
  const std::set<pid_t> residents = Children();
  const blackbox::Result& r = o.run = site.Run(env, {static_cast<const char*>(map), size}, limits);
  WaitForLeftWork(residents);
  const Snapshot after = Take(jail);
  if (r.exit_code == 125 || (limits.uid >= 0 && r.exit_code >= 126)) {
    o.skipped = r.exit_code == 125
                    ? "the child could not take the row's limits (user or file size)"
                    : "user nobody cannot reach the site directory (set TMPDIR to a directory all may enter)";
    return;
  }
  if (r.timed_out) {
    fail("hung: killed after " + std::to_string(static_cast<int>(kDeadlineSeconds)) + " s");
  } else if (r.signal != 0 || r.exit_code != 0) {
    fail(r.signal ? "ended by signal " + std::to_string(r.signal) : "exit code " + std::to_string(r.exit_code));
  }
  const std::string header = blackbox::commands::Header(r), page = blackbox::commands::Content(r);

  std::string status = "200";
  bool page_checked = false;
  std::vector<std::string> files, patterns;  // changes the row names: exact paths, globs each of which must match
  for (const std::string& d : row.directives) {
    Parser p(d, ctx);
    const std::string key = p.Word();
    if (!OneOf(key, kChecks)) continue;
    if (key == "status") {
      status = std::to_string(p.Number());
    } else if (key == "page" || key == "header") {
      page_checked |= key == "page";
      const std::string& got = key == "page" ? page : header;
      const std::string how = p.Word();
      if (!OneOf(how, "error registered accepted empty is has lacks")) throw Error("unknown check " + key + " " + how);
      const std::string want = how == "error"        ? ErrorPage(p.Word())
                               : how == "registered" ? blackbox::commands::kRegistrationAccepted
                               : how == "accepted"   ? blackbox::commands::kFileAccepted
                               : how == "empty"      ? std::string()
                                                     : p.Expr();
      const bool has = got.find(want) != std::string::npos;
      if (how == "has" ? !has : how == "lacks" ? has : got != want) {
        fail(key +
             (how == "has"     ? " lacks "
              : how == "lacks" ? " has "
                               : (how == "is" ? " is not " : " is not " + how + " ")) +
             Show(want, 80) + ": " + Show(got));
      }
    } else if (key == "changes") {
      while (!p.AtEnd()) patterns.push_back(p.Expr());
    } else if (key == "holds") {  // a file of unforeseeable bytes (a mail) holding these
      const std::string path = p.Expr(), want = p.Expr();
      patterns.push_back(path);
      if (site.ReadFile(path).find(want) == std::string::npos) fail(Show(path) + " lacks " + Show(want));
    } else {  // file, mode, dumped: the bytes or the mode of a regular file
      auto octal = [](unsigned long long mode) {
        char buf[24];
        std::snprintf(buf, sizeof buf, "mode %04llo", mode);
        return std::string(buf);
      };
      std::vector<std::string> dumps;  // dumped: exactly one dump, holding the body byte for byte
      if (key == "dumped") {
        std::ranges::copy_if(site.AllFiles(), std::back_inserter(dumps),
                             [](auto& f) { return f.starts_with("dump/"); });
      }
      const std::string path = key != "dumped"     ? p.Expr()
                               : dumps.size() == 1 ? dumps[0]
                                                   : std::to_string(dumps.size()) + " dumps";
      const std::string want = key == "mode" ? octal(p.Number()) : p.Expr();
      (key == "dumped" ? patterns : files).push_back(key == "dumped" ? "dump/*" : path);
      struct stat st {};
      if (::lstat(site.Path(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        fail("no regular file " + Show(path));
      } else if (const std::string got = key == "mode" ? octal(st.st_mode & 07777) : site.ReadFile(path); got != want) {
        fail(Show(path) + " holds " + Show(got) + " instead of " + Show(want));
      }
    }
    if (!p.AtEnd()) throw Error("trailing text in: " + d);
  }
  if (!page_checked) throw Error("row without a page check");
  if (!header.starts_with("Status: " + status + " ")) fail("status is not " + status + ": " + Show(header, 120));

  // Every change must be one the row names; every named glob must match one.
  std::vector<std::pair<std::string, std::string>> changed;  // old and new states of a path are neighbours
  std::set_symmetric_difference(before.begin(), before.end(), after.begin(), after.end(), std::back_inserter(changed));
  const std::string site_rel = fs::relative(site.Dir(), jail).string() + "/";
  std::vector<bool> used(patterns.size());
  for (std::size_t c = 0; c < changed.size(); ++c) {
    const std::string& path = changed[c].first;
    const std::string shown = Show(path) + (after.count(path) ? "" : " (removed)");
    if (c > 0 && path == changed[c - 1].first) continue;
    if (!path.starts_with(site_rel)) {
      fail("changed outside the site: " + shown);
      continue;
    }
    const std::string rel = path.substr(site_rel.size());
    bool expected = std::find(files.begin(), files.end(), rel) != files.end();
    for (std::size_t i = 0; i < patterns.size(); ++i) {
      if (::fnmatch(patterns[i].c_str(), rel.c_str(), 0) == 0) used[i] = expected = true;
    }
    if (!expected) fail("unexpected change: " + shown);
  }
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    if (!used[i]) fail("no change matches " + Show(patterns[i]));
  }

  const double time_budget = kTimeFactor * (std::max(base.cpu_seconds, kMinBaselineSeconds) +
                                            static_cast<double>(request_bytes) * kLinearSecondsPerByte);
  const double memory_budget = kMemoryPerByte * static_cast<double>(request_bytes) + kMemorySlackMiB * 1024 * 1024;
  o.time_ratio = r.cpu_seconds / time_budget;
  o.memory_ratio = std::max(0.0, static_cast<double>(r.peak_rss_kib - base.peak_rss_kib) * 1024.0) / memory_budget;
  if (kBoundsChecked && o.time_ratio > 1) {
    fail("CPU time " + std::to_string(r.cpu_seconds) + " s over the linear bound " + std::to_string(time_budget) +
         " s");
  }
  if (kBoundsChecked && o.memory_ratio > 1) {
    fail("peak memory " + std::to_string(r.peak_rss_kib) + " KiB over the bound of " +
         std::to_string(static_cast<long>(memory_budget / 1024) + base.peak_rss_kib) + " KiB");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <cases file> <report dir> [row name substring]\n", argv[0]);
    return 2;
  }
  // Big bodies would otherwise raise malloc's mmap threshold and stay in the
  // runner's heap, where every later child would start out counting them.
  ::mallopt(M_MMAP_THRESHOLD, 64 * 1024);
  // A process a request leaves behind to finish its work (a mail) becomes
  // this runner's child, so that a row waits for it.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  const char* report_env = std::getenv("ORVALENGATE_REPORT_DIR");
  const std::string report_dir = report_env && *report_env ? report_env : argv[2];
  Context ctx;
  std::vector<Row> rows;
  try {
    rows = ReadTable(argv[1], ctx);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "table: %s\n", e.what());
    return 2;
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string jail_root = std::string(tmp && *tmp ? tmp : "/tmp") + "/orvalengate-hostile-XXXXXX";
  if (!::mkdtemp(jail_root.data())) return 2;
  ::chmod(jail_root.c_str(), 0755);

  // The program's cost for a request that does nothing: the floor of every bound.
  blackbox::Result base;
  {
    const blackbox::Site site(jail_root);
    site.SetUpSession("s1");
    for (int i = 0; i < 5; ++i) {
      ::malloc_trim(0);
      const blackbox::Result r = site.Run({{"REQUEST_METHOD", "GET"}, {"SERVER_PROTOCOL", "HTTP/1.1"}}, "");
      base.cpu_seconds = std::max(base.cpu_seconds, r.cpu_seconds);
      base.peak_rss_kib = std::max(base.peak_rss_kib, r.peak_rss_kib);
    }
  }

  std::size_t passed = 0;
  std::vector<std::string> failed, skipped;
  std::string worst_time_row = "-", worst_memory_row = "-";
  double worst_time = 0, worst_memory = 0;
  for (const Row& row : rows) {
    if (argc > 3 && row.name.find(argv[3]) == std::string::npos) continue;
    // A busy machine can steal a small request's time once (seen: 0.108 s
    // of CPU for a request that takes 1 ms when quiet, at load 15); a
    // program that is not linear is over its bound every time. So a row
    // over its time bound alone is run again, up to three times in all.
    Outcome o;
    for (int attempt = 1; attempt <= 3; ++attempt) {
      o = Outcome();
      try {
        RunRow(row, ctx, jail_root, base, o);
      } catch (const std::exception& e) {
        o.failures.push_back(std::string("row error: ") + e.what());
      }
      if (!(kBoundsChecked && o.time_ratio > 1 && o.failures.size() == 1)) break;
      std::printf("     %s: CPU time over its bound, run again\n", row.name.c_str());
    }
    if (!o.skipped.empty()) {
      skipped.push_back(row.name + ": " + o.skipped);
      std::printf("SKIP %s\n", skipped.back().c_str());
      continue;
    }
    if (o.time_ratio > worst_time) worst_time = o.time_ratio, worst_time_row = row.name;
    if (o.memory_ratio > worst_memory) worst_memory = o.memory_ratio, worst_memory_row = row.name;
    if (o.failures.empty()) {
      ++passed;
      std::printf("ok   %-44s %8.3f s %8ld KiB\n", row.name.c_str(), o.run.cpu_seconds, o.run.peak_rss_kib);
    } else {
      failed.push_back(row.name);
      std::printf("FAIL %s (cases line %d)\n", row.name.c_str(), row.line);
      for (const std::string& f : o.failures) std::printf("     %s\n", f.c_str());
    }
    std::fflush(stdout);
  }
  std::error_code ec;
  if (!std::getenv("ORVALENGATE_KEEP_SITES")) fs::remove_all(jail_root, ec);

  char figures[2048];
  std::snprintf(figures, sizeof figures,
                "## Hostile-input table\n\n| figure | value |\n|---|---|\n| rows | %zu |\n| passed | %zu |\n"
                "| failed | %zu |\n| skipped | %zu |\n| worst CPU time / bound | %.3f (%s) |\n"
                "| worst memory growth / bound | %.3f (%s) |\n| baseline request | %.1f ms CPU, %ld KiB peak |\n"
                "| CPU time bound | %g x (max(baseline, %g ms) + %g ns per request byte) |\n"
                "| memory bound | baseline + %g x request bytes + %g MiB |\n"
                "| measured | the child's user + system CPU time and peak resident set (wait4) |\n"
                "| bounds checked | %s |\n",
                passed + failed.size() + skipped.size(), passed, failed.size(), skipped.size(), worst_time,
                worst_time_row.c_str(), worst_memory, worst_memory_row.c_str(), base.cpu_seconds * 1000,
                base.peak_rss_kib, kTimeFactor, kMinBaselineSeconds * 1000, kLinearSecondsPerByte * 1e9, kMemoryPerByte,
                kMemorySlackMiB, kBoundsChecked ? "yes" : "no (sanitizer build; figures shown only)");
  fs::create_directories(report_dir);
  std::ofstream report(report_dir + "/hostile.md", std::ios::trunc);
  report << figures << (failed.empty() ? "" : "\nFailed rows:");
  for (const std::string& n : failed) report << " `" << n << "`";
  report << (failed.empty() ? "" : "\n");
  for (const std::string& s : skipped) report << "\nSkipped: " << s << "\n";
  std::printf("\n%s", figures);
  return failed.empty() ? 0 : 1;
}
