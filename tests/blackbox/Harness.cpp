#include "Harness.h"

#include <fcntl.h>
#include <grp.h>
#include <iconv.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace blackbox {
namespace {

std::string ExeUnderTest() {
  const char* exe = std::getenv("ORVALENGATE_EXE_UNDER_TEST");
  return exe && *exe ? exe : ORVALENGATE_EXE;
}

// What the launcher itself needs from the test's environment (Wine: its
// prefix, its server, its debug channels, and the locale it stores
// non-ASCII names in), beyond the request's variables.
bool LauncherNeeds(std::string_view name) {
  return name == "HOME" || name == "PATH" || name == "USER" || name == "LANG" || name.rfind("LC_", 0) == 0 ||
         name.rfind("WINE", 0) == 0;
}

// The Windows build names its files in Unicode, which Wine stores as UTF-8;
// the tests name them in Shift_JIS, as the POSIX build stores them. Bytes
// that are no Shift_JIS are left as they are.
std::string HostName(std::string_view sjis) {
  if (Launcher().empty() || std::all_of(sjis.begin(), sjis.end(), [](char c) { return (c & 0x80) == 0; })) {
    return std::string(sjis);
  }
  const iconv_t cd = ::iconv_open("UTF-8", "CP932");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(sjis);
  std::string in(sjis), out(sjis.size() * 3, '\0');
  char* in_at = in.data();
  char* out_at = out.data();
  std::size_t in_left = in.size(), out_left = out.size();
  const bool ok = ::iconv(cd, &in_at, &in_left, &out_at, &out_left) != static_cast<std::size_t>(-1);
  ::iconv_close(cd);
  if (!ok) return std::string(sjis);
  out.resize(out.size() - out_left);
  return out;
}

struct Child {
  pid_t pid = -1;
  int in_fd = -1;   // parent writes the body here
  int out_fd = -1;  // parent reads the answer here
};

Child Start(const std::string& dir, const std::vector<std::string>& command, const Env& env, const RunLimits& limits) {
  int in_pipe[2], out_pipe[2];
  // Close-on-exec, so no child inherits another child's pipe ends and keeps
  // its standard input open after the harness has closed it.
  if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> env_strings;
  env_strings.push_back("GATEWAY_INTERFACE=CGI/1.1");
  for (const auto& [k, v] : env) env_strings.push_back(k + "=" + v);
  if (!Launcher().empty()) {
    for (char** e = environ; *e; ++e) {
      const std::string_view entry(*e);
      const std::string name(entry.substr(0, entry.find('=')));
      if (LauncherNeeds(name) && !env.count(name)) env_strings.emplace_back(entry);
    }
  }
  // A traced program cannot have its leaks checked: the checker needs to
  // trace the process itself.
  if (!limits.wrapper.empty() && !env.count("ASAN_OPTIONS")) env_strings.push_back("ASAN_OPTIONS=detect_leaks=0");
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = limits.wrapper;
  args.insert(args.end(), command.begin(), command.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // A group of its own, so a request past its deadline is killed together
    // with anything it started; and SIGPIPE as a web server leaves it, not
    // as this harness ignores it.
    ::setpgid(0, 0);
    ::signal(SIGPIPE, SIG_DFL);
    ::dup2(in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    ::close(in_pipe[0]);
    ::close(in_pipe[1]);
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    if (limits.file_size > 0) {
      // A full disk as the program sees it: writes past the limit fail
      // (EFBIG) instead of killing it.
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit lim = {limits.file_size, limits.file_size};
      if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) ::_exit(125);
    }
    if (limits.gid >= 0 && (::setgroups(0, nullptr) != 0 || ::setgid(static_cast<gid_t>(limits.gid)) != 0)) ::_exit(125);
    if (limits.uid >= 0 && ::setuid(static_cast<uid_t>(limits.uid)) != 0) ::_exit(125);
    if (::chdir(dir.c_str()) != 0) ::_exit(126);
    ::execvpe(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::setpgid(pid, pid);
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  return {pid, in_pipe[1], out_pipe[0]};
}

// Feeds the body and collects the answer at the same time, so neither side
// can block the other on a full pipe. Past the deadline the whole process
// group is killed (the answer so far is kept); the pipes then close and the
// child is reaped.
Result Finish(Child c, std::string_view body, const RunLimits& limits) {
  Result r;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(limits.deadline_seconds));
  auto kill_if_late = [&] {
    if (r.timed_out || limits.deadline_seconds <= 0 || Clock::now() < deadline) return;
    ::kill(-c.pid, SIGKILL);
    r.timed_out = true;
  };
  std::size_t sent = 0;
  if (body.empty()) {
    ::close(c.in_fd);
    c.in_fd = -1;
  } else {
    ::fcntl(c.in_fd, F_SETFL, O_NONBLOCK);
  }
  if (limits.close_output_early) {
    ::close(c.out_fd);
    c.out_fd = -1;
  }
  char buf[65536];
  while (c.out_fd >= 0 || c.in_fd >= 0) {
    pollfd fds[2];
    nfds_t n = 0;
    int out_at = -1, in_at = -1;
    if (c.out_fd >= 0) {
      out_at = static_cast<int>(n);
      fds[n++] = {c.out_fd, POLLIN, 0};
    }
    if (c.in_fd >= 0) {
      in_at = static_cast<int>(n);
      fds[n++] = {c.in_fd, POLLOUT, 0};
    }
    const int ready = ::poll(fds, n, 100);
    kill_if_late();
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    if (in_at >= 0 && (fds[in_at].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t w = ::write(c.in_fd, body.data() + sent, body.size() - sent);
      if (w > 0) sent += static_cast<std::size_t>(w);
      if (w < 0 && errno != EAGAIN && errno != EINTR) sent = body.size();
      if (sent >= body.size()) {
        ::close(c.in_fd);
        c.in_fd = -1;
      }
    }
    if (out_at >= 0 && (fds[out_at].revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t got = ::read(c.out_fd, buf, sizeof buf);
      if (got > 0) {
        r.out.append(buf, static_cast<std::size_t>(got));
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        ::close(c.out_fd);
        c.out_fd = -1;
      }
    }
  }
  if (c.in_fd >= 0) ::close(c.in_fd);
  if (c.out_fd >= 0) ::close(c.out_fd);
  int status = 0;
  rusage usage{};
  while (true) {
    const pid_t w = ::wait4(c.pid, &status, WNOHANG, &usage);
    if (w == c.pid || (w < 0 && errno != EINTR)) break;
    kill_if_late();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  r.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                  static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  r.peak_rss_kib = usage.ru_maxrss;
  return r;
}

}  // namespace

namespace {
std::string TempParent() {
  const char* base = std::getenv("TMPDIR");
  return base && *base ? base : "/tmp";
}
}  // namespace

Site::Site() : Site(TempParent()) {}

Site::Site(const std::string& parent) {
  // A program that answers before reading its whole body closes the pipe;
  // the harness must see that as a short read, not die of SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  std::string templ = parent + "/orvalengate-bb-XXXXXX";
  if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  dir_ = templ;
  fs::copy_file(ExeUnderTest(), Exe());
  fs::permissions(Exe(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  if (ThroughFastCgi()) StartResident();
}

Site::~Site() {
  StopResident();
  std::error_code ec;
  if (!std::getenv("ORVALENGATE_KEEP_SITES")) fs::remove_all(dir_, ec);
  if (!fcgi_dir_.empty()) fs::remove_all(fcgi_dir_, ec);
}

bool ThroughFastCgi() {
  static const bool fastcgi = [] {
    const char* t = std::getenv("ORVALENGATE_TRANSPORT");
    const std::string transport = t ? t : "";
    if (transport != "" && transport != "cgi" && transport != "fastcgi")
      throw std::runtime_error("ORVALENGATE_TRANSPORT is cgi or fastcgi, not " + transport);
    return transport == "fastcgi";
  }();
  return fastcgi;
}

namespace {
const char kSpawnFcgi[] = "/usr/bin/spawn-fcgi";
const char kCgiFcgi[] = "/usr/bin/cgi-fcgi";
}  // namespace

void Site::StartResident() {
  if (!Launcher().empty()) throw std::runtime_error("FastCGI runs the program directly, not under a launcher");
  // spawn-fcgi forks the residents and leaves: they become this process's
  // children, so they can be watched and reaped.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  std::string templ = fs::path(dir_).parent_path().string() + "/orvalengate-fcgi-XXXXXX";
  if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  fcgi_dir_ = templ;
  const std::string pid_file = fcgi_dir_ + "/pids";
  std::vector<std::string> args = {kSpawnFcgi, "-s", fcgi_dir_ + "/socket", "-M", "0600", "-d", dir_,
                                   "-F", std::to_string(kResidentProcesses), "-P", pid_file, "--", Exe()};
  // The residents' own environment holds request variables that no request
  // sends: a program that read its environment instead of the request's
  // variables would answer every request wrongly (a foreign PATH_INFO makes
  // it silent, a QUERY_STRING shows a profile).
  std::vector<std::string> env = {"PATH=/usr/bin:/bin", "PATH_INFO=/from-the-environment",
                                  "QUERY_STRING=showuser=environment&session=s1", "SERVER_PROTOCOL=HTTP/1.0",
                                  "CONTENT_LENGTH=7", "REQUEST_METHOD=POST"};
  for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* v = std::getenv(keep)) env.push_back(std::string(keep) + "=" + v);
  }
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  std::ifstream in(pid_file);
  for (pid_t p; in >> p;) residents_.push_back(p);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || residents_.size() != kResidentProcesses) {
    StopResident();
    throw std::runtime_error("spawn-fcgi did not start " + std::to_string(kResidentProcesses) + " residents");
  }
}

void Site::StopResident() noexcept {
  std::lock_guard<std::mutex> guard(resident_lock_);
  for (pid_t p : residents_) ::kill(p, SIGTERM);
  for (pid_t p : residents_) {
    // A resident that does not end on SIGTERM within a few seconds is killed.
    int status = 0;
    for (int i = 0; i < 500 && ::waitpid(p, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (::kill(p, SIGKILL) == 0) ::waitpid(p, &status, 0);
  }
  residents_.clear();
}

Site::Residents Site::ResidentState() const {
  std::lock_guard<std::mutex> guard(resident_lock_);
  Residents state;
  for (pid_t p : residents_) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (long now = BlockedSyscall(p); now != SYS_accept && now != SYS_accept4; now = BlockedSyscall(p)) {
      if (std::chrono::steady_clock::now() > give_up) throw std::runtime_error("a resident never went back to accept");
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for ([[maybe_unused]] const auto& fd : fs::directory_iterator("/proc/" + std::to_string(p) + "/fd")) {
      ++state.descriptors;
    }
    std::ifstream status("/proc/" + std::to_string(p) + "/status");
    for (std::string line; std::getline(status, line);) {
      std::istringstream fields(line);
      std::string key, value;
      fields >> key >> value;
      if (key == "VmRSS:") state.max_rss_kib = std::max(state.max_rss_kib, std::stol(value));
      if (key == "SigIgn:" && !(std::stoull(value, nullptr, 16) & (1ull << (SIGPIPE - 1)))) state.ignore_sigpipe = false;
    }
  }
  return state;
}

std::vector<std::string> Site::Command() const {
  if (ThroughFastCgi()) return {kCgiFcgi, "-bind", "-connect", fcgi_dir_ + "/socket"};
  if (!Launcher().empty()) return {Launcher(), Exe()};
  return {Exe()};
}

Result Site::Account(Result r, const RunLimits& limits) const {
  if (!ThroughFastCgi()) return r;
  std::lock_guard<std::mutex> guard(resident_lock_);
  for (auto it = residents_.begin(); it != residents_.end();) {
    int status = 0;
    if (::waitpid(*it, &status, WNOHANG) == *it) {
      if (resident_ended_ == -1) resident_ended_ = status;
      it = residents_.erase(it);
    } else {
      ++it;
    }
  }
  if (resident_ended_ != -1) {
    r.exit_code = WIFEXITED(resident_ended_) ? WEXITSTATUS(resident_ended_) : -1;
    r.signal = WIFSIGNALED(resident_ended_) ? WTERMSIG(resident_ended_) : 0;
  } else if (limits.close_output_early || r.exit_code == 0) {
    // The bridge failing on its closed output (a client gone) is no fault
    // of the program's.
    r.exit_code = 0;
    r.signal = 0;
  }
  return r;
}

std::string Site::Path(std::string_view rel) const { return dir_ + "/" + HostName(rel); }

std::string Site::Exe() const { return Path(fs::path(ExeUnderTest()).filename().string()); }

const std::string& Launcher() {
  static const std::string launcher = [] {
    const char* l = std::getenv("ORVALENGATE_LAUNCHER");
    return std::string(l ? l : "");
  }();
  return launcher;
}

void Site::WriteFile(std::string_view rel, std::string_view bytes) const {
  const fs::path p = Path(rel);
  fs::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + p.string());
}

std::string Site::ReadFile(std::string_view rel) const {
  std::ifstream f(Path(rel), std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + Path(rel));
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool Site::Exists(std::string_view rel) const { return fs::exists(Path(rel)); }
void Site::MakeDir(std::string_view rel) const { fs::create_directories(Path(rel)); }
void Site::Remove(std::string_view rel) const { fs::remove_all(Path(rel)); }

std::vector<std::string> Site::List(std::string_view rel_dir) const {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(Path(rel_dir), ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> Site::AllFiles() const {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(dir_)) {
    if (!e.is_directory()) names.push_back(fs::relative(e.path(), dir_).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void Site::SetUpSession(std::string_view name, std::string_view extra, bool with_dump) const {
  std::string config = "sessiondb=" + Path("sessions") + "\r\n";
  if (with_dump) {
    MakeDir("dump");
    config += "dumppath=" + Path("dump") + "\r\n";
  }
  WriteFile("config.txt", config);
  MakeDir("sessions");
  MakeDir("upload");
  MakeDir("members");
  WriteFile("sessions/" + std::string(name) + ".txt",
            "path=" + Path("upload") + "\r\nmembersdb=" + Path("members") + "\r\n" + std::string(extra));
}

Result Site::Run(const Env& env, std::string_view body) const { return Run(env, body, RunLimits{}); }

namespace {
void CheckLimits(const RunLimits& limits) {
  if (ThroughFastCgi() && (!limits.wrapper.empty() || limits.uid >= 0 || limits.gid >= 0 || limits.file_size > 0))
    throw std::logic_error("wrappers and limits need a process per request; the test must skip through FastCGI");
}
}  // namespace

Result Site::Run(const Env& env, std::string_view body, const RunLimits& limits) const {
  CheckLimits(limits);
  return Account(Finish(Start(dir_, Command(), env, limits), body, limits), limits);
}

Running Site::Launch(const Env& env, std::string body, const RunLimits& limits) const {
  CheckLimits(limits);
  const Child child = Start(dir_, Command(), env, limits);
  return Running(child.pid, std::async(std::launch::async, [this, child, body = std::move(body), limits] {
                   return Account(Finish(child, body, limits), limits);
                 }));
}

bool Running::Done() const { return result_.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }

Result Running::Wait() { return result_.get(); }

std::vector<Result> Site::RunAll(const std::vector<std::pair<Env, std::string>>& requests) const {
  // Start every process before feeding any, then feed and drain each on its
  // own thread: a CGI process waits for its whole body, so feeding them one
  // after another would run them one after another.
  std::vector<Child> children;
  for (const auto& [env, body] : requests) children.push_back(Start(dir_, Command(), env, RunLimits{}));
  std::vector<Result> results(children.size());
  std::vector<std::thread> feeders;
  for (std::size_t i = 0; i < children.size(); ++i) {
    feeders.emplace_back([&, i] { results[i] = Account(Finish(children[i], requests[i].second, RunLimits{}), RunLimits{}); });
  }
  for (std::thread& t : feeders) t.join();
  return results;
}

Result Site::Get(std::string_view query) const {
  return Run({{"REQUEST_METHOD", "GET"}, {"SERVER_PROTOCOL", "HTTP/1.1"}, {"QUERY_STRING", std::string(query)}});
}

Result Site::PostMultipart(const std::vector<Part>& parts) const {
  const std::string body = MultipartBody(parts);
  return Run(PostEnv("multipart/form-data; boundary=----orvalengateB0undary", body.size()), body);
}

Result Site::PostUrlEncoded(std::string_view body) const {
  return Run(PostEnv("application/x-www-form-urlencoded", body.size()), body);
}

std::string MultipartBody(const std::vector<Part>& parts, std::string_view boundary) {
  std::string body;
  for (const Part& p : parts) {
    body += "--" + std::string(boundary) + "\r\n";
    body += "Content-Disposition: form-data; name=\"" + p.name + "\"";
    if (!p.filename.empty() || !p.content_type.empty()) body += "; filename=\"" + p.filename + "\"";
    body += "\r\n";
    if (!p.content_type.empty()) body += "Content-Type: " + p.content_type + "\r\n";
    body += "\r\n" + p.value + "\r\n";
  }
  body += "--" + std::string(boundary) + "--\r\n";
  return body;
}

Env PostEnv(std::string_view content_type, std::size_t length) {
  return {{"REQUEST_METHOD", "POST"},
          {"SERVER_PROTOCOL", "HTTP/1.1"},
          {"CONTENT_TYPE", std::string(content_type)},
          {"CONTENT_LENGTH", std::to_string(length)}};
}

bool HasShape(std::string_view text, std::string_view shape) {
  if (text.size() != shape.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool ok = shape[i] == '#' ? (text[i] >= '0' && text[i] <= '9') : text[i] == shape[i];
    if (!ok) return false;
  }
  return true;
}

std::vector<std::string> Strace(const std::string& trace_file, const std::vector<std::string>& expressions) {
  std::vector<std::string> args = {"strace", "-f", "-qq", "-o", trace_file};
  for (const std::string& e : expressions) {
    args.push_back("-e");
    args.push_back(e);
  }
  return args;
}

std::vector<TracedCall> ReadTrace(const std::string& trace_file) {
  std::vector<TracedCall> calls;
  std::ifstream in(trace_file);
  std::string line;
  while (std::getline(in, line)) {
    std::size_t pos = 0;
    while (pos < line.size() && std::isdigit(static_cast<unsigned char>(line[pos]))) ++pos;  // the process id
    while (pos < line.size() && line[pos] == ' ') ++pos;
    std::size_t end = pos;
    while (end < line.size() && (std::isalnum(static_cast<unsigned char>(line[end])) || line[end] == '_')) ++end;
    if (end == pos || end >= line.size() || line[end] != '(') continue;
    calls.push_back({line.substr(pos, end - pos), line.substr(pos)});
  }
  return calls;
}

long BlockedSyscall(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
  long number = -1;
  if (!(in >> number)) return -1;  // "running", or gone
  return number;
}

std::pair<std::string, std::string> SplitAnswer(const std::string& out) {
  const std::size_t end = out.find("\r\n\r\n");
  if (end == std::string::npos) return {"", out};
  return {out.substr(0, end + 4), out.substr(end + 4)};
}

}  // namespace blackbox
