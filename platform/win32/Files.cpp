#include "platform/Files.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <random>

#include "platform/Detail.h"
#include "platform/Exception.h"
#include "platform/Sjis.h"
#include "platform/win32/Win32.h"

namespace platform {
namespace {

using detail::ErrnoFromWin32;
using detail::Handle;
using detail::Widen;

// Every open lets others read, write and delete (rename over) the file, as
// POSIX does: a reader must never keep a writer from replacing a record.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Windows also takes "\" as a delimiter, which a configured folder may use;
// as the second byte of a character such as 表 it is part of a name.
constexpr std::string_view kDelimiters = "/\\";

std::pair<std::string, std::string> SplitDirName(const std::string& path) {
  const std::size_t slash = FindLastDelimiterSjis(path, kDelimiters);
  if (slash == std::string::npos) return {"", path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

DWORD Attributes(const std::string& path) {
  std::wstring wide;
  if (path.empty() || !Widen(path, wide)) return INVALID_FILE_ATTRIBUTES;
  return ::GetFileAttributesW(wide.c_str());
}

// Opens with CreateFileW; INVALID_HANDLE_VALUE with errno set on failure.
HANDLE Open(const std::string& path, DWORD access, DWORD disposition, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
  std::wstring wide;
  if (!Widen(path, wide)) {
    errno = EINVAL;
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = ::CreateFileW(wide.c_str(), access, kShareAll, nullptr, disposition, attributes, nullptr);
  if (h == INVALID_HANDLE_VALUE) errno = ErrnoFromWin32(::GetLastError());
  return h;
}

void Delete(const std::string& path) {
  std::wstring wide;
  if (Widen(path, wide)) ::DeleteFileW(wide.c_str());
}

std::string TempPathFor(const std::string& path) {
  static std::atomic<unsigned> sequence{0};
  static const unsigned salt = std::random_device{}();
  char name[64];
  std::snprintf(name, sizeof name, "%.*s%lu-%x-%u", static_cast<int>(kTemporaryPrefix.size()),
                kTemporaryPrefix.data(), static_cast<unsigned long>(::GetCurrentProcessId()), salt, sequence++);
  return SplitDirName(path).first + name;
}

// Write, flush to disk, close; the caller moves the file into place. On any
// failure the temporary file is removed and the error raised.
std::string WriteTemporary(const std::string& path, const Bytes& bytes, DWORD attributes) {
  const std::string temp = TempPathFor(path);
  Handle h(Open(temp, GENERIC_WRITE, CREATE_NEW, attributes));
  if (!h.ok()) throw EFCreateError(path, errno);
  bool written = true;
  for (std::string_view piece : bytes.Pieces()) written = written && detail::WriteAll(h.get(), piece);
  if (!written || !::FlushFileBuffers(h.get()) || !h.Close()) {
    const int err = ErrnoFromWin32(::GetLastError());
    h.Close();
    Delete(temp);
    throw EWriteError(err);
  }
  return temp;
}

// MoveFileExW fails with "access denied" while another process has the
// target open without delete sharing (a virus scanner, an indexer, a reader
// of another runtime), so it is tried again for about a second.
bool Move(const std::string& from, const std::string& to, DWORD flags, DWORD& error) {
  std::wstring wfrom, wto;
  if (!Widen(from, wfrom) || !Widen(to, wto)) {
    error = ERROR_INVALID_NAME;
    return false;
  }
  for (int attempt = 0;; ++attempt) {
    if (::MoveFileExW(wfrom.c_str(), wto.c_str(), flags)) return true;
    error = ::GetLastError();
    if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) || attempt >= 50) return false;
    ::Sleep(20);
  }
}

}  // namespace

bool FileExists(const std::string& path) {
  const DWORD attrs = Attributes(path);
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

bool DirectoryExists(const std::string& path) {
  const DWORD attrs = Attributes(path);
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int detail::ReadFileOnce(const std::string& path, std::string& out) {
  out.clear();
  Handle h(Open(path, GENERIC_READ, OPEN_EXISTING));
  if (!h.ok()) {
    // CreateFileW refuses a directory with "access denied"; say what it is.
    return errno == EACCES && DirectoryExists(path) ? EISDIR : errno;
  }
  if (::GetFileType(h.get()) != FILE_TYPE_DISK) return EINVAL;
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(h.get(), &size)) return ErrnoFromWin32(::GetLastError());
  if (size.QuadPart > 0) out.reserve(static_cast<std::size_t>(size.QuadPart));
  char buf[65536];
  while (true) {
    DWORD n = 0;
    if (!::ReadFile(h.get(), buf, sizeof buf, &n, nullptr)) return ErrnoFromWin32(::GetLastError());
    if (n == 0) return 0;
    out.append(buf, n);
  }
}

std::optional<std::string> ReadFileTail(const std::string& path, std::int64_t end, std::size_t max,
                                        std::int64_t& start) {
  Handle h(Open(path, GENERIC_READ, OPEN_EXISTING));
  if (!h.ok()) {
    if (errno == ENOENT) return std::nullopt;
    throw EFOpenError(path, errno);
  }
  if (::GetFileType(h.get()) != FILE_TYPE_DISK) return std::nullopt;
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(h.get(), &size)) throw EFOpenError(path, ErrnoFromWin32(::GetLastError()));
  if (end < 0 || end > size.QuadPart) end = size.QuadPart;
  start = std::max<std::int64_t>(0, end - static_cast<std::int64_t>(max));
  LARGE_INTEGER at;
  at.QuadPart = start;
  if (!::SetFilePointerEx(h.get(), at, nullptr, FILE_BEGIN)) throw EFOpenError(path, ErrnoFromWin32(::GetLastError()));
  std::string out(static_cast<std::size_t>(end - start), '\0');
  std::size_t got = 0;
  while (got < out.size()) {
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(out.size() - got, 1u << 20));
    if (!::ReadFile(h.get(), out.data() + got, want, &n, nullptr)) {
      throw EFOpenError(path, ErrnoFromWin32(::GetLastError()));
    }
    if (n == 0) break;
    got += n;
  }
  out.resize(got);
  return out;
}

bool AppendToFile(const std::string& path, std::string_view bytes) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA: the system puts every write
  // at the end of the file as a whole, as O_APPEND does.
  Handle h(Open(path, FILE_APPEND_DATA | SYNCHRONIZE, OPEN_ALWAYS));
  if (!h.ok()) return false;
  if (::GetFileType(h.get()) != FILE_TYPE_DISK) {
    errno = EINVAL;
    return false;
  }
  if (bytes.size() > 0xffffffffu) {
    errno = EINVAL;
    return false;
  }
  DWORD written = 0;
  if (!::WriteFile(h.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
    errno = ErrnoFromWin32(::GetLastError());
    return false;
  }
  if (written != bytes.size()) {
    errno = EIO;
    return false;
  }
  return true;
}

void ReplaceFile(const std::string& path, const Bytes& bytes) {
  // The replaced file's hidden, system and indexing attributes carry over.
  // Read-only does not: Windows would refuse every later replace of it,
  // where POSIX permission bits leave the directory to decide.
  constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  const DWORD old = Attributes(path);
  DWORD attributes = FILE_ATTRIBUTE_NORMAL;
  if (old != INVALID_FILE_ATTRIBUTES && (old & FILE_ATTRIBUTE_DIRECTORY) == 0 && (old & kKept) != 0) {
    attributes = old & kKept;
  }
  const std::string temp = WriteTemporary(path, bytes, attributes);
  DWORD error = 0;
  if (!Move(temp, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH, error)) {
    Delete(temp);
    throw EFCreateError(path, ErrnoFromWin32(error));
  }
}

bool CreateFileExclusive(const std::string& path, const Bytes& bytes, bool /*owner_only: the folder's ACL applies*/) {
  const std::string temp = WriteTemporary(path, bytes, FILE_ATTRIBUTE_NORMAL);
  // A move without the replace flag fails when anything holds the name, so
  // exactly one of several racing creators wins, and the winner's file is
  // complete the moment its name appears.
  DWORD error = 0;
  const bool moved = Move(temp, path, MOVEFILE_WRITE_THROUGH, error);
  if (moved) return true;
  Delete(temp);
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return false;
  throw EFCreateError(path, ErrnoFromWin32(error));
}

bool IsPlainFileName(std::string_view name, std::string_view suffix) {
  std::string whole;
  whole.reserve(name.size() + suffix.size());
  whole.append(name).append(suffix);
  if (whole.empty()) return true;
  for (std::size_t pos = 0; pos < whole.size();) {
    const std::size_t length = CharLength(whole, pos);
    if (length == 1) {
      // Single bytes only: as the second byte of a character such as 表 or
      // ポ, "\" and "|" are part of an ordinary name.
      const unsigned char c = static_cast<unsigned char>(whole[pos]);
      if (c < 0x20 || std::string_view("\\/:*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos) {
        return false;
      }
    } else if (static_cast<unsigned char>(whole[pos + 1]) < 0x40) {
      return false;  // no real double-byte character ends in a control byte or "/"
    }
    pos += length;
  }
  // Windows drops a trailing dot or blank, so "a." and "a" would be one file.
  if (whole.back() == '.' || whole.back() == ' ') return false;
  // Device names stay devices in every folder and with any extension.
  std::string_view base = std::string_view(whole).substr(0, whole.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  const std::string upper = AsciiUpperSjis(base);
  if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL") return false;
  if (upper.size() == 4 && (upper.starts_with("COM") || upper.starts_with("LPT")) && upper[3] >= '1' &&
      upper[3] <= '9') {
    return false;
  }
  // The name must be Shift_JIS the file system can take, and NTFS holds 255
  // UTF-16 units in one name.
  std::wstring wide;
  return Widen(whole, wide) && wide.size() <= 255;
}

void RemoveFile(const std::string& path) { Delete(path); }

void CreateDirectories(const std::string& path) {
  for (std::size_t pos = 1; pos <= path.size();) {
    if (pos == path.size() || path[pos] == '/' || path[pos] == '\\') {
      const std::string part = path.substr(0, pos);
      std::wstring wide;
      // "C:" and a racing creator's folder fail harmlessly.
      if (!DirectoryExists(part) && Widen(part, wide)) ::CreateDirectoryW(wide.c_str(), nullptr);
    }
    pos += pos < path.size() ? CharLength(path, pos) : 1;
  }
}

std::vector<DirectoryEntry> ListDirectory(const std::string& dir) {
  std::string pattern = dir.empty() ? std::string(".") : dir;
  if (FindLastDelimiterSjis(pattern, kDelimiters) != pattern.size() - 1) pattern += '/';
  pattern += '*';
  std::wstring wide;
  if (!Widen(pattern, wide)) throw EFOpenError(dir, EINVAL);
  WIN32_FIND_DATAW found;
  HANDLE find = ::FindFirstFileW(wide.c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) throw EFOpenError(dir, ErrnoFromWin32(::GetLastError()));
  struct Closer {
    HANDLE h;
    ~Closer() { ::FindClose(h); }
  } closer{find};
  std::vector<DirectoryEntry> entries;
  do {
    DirectoryEntry entry;
    entry.name = detail::Narrow(found.cFileName);
    if (entry.name == "." || entry.name == "..") continue;
    const DWORD attrs = found.dwFileAttributes;
    entry.directory = (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.regular = (attrs & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
    const FILETIME written = found.ftLastWriteTime;
    entry.modified = static_cast<std::int64_t>((static_cast<std::uint64_t>(written.dwHighDateTime) << 32) |
                                               written.dwLowDateTime) * 100;
    FILETIME local;
    SYSTEMTIME st;
    if (::FileTimeToLocalFileTime(&written, &local) && ::FileTimeToSystemTime(&local, &st)) {
      entry.modified_local = {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
    }
    entries.push_back(std::move(entry));
  } while (::FindNextFileW(find, &found));
  const DWORD error = ::GetLastError();
  if (error != ERROR_NO_MORE_FILES) throw EFOpenError(dir, ErrnoFromWin32(error));
  return entries;
}

bool DirectoryWritable(const std::string& dir) {
  if (!DirectoryExists(dir)) return false;
  // The rights of a folder are an ACL; the one sure answer is a file made
  // and gone again at once.
  std::string probe = dir;
  if (FindLastDelimiterSjis(probe, kDelimiters) != probe.size() - 1) probe += '/';
  Handle h(Open(TempPathFor(probe + "probe"), GENERIC_WRITE, CREATE_NEW,
                FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE));
  return h.ok();
}

std::string LinkTarget(const std::string& path) { return path; }

std::string ExecutablePath() {
  std::wstring buf(MAX_PATH, L'\0');
  while (true) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) {
      buf.resize(n);
      break;
    }
    buf.resize(buf.size() * 2);
  }
  // "/" is the delimiter the rest of the program joins paths with; Windows
  // takes it, and a lone "\" is never part of a character here.
  std::string path = detail::Narrow(buf);
  for (std::size_t pos = 0; pos < path.size(); pos += CharLength(path, pos)) {
    if (path[pos] == '\\') path[pos] = '/';
  }
  return path;
}

// The lock's handle is kept as a runtime descriptor so that the class is the
// same on both platforms; closing the descriptor closes the handle.
namespace {

HANDLE LockHandle(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

void CloseLock(int fd) {
  OVERLAPPED at{};
  ::UnlockFileEx(LockHandle(fd), 0, 1, 0, &at);
  ::_close(fd);
}

// LockFileEx on the first byte excludes other processes and other handles
// alike; only the holder reads and writes the note, through the handle that
// holds the lock. -1 with `held` false when it is busy and `wait` is false.
int OpenLocked(const std::string& lock_path, bool wait) {
  Handle h(Open(lock_path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS));
  if (!h.ok()) throw EFCreateError(lock_path, errno);
  OVERLAPPED at{};
  const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
  if (!::LockFileEx(h.get(), flags, 0, 1, 0, &at)) {
    const DWORD error = ::GetLastError();
    if (!wait && (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING)) return -1;
    throw EFCreateError(lock_path, ErrnoFromWin32(error));
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h.get()), _O_RDWR | _O_BINARY);
  if (fd < 0) throw EFCreateError(lock_path, EMFILE);  // the handle is still ours: closed with its lock
  h.Release();
  return fd;
}

}  // namespace

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) CloseLock(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

FileLock::~FileLock() {
  if (fd_ >= 0) CloseLock(fd_);
}

FileLock FileLock::Acquire(const std::string& lock_path) { return FileLock(OpenLocked(lock_path, true)); }

FileLock FileLock::TryAcquire(const std::string& lock_path) { return FileLock(OpenLocked(lock_path, false)); }

std::string FileLock::Note() const {
  std::string note;
  char buf[4096];
  for (std::uint64_t at = 0;;) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD n = 0;
    if (!::ReadFile(LockHandle(fd_), buf, sizeof buf, &n, &where) || n == 0) break;
    note.append(buf, n);
    at += n;
  }
  return note;
}

void FileLock::SetNote(std::string_view note) const {
  // Written first and cut to length after, as on POSIX: a death in between
  // leaves the new note whole or the old one empty.
  const HANDLE h = LockHandle(fd_);
  std::size_t done = 0;
  while (done < note.size()) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(done);
    where.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(done) >> 32);
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(note.size() - done, 1u << 30));
    DWORD n = 0;
    if (!::WriteFile(h, note.data() + done, chunk, &n, &where) || n == 0) {
      throw EWriteError(ErrnoFromWin32(::GetLastError()));
    }
    done += n;
  }
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(note.size());
  if (!::SetFilePointerEx(h, end, nullptr, FILE_BEGIN) || !::SetEndOfFile(h)) {
    throw EWriteError(ErrnoFromWin32(::GetLastError()));
  }
}

std::string LockPathFor(const std::string& path) {
  auto [dir, name] = SplitDirName(path);
  return dir + "." + name + ".lock";
}

}  // namespace platform
