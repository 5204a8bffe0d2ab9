// Process services: environment, the CGI standard streams, the local clock,
// sleeping and a seeded random source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// The variable's whole value; empty when it is unset or set to empty.
std::string GetEnv(const std::string& name);

// Reads up to `count` bytes of standard input into buf with one successful
// read (retried on EINTR). Returns 0 at end of input and also when the read
// fails, so a broken pipe ends the body instead of hanging.
std::size_t ReadStdin(char* buf, std::size_t count);

// Writes all bytes to standard output; false when some could not be written.
bool WriteStdout(std::string_view bytes);
bool WriteStderr(std::string_view bytes);

// True when standard input is a terminal (a person typing), not a pipe or file.
bool StdinIsTerminal();
// Reads one line typed at the terminal without showing it (the line end is
// not kept); echo is back on when it returns. False at end of input.
bool ReadLineWithoutEcho(std::string& line);

// What kind of file system holds a path. Files shared by several machines
// (FUSE mounts such as GlusterFS, NFS, SMB) keep the site's locks and atomic
// replaces only with the right mount and volume options.
enum class FileSystemKind { kLocal, kFuse, kNetwork, kUnknown };
FileSystemKind FileSystemKindOf(const std::string& path);

// A web server that stops reading the answer early must not kill the
// process mid-way (SIGPIPE): the write fails instead, and files already
// being saved are finished.
void IgnoreBrokenPipe();

// The listening socket a service manager handed over by systemd's socket
// passing (LISTEN_PID naming this process, LISTEN_FDS at least 1): its
// descriptor, kept from any program started later; -1 when there is none
// (and always on Windows). The variables are cleared, so the answer is
// given once.
int PassedListenSocket();

struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};
LocalTime Now();
// Seconds since 1970-01-01 UTC: for lifetimes that cross requests.
std::int64_t UnixSeconds();

void SleepMilliseconds(int ms);

// A pseudo-random source, seeded once per request.
class Random {
 public:
  // A whole number from 0 to bound-1.
  int Below(int bound);

 private:
  std::uint64_t state_ = 0;
  bool seeded_ = false;
};

}  // namespace platform
