#include "platform/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

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
// ends early leaves the rest unwritten.
void WriteInput(int fd, std::string_view input, Clock::time_point deadline) {
  while (!input.empty()) {
    struct pollfd p {fd, POLLOUT, 0};
    const int ready = ::poll(&p, 1, MillisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return;
    const ssize_t n = ::write(fd, input.data(), input.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return;
    input.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args, std::string_view input,
                      int timeout_ms) {
  ProgramRun run;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return run;
  Fd read_end{ends[0]}, write_end{ends[1]};

  SpawnActions spawn;
  posix_spawn_file_actions_adddup2(&spawn.actions, read_end.fd, STDIN_FILENO);
  posix_spawn_file_actions_addopen(&spawn.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  // A resident process holds its listening socket and the web server's
  // connection: a mail program that kept them would hold the answer open.
  posix_spawn_file_actions_addclosefrom_np(&spawn.actions, STDERR_FILENO + 1);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  char path[] = "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
  char* env[] = {path, nullptr};

  pid_t pid = -1;
  if (::posix_spawn(&pid, program.c_str(), &spawn.actions, nullptr, argv.data(), env) != 0) return run;
  run.started = true;
  read_end.Close();
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  {
    const BrokenPipeIgnored ignored;
    ::fcntl(write_end.fd, F_SETFL, O_NONBLOCK);
    WriteInput(write_end.fd, input, deadline);
    write_end.Close();
  }
  int status = 0;
  while (true) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return run;
    if (MillisecondsLeft(deadline) == 0) {
      ::kill(pid, SIGKILL);
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
