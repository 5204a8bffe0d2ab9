#include "platform/System.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/vfs.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "platform/posix/FdIo.h"

namespace platform {

std::string GetEnv(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value ? std::string(value) : std::string();
}

std::size_t ReadStdin(char* buf, std::size_t count) {
  while (true) {
    ssize_t n = ::read(STDIN_FILENO, buf, count);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return 0;
  }
}

bool WriteStdout(std::string_view bytes) { return detail::WriteAll(STDOUT_FILENO, bytes); }

bool WriteStderr(std::string_view bytes) { return detail::WriteAll(STDERR_FILENO, bytes); }

bool StdinIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

bool ReadLineWithoutEcho(std::string& line) {
  line.clear();
  struct termios saved;
  const bool terminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    struct termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;  // the Enter key still moves to the next line
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  // Echo comes back on however the read ends.
  struct Restore {
    bool on;
    const struct termios& mode;
    ~Restore() {
      if (on) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &mode);
    }
  } restore{terminal, saved};
  char c = 0;
  while (true) {
    const std::size_t n = ReadStdin(&c, 1);
    if (n == 0) return !line.empty();
    if (c == '\n') return true;
    if (c != '\r') line.push_back(c);
  }
}

FileSystemKind FileSystemKindOf(const std::string& path) {
#ifdef __linux__
  struct statfs fs;
  if (::statfs(path.c_str(), &fs) != 0) return FileSystemKind::kUnknown;
  // The magic numbers of <linux/magic.h> and the kernel's network file
  // systems, spelt out: not every one is in the installed headers.
  switch (static_cast<unsigned long>(fs.f_type) & 0xFFFFFFFFul) {
    case 0x65735546ul:  // FUSE (GlusterFS, sshfs, ...)
      return FileSystemKind::kFuse;
    case 0x6969ul:        // NFS
    case 0xFF534D42ul:    // CIFS
    case 0xFE534D42ul:    // SMB2
    case 0x517Bul:        // SMB
    case 0x00C36400ul:    // Ceph
    case 0x01021997ul:    // 9P
    case 0x5346414Ful:    // AFS
    case 0x6B414653ul:    // kAFS
    case 0x7461636Ful:    // OCFS2
    case 0x01161970ul:    // GFS2
    case 0x73757245ul:    // Coda
      return FileSystemKind::kNetwork;
    default:
      return FileSystemKind::kLocal;
  }
#else
  (void)path;
  return FileSystemKind::kUnknown;
#endif
}

void IgnoreBrokenPipe() { ::signal(SIGPIPE, SIG_IGN); }

int PassedListenSocket() {
  // sd_listen_fds(3)'s rules, without linking libsystemd: the sockets start
  // at descriptor 3, and only the process LISTEN_PID names may take them
  // (a child that inherited the variables must not).
  constexpr int kFirstPassed = 3;
  const std::string pid = GetEnv("LISTEN_PID");
  const std::string fds = GetEnv("LISTEN_FDS");
  ::unsetenv("LISTEN_PID");
  ::unsetenv("LISTEN_FDS");
  ::unsetenv("LISTEN_FDNAMES");
  if (pid.empty() || pid.size() > 10 || fds.empty() || fds.size() > 10) return -1;
  if (pid.find_first_not_of("0123456789") != std::string::npos) return -1;
  if (fds.find_first_not_of("0123456789") != std::string::npos || std::stoul(fds) < 1) return -1;
  if (std::stoull(pid) != static_cast<unsigned long long>(::getpid())) return -1;
  const int flags = ::fcntl(kFirstPassed, F_GETFD);
  if (flags < 0 || ::fcntl(kFirstPassed, F_SETFD, flags | FD_CLOEXEC) != 0) return -1;
  return kFirstPassed;
}

LocalTime Now() {
  struct timeval tv;
  ::gettimeofday(&tv, nullptr);
  struct tm tm;
  const time_t secs = tv.tv_sec;
  ::localtime_r(&secs, &tm);
  LocalTime t;
  t.year = tm.tm_year + 1900;
  t.month = tm.tm_mon + 1;
  t.day = tm.tm_mday;
  t.hour = tm.tm_hour;
  t.minute = tm.tm_min;
  t.second = tm.tm_sec;
  t.millisecond = static_cast<int>(tv.tv_usec / 1000);
  return t;
}

std::int64_t UnixSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

void SleepMilliseconds(int ms) {
  struct timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace platform
