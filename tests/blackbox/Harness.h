// Runs the built executable the way a web server runs a CGI program: a fresh
// directory of its own holding a copy of the executable (so the program's
// directory and its config.txt are the test's), a chosen environment, a body
// on standard input; the answer is what it wrote to standard output.
//
// ORVALENGATE_EXE_UNDER_TEST names another build of the program to copy in
// (the Windows .exe), and ORVALENGATE_LAUNCHER the program that runs it
// (Wine): each request then runs as `launcher <site>/<exe>`, in the same
// site directory, so the same tests check that build.
//
// ORVALENGATE_TRANSPORT=fastcgi runs the same tests through FastCGI: each
// site's copy runs resident (kResidentProcesses processes started by
// spawn-fcgi, the site directory their working directory) and every request
// goes through the `cgi-fcgi -bind -connect` bridge, which hands it the
// request's environment and body and writes its answer to standard output.
#pragma once

#include <sys/types.h>

#include <future>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace blackbox {

using Env = std::map<std::string, std::string>;

// Through FastCGI, exit_code and signal are those of a resident process that
// ended during the request (0 and 0 while all still serve), or the bridge's
// exit code when it could not deliver the request; cpu_seconds and
// peak_rss_kib are the bridge's.
struct Result {
  std::string out;    // everything written to standard output
  int exit_code = -1; // -1 when the process did not exit normally
  int signal = 0;     // the signal that ended it, 0 when it exited
  bool timed_out = false;     // killed at RunLimits::deadline_seconds
  double cpu_seconds = 0;     // user + system time of the child
  long peak_rss_kib = 0;      // the child's peak resident set (wait4)
};

// How the child is started and confined, beyond the environment and the
// working directory. The defaults leave it as a web server would start it,
// except that no request may keep a test waiting for ever.
struct RunLimits {
  unsigned long long file_size = 0;  // RLIMIT_FSIZE in bytes (0: none); SIGXFSZ ignored, so writes fail
  int uid = -1;                      // set (with gid) to run the child as that user
  int gid = -1;
  double deadline_seconds = 60;      // killed, with all it started, after that long (0: waits for ever)
  std::vector<std::string> wrapper;  // run as wrapper... followed by the executable (e.g. strace)
  bool close_output_early = false;   // read none of the answer, as a server whose client has gone
};

// A request whose process runs while the test looks at it.
class Running {
 public:
  Running(pid_t pid, std::future<Result> result) : pid_(pid), result_(std::move(result)) {}
  pid_t Pid() const { return pid_; }  // the process (the wrapper's, if any)
  bool Done() const;                  // finished, answer collected
  Result Wait();                      // the answer, once finished or killed at the deadline

 private:
  pid_t pid_;
  std::future<Result> result_;
};

// One multipart part: a field, or a file when filename/content_type are set.
struct Part {
  std::string name;
  std::string value;
  std::string filename;      // empty: no filename attribute
  std::string content_type;  // empty: no Content-Type line
};

// Whether requests go through FastCGI to resident processes.
bool ThroughFastCgi();
// Resident processes per site: enough for the concurrency tests to race.
constexpr int kResidentProcesses = 4;

class Site {
 public:
  Site();
  // The site directory is made inside `parent` instead of TMPDIR.
  explicit Site(const std::string& parent);
  ~Site();
  Site(const Site&) = delete;
  Site& operator=(const Site&) = delete;

  const std::string& Dir() const { return dir_; }       // ends without "/"
  // Dir() + "/" + rel; under a launcher, a Shift_JIS rel as the host stores
  // the Windows build's Unicode names.
  std::string Path(std::string_view rel) const;
  std::string Exe() const;                             // the site's copy of the program

  void WriteFile(std::string_view rel, std::string_view bytes) const;  // parents created
  std::string ReadFile(std::string_view rel) const;                    // throws if missing
  bool Exists(std::string_view rel) const;
  void MakeDir(std::string_view rel) const;
  void Remove(std::string_view rel) const;
  // Names in the directory (not recursive), sorted; "." and ".." left out.
  std::vector<std::string> List(std::string_view rel_dir) const;
  // Every file below the site directory, as paths relative to it, sorted.
  std::vector<std::string> AllFiles() const;

  // config.txt with sessiondb=<site>/sessions (and dumppath when given), and
  // a session settings file sessions/<name>.txt with path=<site>/upload and
  // membersdb=<site>/members plus `extra` lines (each ending in CR LF).
  void SetUpSession(std::string_view name = "s1", std::string_view extra = "", bool with_dump = false) const;

  // Runs the executable once. The environment holds exactly `env` (plus
  // GATEWAY_INTERFACE); the working directory is the site directory.
  Result Run(const Env& env, std::string_view body = "") const;
  Result Run(const Env& env, std::string_view body, const RunLimits& limits) const;
  // Starts one request, its body fed and its answer drained in the background.
  Running Launch(const Env& env, std::string body, const RunLimits& limits = {}) const;
  // Runs all requests at once, each in its own process fed and drained by a
  // thread of its own, and waits for all.
  std::vector<Result> RunAll(const std::vector<std::pair<Env, std::string>>& requests) const;

  // A GET of the profile view or any query string.
  Result Get(std::string_view query) const;
  // A POST of a multipart body built from the parts.
  Result PostMultipart(const std::vector<Part>& parts) const;
  // A POST of a URL-encoded body exactly as given.
  Result PostUrlEncoded(std::string_view body) const;

  // Through FastCGI, once every resident process waits for its next
  // request: the descriptors they hold together, the largest resident set
  // among them, and whether every one ignores SIGPIPE.
  struct Residents {
    std::size_t descriptors = 0;
    long max_rss_kib = 0;
    bool ignore_sigpipe = true;
  };
  Residents ResidentState() const;

 private:
  void StartResident();
  void StopResident() noexcept;
  std::vector<std::string> Command() const;
  // Through FastCGI: the resident processes' state put in place of the bridge's.
  Result Account(Result r, const RunLimits& limits) const;

  std::string dir_;
  std::string fcgi_dir_;              // the socket's directory, outside the site
  mutable std::mutex resident_lock_;   // guards the two below: requests run on several threads
  mutable std::vector<pid_t> residents_;
  mutable int resident_ended_ = -1;   // wait status of the first resident that ended
};

// The launcher the program runs under (ORVALENGATE_LAUNCHER), empty when it
// runs directly as a POSIX process of this machine.
const std::string& Launcher();

// Leaves out a test that checks what only a POSIX process shows (locks taken
// with flock by the test, strace, fork and signals), when the program runs
// under a launcher (a Windows build under Wine).
// Leaves out, through FastCGI, a test that needs a process of its own for
// each request (to stop, trace or kill it).
#define ORVALENGATE_PROCESS_PER_REQUEST(why)                                                        \
  if (::blackbox::ThroughFastCgi()) GTEST_SKIP() << "a process per request (" << why << "): requests go through FastCGI"

#define ORVALENGATE_POSIX_ONLY(why)                                                                 \
  if (!::blackbox::Launcher().empty())                                                              \
  GTEST_SKIP() << "POSIX only (" << why << "): the program runs under " << ::blackbox::Launcher()

// The wrapper that runs the program under strace (-f -qq), writing the
// trace to trace_file, with the given -e expressions, e.g. "trace=link" or
// "inject=fsync:signal=SIGKILL:when=2".
std::vector<std::string> Strace(const std::string& trace_file, const std::vector<std::string>& expressions);

// The name of the system call each completed line of an strace trace names
// ("+++", "---" and resumption lines left out), with its full text.
struct TracedCall {
  std::string name;
  std::string line;
};
std::vector<TracedCall> ReadTrace(const std::string& trace_file);

// The system call `pid` is blocked in (a number from <sys/syscall.h>), -1
// while it runs or once it is gone.
long BlockedSyscall(pid_t pid);

// The multipart body a browser would send for these parts.
std::string MultipartBody(const std::vector<Part>& parts, std::string_view boundary = "----orvalengateB0undary");
// The environment of a POST of `body` with that content type.
Env PostEnv(std::string_view content_type, std::size_t length);

// True when text has the shape: every "#" of the shape stands for one
// decimal digit, every other byte for itself.
bool HasShape(std::string_view text, std::string_view shape);

// Splits a CGI answer into its header block (up to and including the empty
// line) and the content; header is empty when there is no empty line.
std::pair<std::string, std::string> SplitAnswer(const std::string& out);

}  // namespace blackbox
