// Runs the table of hostile requests (cases.txt beside this file) against the
// built executable, one fresh site per row, and checks for every row the
// answer, the files it left, that nothing changed outside the site, and that
// CPU time and peak memory stayed within linear bounds. Writes hostile.md.
//
// usage: hostile_table <cases file> <report dir> [row name substring]
// The report goes to $ORVALENGATE_REPORT_DIR instead when that is set;
// ORVALENGATE_KEEP_SITES=1 keeps every row's directory for a look.
#include <fcntl.h>
#include <fnmatch.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "CommandsSupport.h"
#include "Harness.h"

namespace fs = std::filesystem;
using blackbox::Env;
using blackbox::Result;
using blackbox::RunLimits;
using blackbox::Site;

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
constexpr double kMemorySlack = 8.0 * 1024 * 1024;
constexpr int kNobody = 65534;
constexpr std::string_view kBoundary = "XB";

// ---- the expression language of the table -----------------------------------

struct Context {
  std::map<std::string, std::string> lets;  // name -> source text
  std::string site;                         // ${SITE}
  std::string jail;                         // ${JAIL}
};

std::string Substitute(std::string s, const Context& ctx) {
  for (const auto& [var, value] : {std::pair<std::string, std::string>{"${SITE}", ctx.site}, {"${JAIL}", ctx.jail}}) {
    for (std::size_t at; (at = s.find(var)) != std::string::npos;) s.replace(at, var.size(), value);
  }
  return s;
}

class Parser {
 public:
  Parser(std::string_view src, const Context& ctx) : src_(src), ctx_(ctx) {}

  bool AtEnd() {
    SkipBlanks();
    return pos_ >= src_.size();
  }
  // One argument: terms joined by "+".
  std::string Expr() {
    std::string out = Term();
    while (!AtEnd() && src_[pos_] == '+') {
      ++pos_;
      out += Term();
    }
    return out;
  }
  // A bare word (keywords, names of messages).
  std::string Word() {
    SkipBlanks();
    const std::size_t start = pos_;
    while (pos_ < src_.size() && src_[pos_] != ' ' && src_[pos_] != '\t') ++pos_;
    if (start == pos_) Fail("word expected");
    return std::string(src_.substr(start, pos_ - start));
  }
  unsigned long long Number() {
    const std::string t = Term();
    try {
      return std::stoull(t, nullptr, 0);
    } catch (...) {
      Fail("number expected");
    }
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw std::runtime_error(what + " at column " + std::to_string(pos_ + 1) + ": " + std::string(src_));
  }
  void SkipBlanks() {
    while (pos_ < src_.size() && (src_[pos_] == ' ' || src_[pos_] == '\t')) ++pos_;
  }
  void Expect(char c) {
    SkipBlanks();
    if (pos_ >= src_.size() || src_[pos_] != c) Fail(std::string("'") + c + "' expected");
    ++pos_;
  }
  std::string Term() {
    SkipBlanks();
    if (pos_ >= src_.size()) Fail("term expected");
    const char c = src_[pos_];
    if (c == '"') return Substitute(StringLiteral(), ctx_);
    if (c >= '0' && c <= '9') return std::to_string(NumberLiteral());
    std::string name;
    while (pos_ < src_.size() && (std::isalnum(static_cast<unsigned char>(src_[pos_])) || src_[pos_] == '_')) {
      name += src_[pos_++];
    }
    if (name.empty()) Fail("term expected");
    SkipBlanks();
    if (pos_ < src_.size() && src_[pos_] == '(') return Call(name);
    const auto let = ctx_.lets.find(name);
    if (let == ctx_.lets.end()) Fail("unknown name " + name);
    Parser inner(let->second, ctx_);
    return inner.Expr();
  }
  std::string Call(const std::string& name) {
    ++pos_;
    std::vector<std::string> args;
    SkipBlanks();
    if (pos_ < src_.size() && src_[pos_] == ')') {
      ++pos_;
    } else {
      while (true) {
        args.push_back(Expr());
        SkipBlanks();
        if (pos_ < src_.size() && src_[pos_] == ',') {
          ++pos_;
          continue;
        }
        Expect(')');
        break;
      }
    }
    auto need = [&](std::size_t n) {
      if (args.size() != n) Fail(name + " takes " + std::to_string(n) + " arguments");
    };
    if (name == "rep") {  // rep(count, text): "{i}" in text becomes the copy's number
      need(2);
      const unsigned long long n = std::stoull(args[0]);
      const std::size_t at = args[1].find("{i}");
      std::string out;
      out.reserve(static_cast<std::size_t>(n) * args[1].size());
      for (unsigned long long i = 0; i < n; ++i) {
        if (at == std::string::npos) {
          out += args[1];
        } else {
          out.append(args[1], 0, at).append(std::to_string(i)).append(args[1], at + 3);
        }
      }
      return out;
    }
    if (name == "part") {  // a text field of a multipart body
      need(2);
      return "--" + std::string(kBoundary) + "\r\nContent-Disposition: form-data; name=\"" + args[0] + "\"\r\n\r\n" +
             args[1] + "\r\n";
    }
    if (name == "file") {  // file(name, filename, content type, data)
      need(4);
      return "--" + std::string(kBoundary) + "\r\nContent-Disposition: form-data; name=\"" + args[0] +
             "\"; filename=\"" + args[1] + "\"\r\nContent-Type: " + args[2] + "\r\n\r\n" + args[3] + "\r\n";
    }
    if (name == "end") {
      need(0);
      return "--" + std::string(kBoundary) + "--\r\n";
    }
    if (name == "padto") {  // padto(size, text, filler): text, then filler bytes up to that size
      need(3);
      const std::size_t size = std::stoull(args[0]);
      std::string out = args[1];
      while (out.size() < size && !args[2].empty()) out += args[2];
      out.resize(std::max(size, args[1].size()));
      return out;
    }
    if (name == "len") {
      need(1);
      return std::to_string(args[0].size());
    }
    Fail("unknown function " + name);
  }
  std::string StringLiteral() {
    ++pos_;
    std::string out;
    while (true) {
      if (pos_ >= src_.size()) Fail("unterminated string");
      const char c = src_[pos_++];
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= src_.size()) Fail("unterminated escape");
      const char e = src_[pos_++];
      switch (e) {
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case '0': out += '\0'; break;
        case '\\': out += '\\'; break;
        case '"': out += '"'; break;
        case 'x': {
          if (pos_ + 2 > src_.size()) Fail("bad \\x");
          out += static_cast<char>(std::stoi(std::string(src_.substr(pos_, 2)), nullptr, 16));
          pos_ += 2;
          break;
        }
        default: Fail(std::string("bad escape \\") + e);
      }
    }
  }
  // Decimal, or octal with a leading 0 (file modes).
  unsigned long long NumberLiteral() {
    std::size_t used = 0;
    const bool octal = src_[pos_] == '0' && pos_ + 1 < src_.size() && src_[pos_ + 1] >= '0' && src_[pos_ + 1] <= '7';
    const unsigned long long n = std::stoull(std::string(src_.substr(pos_)), &used, octal ? 8 : 10);
    pos_ += used;
    if (src_.substr(pos_).starts_with("Ki")) {
      pos_ += 2;
      return n * 1024;
    }
    if (src_.substr(pos_).starts_with("Mi")) {
      pos_ += 2;
      return n * 1024 * 1024;
    }
    return n;
  }

  std::string_view src_;
  std::size_t pos_ = 0;
  const Context& ctx_;
};

// ---- rows ----------------------------------------------------------------------

struct Row {
  std::string name;
  int line = 0;
  std::vector<std::string> directives;  // evaluated when the row runs
};

std::vector<Row> ReadTable(const std::string& path, Context& ctx) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::vector<Row> rows;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::string_view l = line;
    while (!l.empty() && (l.front() == ' ' || l.front() == '\t')) l.remove_prefix(1);
    while (!l.empty() && (l.back() == ' ' || l.back() == '\t' || l.back() == '\r')) l.remove_suffix(1);
    if (l.empty() || l.front() == '#') continue;
    if (l.starts_with("let ")) {
      const std::size_t eq = l.find('=');
      std::string name(l.substr(4, eq - 4));
      name.erase(name.find_last_not_of(' ') + 1);
      ctx.lets[name] = std::string(l.substr(eq + 1));
    } else if (l.starts_with("case ")) {
      rows.push_back({std::string(l.substr(5)), number, {}});
    } else if (!rows.empty()) {
      rows.back().directives.emplace_back(l);
    } else {
      throw std::runtime_error("line " + std::to_string(number) + " stands outside a case");
    }
  }
  return rows;
}

const std::map<std::string, const std::string*>& Messages() {
  namespace m = blackbox::commands::msg;
  static const std::map<std::string, const std::string*> table = {
      {"Blank", &m::kBlank},
      {"PasswordMismatch", &m::kPasswordMismatch},
      {"PasswordTooShort", &m::kPasswordTooShort},
      {"IdAlreadyRegistered", &m::kIdAlreadyRegistered},
      {"IdUnusable", &m::kIdUnusable},
      {"IdDoesNotExist", &m::kIdDoesNotExist},
      {"NewPasswordMismatch", &m::kNewPasswordMismatch},
      {"PasswordNotChanged", &m::kPasswordNotChanged},
      {"IdPasswordRequired", &m::kIdPasswordRequired},
      {"IdPasswordRequiredE", &m::kIdPasswordRequiredE},
      {"ProfileIdMissing", &m::kProfileIdMissing},
      {"ProfileIdMissingE", &m::kProfileIdMissingE},
      {"ProfileNotChanged", &m::kProfileNotChanged},
      {"MemberDoesNotExist", &m::kMemberDoesNotExist},
      {"PasswordWrong", &m::kPasswordWrong},
      {"NoAttachedFile", &m::kNoAttachedFile},
      {"NoFreeFileName", &m::kNoFreeFileName},
      {"NoData", &m::kNoData},
      {"SessionMissing", &m::kSessionMissing},
      {"RequestTooLarge", &m::kRequestTooLarge},
      {"ProfileTooLong", &m::kProfileTooLong},
      {"IdBlankEnds", &m::kIdBlankEnds},
  };
  return table;
}

// Bytes shown readably in a failure message, cut to a sensible length.
std::string Show(std::string_view bytes, std::size_t limit = 300) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  if (bytes.size() > limit) out += "...(" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

// Everything below `root`: path (directories end in "/") -> what identifies
// its state. Lock files come and go with every request and are left out.
using Snapshot = std::map<std::string, std::string>;

Snapshot Take(const std::string& root) {
  Snapshot snap;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::none, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const std::string path = it->path().string();
    const std::string name = it->path().filename().string();
    if (name.front() == '.' && name.ends_with(".lock")) continue;
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0) continue;
    std::string rel = fs::relative(it->path(), root).string();
    // Any write moves the change time, a replacement the inode; the
    // contents themselves are compared only where a row names the bytes.
    std::string state = std::to_string(st.st_mode) + ":" + std::to_string(st.st_uid);
    if (S_ISDIR(st.st_mode)) {
      rel += "/";
    } else {
      for (const long long n : {static_cast<long long>(st.st_ino), static_cast<long long>(st.st_size),
                                static_cast<long long>(st.st_mtim.tv_sec), static_cast<long long>(st.st_mtim.tv_nsec),
                                static_cast<long long>(st.st_ctim.tv_sec), static_cast<long long>(st.st_ctim.tv_nsec)}) {
        state += ":" + std::to_string(n);
      }
    }
    snap[rel] = state;
  }
  return snap;
}

std::vector<std::string> Changed(const Snapshot& before, const Snapshot& after) {
  std::vector<std::string> out;
  for (const auto& [path, state] : after) {
    const auto old = before.find(path);
    if (old == before.end() || old->second != state) out.push_back(path);
  }
  for (const auto& [path, state] : before) {
    if (!after.count(path)) out.push_back(path + " (removed)");
  }
  return out;
}

struct Outcome {
  bool skipped = false;
  std::vector<std::string> failures;
  std::string skip_reason;
  double time_ratio = 0;
  double memory_ratio = 0;
  double cpu_seconds = 0;
  long peak_kib = 0;
};

struct Baseline {
  double cpu_seconds = 0;
  long peak_kib = 0;
};

// Gives the memory of the previous row back, so the forked child (whose
// peak resident set starts from the runner's) starts small.
void TrimRunnerMemory() { ::malloc_trim(0); }

// The body in a shared memory file instead of the runner's heap: the forked
// child would otherwise start with the runner's copy counted in its peak.
class SharedBody {
 public:
  explicit SharedBody(std::string&& bytes) : size_(bytes.size()) {
    if (size_ == 0) return;
    const int fd = ::memfd_create("hostile-body", MFD_CLOEXEC);
    if (fd < 0) throw std::runtime_error("memfd_create failed");
    bool ok = ::ftruncate(fd, static_cast<off_t>(size_)) == 0;
    void* map = ok ? ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
    ::close(fd);
    if (map == MAP_FAILED) throw std::runtime_error("mmap failed");
    data_ = static_cast<char*>(map);
    std::memcpy(data_, bytes.data(), size_);
    std::string().swap(bytes);
  }
  ~SharedBody() {
    if (data_) ::munmap(data_, size_);
  }
  SharedBody(const SharedBody&) = delete;
  SharedBody& operator=(const SharedBody&) = delete;
  std::string_view View() const { return {data_, size_}; }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
};

bool IsCheck(const std::string& key) {
  return key == "status" || key == "page" || key == "header" || key == "file" || key == "mode" || key == "changes" ||
         key == "dumped";
}

Outcome RunRow(const Row& row, Context ctx, const std::string& jail_root, const Baseline& base) {
  Outcome o;
  auto fail = [&](const std::string& what) { o.failures.push_back(what); };

  std::string jail_templ = jail_root + "/row-XXXXXX";
  if (!::mkdtemp(jail_templ.data())) throw std::runtime_error("mkdtemp failed");
  const std::string jail = jail_templ;
  ::chmod(jail.c_str(), 0755);
  // A record-shaped file just outside the site: no traversal may read it
  // into a page or write beside it.
  {
    fs::create_directories(jail + "/outside");
    std::ofstream(jail + "/outside/victim.txt", std::ios::binary)
        << "id=victim\r\npw=victim1\r\nrealname=LEAKED\r\nmail=m\r\n";
  }
  struct Cleanup {
    std::string dir;
    ~Cleanup() {
      std::error_code ec;
      if (!std::getenv("ORVALENGATE_KEEP_SITES")) fs::remove_all(dir, ec);
    }
  } cleanup{jail};

  Site site(jail);
  ctx.site = site.Dir();
  ctx.jail = jail;

  // First pass: the site and the request. Checks are evaluated only after
  // the run, so their (possibly large) expected bytes are not in memory then.
  std::string kind;  // url | mp | raw | get
  std::string body, query, config_extra, session_extra;
  Env env_over;
  std::vector<std::string> unset;
  RunLimits limits;
  limits.deadline_seconds = kDeadlineSeconds;
  bool unprivileged = false, dump = false;
  unsigned long long bound_bytes = 0;  // 0: the request's own size
  std::vector<std::function<void()>> setup;
  for (const std::string& d : row.directives) {
    Parser p(d, ctx);
    const std::string key = p.Word();
    if (IsCheck(key)) continue;
    if (key == "url" || key == "mp" || key == "raw") {
      kind = key;
      body = p.Expr();
    } else if (key == "get") {
      kind = key;
      query = p.Expr();
    } else if (key == "env") {
      const std::string name = p.Word();
      env_over[name] = p.Expr();
    } else if (key == "unset") {
      unset.push_back(p.Word());
    } else if (key == "config") {
      config_extra += p.Expr();
    } else if (key == "session") {
      session_extra += p.Expr();
    } else if (key == "dump") {
      dump = true;
    } else if (key == "write") {
      const std::string path = p.Expr();
      const std::string bytes = p.Expr();
      const auto mode = static_cast<fs::perms>(p.AtEnd() ? 0644u : p.Number());
      setup.push_back([&site, path, bytes, mode] {
        site.WriteFile(path, bytes);
        fs::permissions(site.Path(path), mode);
      });
    } else if (key == "mkdir") {
      const std::string path = p.Expr();
      const auto mode = static_cast<fs::perms>(p.AtEnd() ? 0755u : p.Number());
      setup.push_back([&site, path, mode] {
        site.MakeDir(path);
        fs::permissions(site.Path(path), mode);
      });
    } else if (key == "chmod") {
      const std::string path = p.Expr();
      const auto mode = static_cast<fs::perms>(p.Number());
      setup.push_back([&site, path, mode] { fs::permissions(site.Path(path), mode); });
    } else if (key == "fifo") {
      const std::string path = p.Expr();
      setup.push_back([&site, path] {
        site.Remove(path);
        if (::mkfifo(site.Path(path).c_str(), 0644) != 0) throw std::runtime_error("mkfifo failed");
      });
    } else if (key == "socket") {
      const std::string path = p.Expr();
      setup.push_back([&site, path] {
        site.Remove(path);
        const std::string full = site.Path(path);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (full.size() >= sizeof addr.sun_path) throw std::runtime_error("socket path too long");
        std::memcpy(addr.sun_path, full.c_str(), full.size() + 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
        if (fd >= 0) ::close(fd);
        if (!bound) throw std::runtime_error("cannot make a socket at " + full);
      });
    } else if (key == "symlink") {
      const std::string path = p.Expr();
      const std::string target = p.Expr();
      setup.push_back([&site, path, target] {
        site.Remove(path);
        fs::create_symlink(target, site.Path(path));
      });
    } else if (key == "fsize") {
      limits.file_size = p.Number();
    } else if (key == "unprivileged") {
      unprivileged = true;
    } else if (key == "bound") {
      bound_bytes = p.Number();
    } else {
      throw std::runtime_error("unknown directive " + key);
    }
    if (!p.AtEnd()) throw std::runtime_error("trailing text in: " + d);
  }
  if (kind.empty()) throw std::runtime_error("row without a request");

  site.SetUpSession("s1", session_extra, dump);
  if (!config_extra.empty()) site.WriteFile("config.txt", site.ReadFile("config.txt") + config_extra);
  for (auto& s : setup) s();
  setup.clear();
  if (unprivileged) {
    if (::geteuid() == 0) {
      // Root ignores permission bits: the row runs as nobody, who may read
      // and run everything but write nothing the row does not open up.
      limits.uid = kNobody;
      limits.gid = kNobody;
    }
    ::chmod(site.Dir().c_str(), 0755);
    ::chmod(site.Exe().c_str(), 0755);
  }

  Env env = {{"SERVER_PROTOCOL", "HTTP/1.1"}};
  if (kind == "get") {
    env["REQUEST_METHOD"] = "GET";
    env["QUERY_STRING"] = query;
  } else {
    env["REQUEST_METHOD"] = "POST";
    env["CONTENT_LENGTH"] = std::to_string(body.size());
    if (kind == "url") env["CONTENT_TYPE"] = "application/x-www-form-urlencoded";
    if (kind == "mp") env["CONTENT_TYPE"] = "multipart/form-data; boundary=" + std::string(kBoundary);
  }
  for (const auto& [k, v] : env_over) env[k] = v;
  for (const std::string& k : unset) env.erase(k);
  std::size_t request_bytes = body.size();
  for (const auto& [k, v] : env) request_bytes += k.size() + v.size() + 2;
  if (bound_bytes > 0) request_bytes = static_cast<std::size_t>(bound_bytes);

  const Snapshot before = Take(jail);
  Result r;
  {
    const SharedBody shared(std::move(body));
    TrimRunnerMemory();
    r = site.Run(env, shared.View(), limits);
  }
  const Snapshot after = Take(jail);

  if (r.exit_code == 125) {
    o.skipped = true;
    o.skip_reason = "the child could not take the row's limits (user or file size)";
    return o;
  }
  if (limits.uid >= 0 && (r.exit_code == 126 || r.exit_code == 127)) {
    o.skipped = true;
    o.skip_reason = "user nobody cannot reach the site directory (set TMPDIR to a directory all may enter)";
    return o;
  }
  if (r.timed_out) fail("hung: killed after " + std::to_string(static_cast<int>(kDeadlineSeconds)) + " s");
  if (r.signal != 0) fail("ended by signal " + std::to_string(r.signal));
  if (r.exit_code != 0 && !r.timed_out && r.signal == 0) fail("exit code " + std::to_string(r.exit_code));
  const std::string header = blackbox::commands::Header(r);
  const std::string page = blackbox::commands::Content(r);

  // Second pass: the checks.
  int status = 200;
  bool page_checked = false;
  std::vector<std::string> expected_files;
  std::vector<std::string> patterns;
  for (const std::string& d : row.directives) {
    Parser p(d, ctx);
    const std::string key = p.Word();
    if (!IsCheck(key)) continue;
    if (key == "status") {
      status = static_cast<int>(p.Number());
    } else if (key == "page") {
      page_checked = true;
      const std::string how = p.Word();
      if (how == "error") {
        const std::string name = p.Word();
        const auto m = Messages().find(name);
        if (m == Messages().end()) throw std::runtime_error("unknown message " + name);
        if (page != blackbox::commands::ErrorPageFor(*m->second)) {
          fail("page is not the error page " + name + ": " + Show(page));
        }
      } else if (how == "registered" || how == "accepted" || how == "empty" || how == "is") {
        const std::string want = how == "registered" ? blackbox::commands::kRegistrationAccepted
                                 : how == "accepted" ? blackbox::commands::kFileAccepted
                                 : how == "empty"    ? std::string()
                                                     : p.Expr();
        if (page != want) fail("page is not " + how + " " + Show(want, 80) + ": " + Show(page));
      } else if (how == "has" || how == "lacks") {
        const std::string piece = p.Expr();
        if ((page.find(piece) != std::string::npos) != (how == "has")) {
          fail("page " + std::string(how == "has" ? "lacks " : "has ") + Show(piece, 80) + ": " + Show(page));
        }
      } else {
        throw std::runtime_error("unknown page check " + how);
      }
    } else if (key == "header") {
      const std::string how = p.Word();
      const std::string piece = p.Expr();
      if (how != "has" && how != "lacks") throw std::runtime_error("unknown header check " + how);
      if ((header.find(piece) != std::string::npos) != (how == "has")) {
        fail("header " + std::string(how == "has" ? "lacks " : "has ") + Show(piece, 80) + ": " + Show(header));
      }
    } else if (key == "file") {
      const std::string file = p.Expr();
      const std::string want = p.Expr();
      expected_files.push_back(file);
      struct stat st{};
      if (::lstat(site.Path(file).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        fail("no regular file " + Show(file));
      } else if (const std::string got = site.ReadFile(file); got != want) {
        fail("file " + Show(file) + " holds " + Show(got) + " instead of " + Show(want));
      }
    } else if (key == "mode") {
      const std::string file = p.Expr();
      const auto mode = static_cast<unsigned>(p.Number());
      struct stat st{};
      if (::stat(site.Path(file).c_str(), &st) != 0) {
        fail("no file " + Show(file) + " for its mode");
      } else if ((st.st_mode & 07777) != mode) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "mode %04o instead of %04o", st.st_mode & 07777, mode);
        fail("file " + Show(file) + " has " + buf);
      }
    } else if (key == "changes") {
      while (!p.AtEnd()) patterns.push_back(p.Expr());
    } else if (key == "dumped") {
      // Exactly one dump, holding the body byte for byte.
      const std::string want = p.Expr();
      std::vector<std::string> dumps;
      std::error_code ec;
      for (auto it = fs::recursive_directory_iterator(site.Path("dump"), ec);
           !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file()) dumps.push_back(fs::relative(it->path(), site.Dir()).string());
      }
      patterns.push_back("dump/*");
      if (dumps.size() != 1) {
        fail(std::to_string(dumps.size()) + " dumps instead of one");
      } else if (const std::string got = site.ReadFile(dumps[0]); got != want) {
        fail("dump " + Show(dumps[0]) + " holds " + Show(got) + " instead of " + Show(want));
      }
    }
    if (!p.AtEnd()) throw std::runtime_error("trailing text in: " + d);
  }
  if (!page_checked) throw std::runtime_error("row without a page check");
  if (header.rfind("Status: " + std::to_string(status) + " ", 0) != 0) {
    fail("status is not " + std::to_string(status) + ": " + Show(header, 120));
  }

  // Every change must be one the row names; every named pattern must match.
  const std::string site_rel = fs::relative(site.Dir(), jail).string() + "/";
  std::vector<bool> pattern_used(patterns.size(), false);
  for (const std::string& path : Changed(before, after)) {
    if (path.rfind(site_rel, 0) != 0) {
      fail("changed outside the site: " + Show(path));
      continue;
    }
    const std::string rel = path.substr(site_rel.size());
    bool expected = std::find(expected_files.begin(), expected_files.end(), rel) != expected_files.end();
    for (std::size_t i = 0; i < patterns.size(); ++i) {
      if (::fnmatch(patterns[i].c_str(), rel.c_str(), 0) == 0) {
        pattern_used[i] = true;
        expected = true;
      }
    }
    if (!expected) fail("unexpected change: " + Show(rel));
  }
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    if (!pattern_used[i]) fail("no change matches " + Show(patterns[i]));
  }

  o.cpu_seconds = r.cpu_seconds;
  o.peak_kib = r.peak_rss_kib;
  const double time_budget = kTimeFactor * (std::max(base.cpu_seconds, kMinBaselineSeconds) +
                                            static_cast<double>(request_bytes) * kLinearSecondsPerByte);
  const double memory_budget = kMemoryPerByte * static_cast<double>(request_bytes) + kMemorySlack;
  o.time_ratio = r.cpu_seconds / time_budget;
  o.memory_ratio = std::max(0.0, static_cast<double>(r.peak_rss_kib - base.peak_kib) * 1024.0) / memory_budget;
  if (kBoundsChecked && o.time_ratio > 1) {
    fail("CPU time " + std::to_string(r.cpu_seconds) + " s over the linear bound " + std::to_string(time_budget) +
         " s");
  }
  if (kBoundsChecked && o.memory_ratio > 1) {
    fail("peak memory " + std::to_string(r.peak_rss_kib) + " KiB over the bound of " +
         std::to_string(static_cast<long>(memory_budget / 1024) + base.peak_kib) + " KiB");
  }
  return o;
}

// The program's cost for a request that does nothing: the floor of every bound.
Baseline MeasureBaseline(const std::string& jail_root) {
  Site site(jail_root);
  site.SetUpSession("s1");
  Baseline b;
  for (int i = 0; i < 5; ++i) {
    TrimRunnerMemory();
    const Result r = site.Run({{"REQUEST_METHOD", "GET"}, {"SERVER_PROTOCOL", "HTTP/1.1"}}, "", {});
    b.cpu_seconds = std::max(b.cpu_seconds, r.cpu_seconds);
    b.peak_kib = std::max(b.peak_kib, r.peak_rss_kib);
  }
  return b;
}

void WriteReport(const std::string& dir, std::size_t rows, std::size_t passed, std::size_t failed,
                 std::size_t skipped, const std::vector<std::string>& failed_names,
                 const std::vector<std::string>& skipped_lines, const std::string& worst_time_row, double worst_time,
                 const std::string& worst_memory_row, double worst_memory, const Baseline& base) {
  fs::create_directories(dir);
  std::ofstream out(dir + "/hostile.md", std::ios::trunc);
  char buf[256];
  out << "## Hostile-input table\n\n";
  out << "| figure | value |\n|---|---|\n";
  out << "| rows | " << rows << " |\n";
  out << "| passed | " << passed << " |\n";
  out << "| failed | " << failed << " |\n";
  out << "| skipped | " << skipped << " |\n";
  std::snprintf(buf, sizeof buf, "%.3f (%s)", worst_time, worst_time_row.c_str());
  out << "| worst CPU time / bound | " << buf << " |\n";
  std::snprintf(buf, sizeof buf, "%.3f (%s)", worst_memory, worst_memory_row.c_str());
  out << "| worst memory growth / bound | " << buf << " |\n";
  std::snprintf(buf, sizeof buf, "%.1f ms CPU, %ld KiB peak", base.cpu_seconds * 1000, base.peak_kib);
  out << "| baseline request | " << buf << " |\n";
  std::snprintf(buf, sizeof buf, "%g x (max(baseline, %g ms) + %g ns per request byte)", kTimeFactor,
                kMinBaselineSeconds * 1000, kLinearSecondsPerByte * 1e9);
  out << "| CPU time bound | " << buf << " |\n";
  out << "| memory bound | baseline + 8 x request bytes + 8 MiB |\n";
  out << "| measured | the child's user + system CPU time and peak resident set (wait4) |\n";
  out << "| bounds checked | " << (kBoundsChecked ? "yes" : "no (sanitizer build; figures shown only)") << " |\n";
  if (!failed_names.empty()) {
    out << "\nFailed rows:";
    for (const std::string& n : failed_names) out << " `" << n << "`";
    out << "\n";
  }
  for (const std::string& s : skipped_lines) out << "\nSkipped: " << s << "\n";
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
  const std::string filter = argc > 3 ? argv[3] : "";
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
  const Baseline base = MeasureBaseline(jail_root);

  std::size_t passed = 0, failed = 0, skipped = 0;
  std::vector<std::string> failed_names, skipped_lines;
  std::string worst_time_row = "-", worst_memory_row = "-";
  double worst_time = 0, worst_memory = 0;
  for (const Row& row : rows) {
    if (!filter.empty() && row.name.find(filter) == std::string::npos) continue;
    Outcome o;
    try {
      o = RunRow(row, ctx, jail_root, base);
    } catch (const std::exception& e) {
      o.failures.push_back(std::string("row error: ") + e.what());
    }
    if (o.skipped) {
      ++skipped;
      skipped_lines.push_back(row.name + ": " + o.skip_reason);
      std::printf("SKIP %s: %s\n", row.name.c_str(), o.skip_reason.c_str());
      continue;
    }
    if (o.time_ratio > worst_time) worst_time = o.time_ratio, worst_time_row = row.name;
    if (o.memory_ratio > worst_memory) worst_memory = o.memory_ratio, worst_memory_row = row.name;
    if (o.failures.empty()) {
      ++passed;
      std::printf("ok   %-44s %8.3f s %8ld KiB\n", row.name.c_str(), o.cpu_seconds, o.peak_kib);
    } else {
      ++failed;
      failed_names.push_back(row.name);
      std::printf("FAIL %s (cases line %d)\n", row.name.c_str(), row.line);
      for (const std::string& f : o.failures) std::printf("     %s\n", f.c_str());
    }
    std::fflush(stdout);
  }
  std::error_code ec;
  if (!std::getenv("ORVALENGATE_KEEP_SITES")) fs::remove_all(jail_root, ec);
  WriteReport(report_dir, passed + failed + skipped, passed, failed, skipped, failed_names, skipped_lines,
              worst_time_row, worst_time, worst_memory_row, worst_memory, base);
  std::printf("%zu passed, %zu failed, %zu skipped; worst time ratio %.3f (%s), worst memory ratio %.3f (%s)\n",
              passed, failed, skipped, worst_time, worst_time_row.c_str(), worst_memory, worst_memory_row.c_str());
  return failed == 0 ? 0 : 1;
}
