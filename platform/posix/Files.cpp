#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <ctime>
#include <random>

#include "platform/Detail.h"
#include "platform/Exception.h"
#include "platform/posix/FdIo.h"
#include "platform/Sjis.h"

namespace platform {
namespace {

// Like SQLite's robust_open: retries EINTR, sets O_CLOEXEC, and never hands
// out descriptors 0-2, so a file can never become the CGI response stream.
int RobustOpen(const std::string& path, int flags, mode_t mode = 0644) {
  while (true) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0 && errno == EINTR) continue;
    if (fd >= 0 && fd <= 2) {
      ::close(fd);
      if (::open("/dev/null", O_RDONLY) < 0) return -1;  // park the low slot, then retry
      continue;
    }
    return fd;
  }
}

// Descriptor ownership for one function body. close() is not retried after
// EINTR: on Linux the descriptor is gone either way and may already be reused.
class Fd {
 public:
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Close(); }
  int get() const noexcept { return fd_; }
  bool ok() const noexcept { return fd_ >= 0; }
  int Release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  int Close() noexcept {
    int rc = 0;
    if (fd_ >= 0) rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

std::pair<std::string, std::string> SplitDirName(const std::string& path) {
  const std::size_t slash = path.rfind(kPathDelimiter);
  if (slash == std::string::npos) return {"", path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

// The temporary name does not repeat the target's name: a record name may
// use nearly all of the file system's 255 bytes, and a longer temporary name
// would then make the save fail.
std::string TempPathFor(const std::string& path) {
  static std::atomic<unsigned> sequence{0};
  static const unsigned salt = std::random_device{}();
  char name[64];
  std::snprintf(name, sizeof name, "%.*s%ld-%x-%u", static_cast<int>(kTemporaryPrefix.size()), kTemporaryPrefix.data(),
                static_cast<long>(::getpid()), salt, sequence++);
  return SplitDirName(path).first + name;
}

// fsync of the directory makes the new name itself durable; a failure here
// cannot be undone and the data is in place, so it is not reported.
void SyncDirectory(const std::string& path) {
  auto dir = SplitDirName(path).first;
  Fd fd(RobustOpen(dir.empty() ? "." : dir, O_RDONLY | O_DIRECTORY));
  if (fd.ok()) ::fsync(fd.get());
}

// The durable-write recipe shared by both writers:
//   1. create a temporary file in the target's directory (same file system),
//   2. write every byte, 3. fsync it, 4. close it.
// The caller then makes it visible (rename or link) and syncs the directory.
// On any failure the temporary file is removed and the error raised.
// `replaced`, when given, is the file the temporary one will replace: its
// permission bits and group carry over before any byte is written, so the
// new file is never readable by more people than the old one was.
std::string WriteTemporary(const std::string& path, const Bytes& bytes, const struct stat* replaced = nullptr,
                           mode_t mode = 0644) {
  const std::string temp = TempPathFor(path);
  Fd fd(RobustOpen(temp, O_WRONLY | O_CREAT | O_EXCL, mode));
  if (!fd.ok()) throw EFCreateError(path, errno);
  if (replaced != nullptr) {
    if (::fchown(fd.get(), static_cast<uid_t>(-1), replaced->st_gid) != 0) {
      // Only root, or an owner who is in that group, may set it; otherwise
      // the file keeps the directory's default group, the operator's too.
    }
    if (::fchmod(fd.get(), replaced->st_mode & 07777) != 0) {
      const int err = errno;
      ::unlink(temp.c_str());
      throw EFCreateError(path, err);
    }
  }
  bool written = true;
  for (std::string_view piece : bytes.Pieces()) written = written && detail::WriteAll(fd.get(), piece);
  if (!written || ::fsync(fd.get()) != 0 || fd.Close() != 0) {
    const int err = errno;  // before unlink can change it
    ::unlink(temp.c_str());
    throw EWriteError(err);
  }
  return temp;
}

}  // namespace

bool detail::WriteAll(int fd, std::string_view bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int detail::ReadFileOnce(const std::string& path, std::string& out) {
  out.clear();
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  Fd fd(RobustOpen(path, O_RDONLY | O_NONBLOCK));
  if (!fd.ok()) return errno;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  if (st.st_size > 0) out.reserve(static_cast<std::size_t>(st.st_size));
  char buf[65536];
  while (true) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    out.append(buf, static_cast<std::size_t>(n));
  }
}

std::optional<std::string> ReadFileTail(const std::string& path, std::int64_t end, std::size_t max,
                                        std::int64_t& start) {
  Fd fd(RobustOpen(path, O_RDONLY | O_NONBLOCK));
  if (!fd.ok()) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    throw EFOpenError(path, errno);
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw EFOpenError(path, errno);
  if (!S_ISREG(st.st_mode)) return std::nullopt;
  if (end < 0 || end > st.st_size) end = st.st_size;
  start = std::max<std::int64_t>(0, end - static_cast<std::int64_t>(max));
  std::string out(static_cast<std::size_t>(end - start), '\0');
  std::size_t got = 0;
  while (got < out.size()) {
    const ssize_t n = ::pread(fd.get(), out.data() + got, out.size() - got, static_cast<off_t>(start) + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw EFOpenError(path, errno);
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  return out;
}

bool AppendToFile(const std::string& path, std::string_view bytes) {
  // O_NONBLOCK: a FIFO in the log's place must not hold the request.
  Fd fd(RobustOpen(path, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY, 0640));
  if (!fd.ok()) return false;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return false;
  }
  // One write: O_APPEND places it at the end as a whole. Writing a short
  // remainder again could land after another process's line, so a short
  // write is a failure, not a reason to go on.
  while (true) {
    const ssize_t n = ::write(fd.get(), bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (static_cast<std::size_t>(n) != bytes.size()) {
      errno = EIO;
      return false;
    }
    return fd.Close() == 0;
  }
}

void ReplaceFile(const std::string& path, const Bytes& bytes) {
  struct stat old;
  const bool replacing = ::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  const std::string temp = WriteTemporary(path, bytes, replacing ? &old : nullptr);
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    throw EFCreateError(path, err);
  }
  SyncDirectory(path);
}

bool CreateFileExclusive(const std::string& path, const Bytes& bytes, bool owner_only) {
  const std::string temp = WriteTemporary(path, bytes, nullptr, owner_only ? 0600 : 0644);
  // link(2) fails with EEXIST if anything holds the name, so exactly one of
  // several racing creators wins, and the winner's file is complete the
  // moment its name appears.
  const int rc = ::link(temp.c_str(), path.c_str());
  const int err = errno;
  ::unlink(temp.c_str());
  if (rc != 0) {
    if (err == EEXIST) return false;
    throw EFCreateError(path, err);
  }
  SyncDirectory(path);
  return true;
}

bool IsPlainFileName(std::string_view name, std::string_view suffix) {
  // NAME_MAX of the file systems a site lives on (ext4, xfs, tmpfs, NFS).
  constexpr std::size_t kMaxNameBytes = 255;
  if (name.size() + suffix.size() > kMaxNameBytes) return false;
  for (std::string_view part : {name, suffix}) {
    for (std::size_t pos = 0; pos < part.size();) {
      const char c = part[pos];
      // "/", NUL, CR and LF are refused wherever they stand: none of them is
      // ever the second byte of a real double-byte character, and the file
      // system reads "/" and NUL the same whatever byte comes before them.
      if (c == '/' || c == '\0' || c == '\r' || c == '\n') return false;
      const std::size_t length = CharLength(part, pos);
      if (length == 2) {
        const char second = part[pos + 1];
        if (second == '/' || second == '\0' || second == '\r' || second == '\n') return false;
      } else if (c == '\\') {
        // A "\" of its own is the Windows delimiter; as the second byte of a
        // character such as 表 it is part of an ordinary name.
        return false;
      }
      pos += length;
    }
  }
  return true;
}

void RemoveFile(const std::string& path) { ::unlink(path.c_str()); }

void CreateDirectories(const std::string& path) {
  for (std::size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == kPathDelimiter) {
      const std::string part = path.substr(0, pos);
      if (!DirectoryExists(part)) ::mkdir(part.c_str(), 0755);  // EEXIST from a racing process is fine
    }
  }
}

std::vector<DirectoryEntry> ListDirectory(const std::string& dir) {
  std::unique_ptr<DIR, int (*)(DIR*)> stream(::opendir(dir.empty() ? "." : dir.c_str()), ::closedir);
  if (!stream) throw EFOpenError(dir, errno);
  const std::string prefix = dir.empty() || dir.back() == kPathDelimiter ? dir : dir + kPathDelimiter;
  std::vector<DirectoryEntry> entries;
  while (true) {
    errno = 0;
    const struct dirent* item = ::readdir(stream.get());
    if (item == nullptr) {
      if (errno != 0) throw EFOpenError(dir, errno);
      break;
    }
    const std::string_view name = item->d_name;
    if (name == "." || name == "..") continue;
    DirectoryEntry entry;
    entry.name = name;
    struct stat st;
    // A name gone between the listing and the look is listed as neither kind.
    if (::stat((prefix + entry.name).c_str(), &st) == 0) {
      entry.regular = S_ISREG(st.st_mode);
      entry.directory = S_ISDIR(st.st_mode);
      entry.modified = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
      struct tm tm;
      const time_t secs = st.st_mtim.tv_sec;
      ::localtime_r(&secs, &tm);
      entry.modified_local = {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                              static_cast<int>(st.st_mtim.tv_nsec / 1000000)};
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

bool DirectoryWritable(const std::string& dir) { return !dir.empty() && ::access(dir.c_str(), W_OK | X_OK) == 0; }

std::string LinkTarget(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  std::string target(4096, '\0');
  const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) return path;
  target.resize(static_cast<std::size_t>(n));
  if (target.front() == '/') return target;
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? target : path.substr(0, slash + 1) + target;
}

std::string ExecutablePath() {
  std::string buf(4096, '\0');
  while (true) {
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < buf.size()) {
      buf.resize(static_cast<std::size_t>(n));
      return buf;
    }
    buf.resize(buf.size() * 2);
  }
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the descriptor releases the flock
}

FileLock FileLock::Acquire(const std::string& lock_path) {
  Fd fd(RobustOpen(lock_path, O_RDWR | O_CREAT, 0644));
  if (!fd.ok()) throw EFCreateError(lock_path, errno);
  while (::flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) throw EFCreateError(lock_path, errno);
  }
  return FileLock(fd.Release());
}

FileLock FileLock::TryAcquire(const std::string& lock_path) {
  Fd fd(RobustOpen(lock_path, O_RDWR | O_CREAT, 0644));
  if (!fd.ok()) throw EFCreateError(lock_path, errno);
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return FileLock(-1);
    if (errno != EINTR) throw EFCreateError(lock_path, errno);
  }
  return FileLock(fd.Release());
}

std::string FileLock::Note() const {
  std::string note;
  char buf[4096];
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(fd_, buf, sizeof buf, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    note.append(buf, static_cast<std::size_t>(n));
    at += n;
  }
  return note;
}

void FileLock::SetNote(std::string_view note) const {
  // Written first and cut to length after: a note is only ever replaced by
  // one that follows an empty one, so a death in between leaves the new
  // note whole or the old one empty.
  std::size_t done = 0;
  while (done < note.size()) {
    const ssize_t n = ::pwrite(fd_, note.data() + done, note.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw EWriteError(errno);
    done += static_cast<std::size_t>(n);
  }
  while (::ftruncate(fd_, static_cast<off_t>(note.size())) != 0) {
    if (errno != EINTR) throw EWriteError(errno);
  }
}

std::string LockPathFor(const std::string& path) {
  auto [dir, name] = SplitDirName(path);
  return dir + "." + name + ".lock";
}

}  // namespace platform
