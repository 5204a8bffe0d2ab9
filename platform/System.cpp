#include "platform/System.h"

#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <random>

#include "platform/FdIo.h"

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

int Random::Below(int bound) {
  // Seeded on first use: most requests never wait for a lock, and asking
  // the system for a seed costs more than a whole profile view's own work.
  if (!seeded_) {
    state_ = (static_cast<std::uint64_t>(std::random_device{}()) << 32) ^ static_cast<std::uint64_t>(::getpid());
    seeded_ = true;
  }
  // splitmix64: small, fast and good enough to spread retries apart.
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  return bound <= 0 ? 0 : static_cast<int>(z % static_cast<std::uint64_t>(bound));
}

}  // namespace platform
