// Files and directories. Every write goes through one of two helpers:
// ReplaceFile (atomic replace) and CreateFileExclusive (atomic create-if-
// absent). Both write a hidden temporary file beside the target (a name with
// a leading "." that never ends in ".txt", so nothing of the site mistakes it
// for a record, an upload or a counter), flush it to disk and only then make
// it visible under its final name. A reader therefore sees the old bytes or
// the new ones, never a part, and never has to fail because a writer is busy.
#pragma once

#include <string>
#include <string_view>

namespace platform {

inline constexpr char kPathDelimiter = '/';

// True when the path names an existing file that is not a directory.
bool FileExists(const std::string& path);
// True when the path names an existing directory (a trailing "/" is allowed).
bool DirectoryExists(const std::string& path);

// Every byte of the file. Throws EFOpenError when it cannot be opened or read.
std::string ReadWholeFile(const std::string& path);

// Creates or replaces the file with exactly these bytes, atomically.
// Throws EFCreateError when the temporary file cannot be created (a missing
// directory, no rights) or moved into place, EWriteError when the bytes
// cannot all be written.
void ReplaceFile(const std::string& path, std::string_view bytes);

// Creates the file with these bytes only if nothing exists under the path;
// returns false, writing nothing, when something does. Of several processes
// racing for one path exactly one gets true. Errors as for ReplaceFile.
bool CreateFileExclusive(const std::string& path, std::string_view bytes);

// Removes the file; a file already gone is not an error.
void RemoveFile(const std::string& path);

// Creates the directory and every missing parent. Failures are not reported;
// they show when a file is then created inside.
void CreateDirectories(const std::string& path);

// The running executable's full path.
std::string ExecutablePath();

// An exclusive advisory lock on a dedicated lock file, held for the life of
// the object. flock(2) is used rather than fcntl(2) locks because fcntl locks
// belong to the process and vanish when *any* descriptor of the file is
// closed; the lock file is also never the file it protects, since atomic
// replacement changes that file's inode and a lock on the old inode would
// protect nothing.
class FileLock {
 public:
  // Waits until the lock is had. Throws EFCreateError when the lock file
  // cannot be created.
  static FileLock Acquire(const std::string& lock_path);
  // Returns a lock that is not Held() when another process holds it.
  static FileLock TryAcquire(const std::string& lock_path);

  FileLock(FileLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();

  bool Held() const noexcept { return fd_ >= 0; }

 private:
  explicit FileLock(int fd) noexcept : fd_(fd) {}
  int fd_ = -1;
};

// The hidden lock file that guards `path`: same directory, "." + name + ".lock".
std::string LockPathFor(const std::string& path);

}  // namespace platform
