#include "platform/System.h"

#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

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

void IgnoreBrokenPipe() { ::signal(SIGPIPE, SIG_IGN); }

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

void SleepMilliseconds(int ms) {
  struct timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace platform
