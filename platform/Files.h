// Files and directories. Every write goes through one of two helpers:
// ReplaceFile (atomic replace) and CreateFileExclusive (atomic create-if-
// absent). Both write a hidden temporary file beside the target (a name with
// a leading "." that never ends in ".txt", so nothing of the site mistakes it
// for a record, an upload or a counter), flush it to disk and only then make
// it visible under its final name. A reader therefore sees the old bytes or
// the new ones, never a part, and never has to fail because a writer is busy.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/System.h"

namespace platform {

// "/" on Windows too, which takes it: joined paths never meet a "\" that is
// the second byte of a character such as 表.
inline constexpr char kPathDelimiter = '/';

// The bytes of a file to be written, in up to three pieces, so that a caller
// never joins a large text with a small header and trailer only to write it.
// The pieces are views: a Bytes lives no longer than the call it is given to.
class Bytes {
 public:
  template <typename T>
    requires std::convertible_to<const T&, std::string_view>
  Bytes(const T& bytes) : pieces_{std::string_view(bytes)}, count_(1) {}
  Bytes(std::string_view first, std::string_view second, std::string_view third)
      : pieces_{first, second, third}, count_(3) {}
  std::span<const std::string_view> Pieces() const noexcept { return {pieces_.data(), count_}; }

 private:
  std::array<std::string_view, 3> pieces_;
  std::size_t count_;
};

// True when the path names an existing regular file. A FIFO, socket or
// device where a record is expected counts as absent: reading one could
// block the request for ever or never end.
bool FileExists(const std::string& path);
// True when the path names an existing directory (a trailing "/" is allowed).
bool DirectoryExists(const std::string& path);

// Every byte of the file. Throws EFOpenError when it cannot be opened or read,
// or is no regular file (which it never waits for). A file that is missing or
// whose handle went stale ("Stale file handle") is tried again a few times
// within 1.6 s first: on shared storage, another server may be renaming a
// new version over it.
std::string ReadWholeFile(const std::string& path);

// Creates or replaces the file with exactly these bytes, atomically. A
// replaced file keeps its permission bits, and its group where the process
// may set it: an operator who made records private keeps them private.
// Throws EFCreateError when the temporary file cannot be created (a missing
// directory, no rights) or moved into place, EWriteError when the bytes
// cannot all be written.
void ReplaceFile(const std::string& path, const Bytes& bytes);

// Creates the file with these bytes only if nothing exists under the path;
// returns false, writing nothing, when something does. Of several processes
// racing for one path exactly one gets true. Errors as for ReplaceFile.
// `owner_only`: readable by the file's owner alone (mode 0600 on POSIX; on
// Windows the folder's permissions apply), for a secret.
bool CreateFileExclusive(const std::string& path, const Bytes& bytes, bool owner_only = false);

// Up to `max` bytes of the file that end at byte `end` (the file's end when
// `end` is negative or beyond it); `start` receives where they begin.
// Nothing when the file is missing or no regular file. Throws EFOpenError
// when it cannot be read. Reads only those bytes, however long the file.
std::optional<std::string> ReadFileTail(const std::string& path, std::int64_t end, std::size_t max,
                                        std::int64_t& start);

// Appends the bytes to the end of the file (created when missing, mode 0640
// before the umask) in one write through an append-only handle, so lines
// appended by many processes at once never mix or overwrite each other.
// False, with errno (EINVAL for a path that is no regular file), when the
// file cannot be opened or not every byte reached it.
bool AppendToFile(const std::string& path, std::string_view bytes);

// True when `name` followed by `suffix` can be one file name inside a
// directory: no path delimiter ("/", or "\" outside a double-byte character),
// no NUL, CR or LF, and no longer than the file system takes (255 bytes).
// On Windows also none of : * ? " < > | or another control byte, no trailing
// dot or blank, no device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with any
// extension), valid Shift_JIS, at most 255 UTF-16 units.
bool IsPlainFileName(std::string_view name, std::string_view suffix = {});

// Removes the file; a file already gone is not an error.
void RemoveFile(const std::string& path);

// Creates the directory and every missing parent. Failures are not reported;
// they show when a file is then created inside.
void CreateDirectories(const std::string& path);

// The hidden temporary files of ReplaceFile and CreateFileExclusive start
// with this; one left behind is the trace of a save that never finished.
inline constexpr std::string_view kTemporaryPrefix = ".tmp-";

// One name in a directory, as ListDirectory reports it.
struct DirectoryEntry {
  std::string name;
  bool regular = false;    // a regular file (what FileExists accepts)
  bool directory = false;
  std::int64_t modified = 0;  // last change, in nanoseconds of the system clock: only for ordering
  LocalTime modified_local;   // the same moment in local time
};

// Every name in the directory but "." and "..", in no particular order.
// Throws EFOpenError when the directory cannot be read.
std::vector<DirectoryEntry> ListDirectory(const std::string& dir);

// True when this process may create files in the directory.
bool DirectoryWritable(const std::string& dir);

// The running executable's full path.
std::string ExecutablePath();

// Where a write to path lands: the target when path is a symbolic link (a
// relative target taken from the link's folder), else path itself. An
// atomic replace of a link would replace the link, in its own folder; this
// lets a file that must sit in a read-only folder live elsewhere. Windows:
// path itself.
std::string LinkTarget(const std::string& path);

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

  // A short note the holder leaves in the lock file for whoever holds the
  // lock next: what it is in the middle of, so that the next holder can
  // undo the work of one that died. Read whole; "" when there is none.
  // Notes are not synced: they serve against a killed process, not power
  // loss. Throws EWriteError when the note cannot be written.
  std::string Note() const;
  void SetNote(std::string_view note) const;

 private:
  explicit FileLock(int fd) noexcept : fd_(fd) {}
  int fd_ = -1;
};

// The hidden lock file that guards `path`: same directory, "." + name + ".lock".
std::string LockPathFor(const std::string& path);

}  // namespace platform
