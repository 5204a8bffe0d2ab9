#include "platform/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

struct Fd {
  int fd = -1;
  ~Fd() { Close(); }
  void Close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

struct SpawnActions {
  posix_spawn_file_actions_t actions;
  SpawnActions() { posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
};

// A child that does not read its input must fail the write, not end this
// process: a resident process serves on after it.
struct BrokenPipeIgnored {
  struct sigaction saved {};
  BrokenPipeIgnored() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, &saved);
  }
  ~BrokenPipeIgnored() { ::sigaction(SIGPIPE, &saved, nullptr); }
};

// Writes what it can before the deadline; a child that stops reading or
// ends early leaves the rest unwritten. True when all was written.
bool WriteInput(int fd, std::string_view input, Clock::time_point deadline) {
  while (!input.empty()) {
    struct pollfd p {fd, POLLOUT, 0};
    const int ready = ::poll(&p, 1, MillisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t n = ::write(fd, input.data(), input.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    input.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

struct SpawnAttributes {
  posix_spawnattr_t attributes;
  SpawnAttributes() { posix_spawnattr_init(&attributes); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
};

// Programs left running by a resident process: reaped as they end, so none
// stays a zombie.
std::vector<pid_t>& Detached() {
  static std::vector<pid_t> pids;
  return pids;
}

void ReapDetached() {
  std::erase_if(Detached(), [](pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) != 0; });
}

// The descriptors a copied process keeps: its standard streams, on the null
// device. A CGI answer ends only when every holder of its stdout closed it,
// and a resident process's listening socket and connection are its alone.
void KeepNoDescriptors() {
  const int null = ::open("/dev/null", O_RDWR);
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (null >= 0 && null != fd) ::dup2(null, fd);
  }
  if (::close_range(STDERR_FILENO + 1, ~0U, 0) == 0) return;
  rlimit limit{};
  const rlim_t top = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY ? limit.rlim_cur : 65536;
  for (rlim_t fd = STDERR_FILENO + 1; fd < top; ++fd) ::close(static_cast<int>(fd));
}

}  // namespace

bool StartDetached(const std::function<void()>& work) {
  // Twice copied, the middle one gone at once: the worker is nobody's child
  // here, so no zombie waits for this process to reap it, and it outlives
  // a CGI process that answers and ends.
  const pid_t middle = ::fork();
  if (middle < 0) return false;
  if (middle == 0) {
    ::setsid();
    const pid_t worker = ::fork();
    if (worker != 0) ::_exit(worker > 0 ? 0 : 1);
    KeepNoDescriptors();
    // Work nobody waits for yields to the requests that are waited for
    // (and, by its pace, tells them nothing about what it does).
    errno = 0;
    if (::nice(19) == -1 && errno != 0) {
    }
    try {
      work();
    } catch (...) {
    }
    // Nothing of the copied process runs at exit: its buffers and handlers
    // belong to the one that goes on.
    ::_exit(0);
  }
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0) {
    if (errno != EINTR) return true;  // reaped by a SIGCHLD ignored: the worker runs
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args, std::string_view input,
                      int timeout_ms, int detach_after_ms) {
  ProgramRun run;
  ReapDetached();
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return run;
  Fd read_end{ends[0]}, write_end{ends[1]};

  SpawnActions spawn;
  posix_spawn_file_actions_adddup2(&spawn.actions, read_end.fd, STDIN_FILENO);
  posix_spawn_file_actions_addopen(&spawn.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&spawn.actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  // A resident process holds its listening socket and the web server's
  // connection: a mail program that kept them would hold the answer open.
  posix_spawn_file_actions_addclosefrom_np(&spawn.actions, STDERR_FILENO + 1);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  char path[] = "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
  char* env[] = {path, nullptr};

  // A group of its own, so that a kill at the limit reaches whatever it
  // started; SIGPIPE as the system has it (this process ignores it).
  SpawnAttributes attributes;
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes.attributes, &defaults);
  posix_spawnattr_setpgroup(&attributes.attributes, 0);
  posix_spawnattr_setflags(&attributes.attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  if (::posix_spawn(&pid, program.c_str(), &spawn.actions, &attributes.attributes, argv.data(), env) != 0) {
    return run;
  }
  run.started = true;
  read_end.Close();
  const Clock::time_point started = Clock::now();
  const Clock::time_point deadline = started + std::chrono::milliseconds(timeout_ms);
  const Clock::time_point detach = detach_after_ms < 0 ? deadline : started + std::chrono::milliseconds(detach_after_ms);
  {
    const BrokenPipeIgnored ignored;
    ::fcntl(write_end.fd, F_SETFL, O_NONBLOCK);
    run.input_taken = WriteInput(write_end.fd, input, deadline);
    write_end.Close();
  }
  int status = 0;
  while (true) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return run;
    if (run.input_taken && detach < deadline && MillisecondsLeft(detach) == 0) {
      Detached().push_back(pid);
      run.detached = true;
      return run;
    }
    if (MillisecondsLeft(deadline) == 0) {
      ::kill(-pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      run.timed_out = true;
      return run;
    }
    ::poll(nullptr, 0, 5);
  }
  if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
  return run;
}

}  // namespace platform
