#include <cerrno>

#include "platform/win32/Win32.h"

namespace platform::detail {

bool Widen(std::string_view bytes, std::wstring& out) {
  out.clear();
  if (bytes.empty()) return true;
  if (bytes.size() > 0x7fffffff || bytes.find('\0') != std::string_view::npos) return false;
  const int size = static_cast<int>(bytes.size());
  const int n = ::MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
  if (n <= 0) return false;
  out.resize(static_cast<std::size_t>(n));
  return ::MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, bytes.data(), size, out.data(), n) == n;
}

std::string Narrow(std::wstring_view wide) {
  if (wide.empty() || wide.size() > 0x7fffffff) return {};
  const int size = static_cast<int>(wide.size());
  const int n = ::WideCharToMultiByte(932, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(932, 0, wide.data(), size, out.data(), n, nullptr, nullptr);
  return out;
}

int ErrnoFromWin32(DWORD error) noexcept {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT: return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_DIRECTORY: return ENOTDIR;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_PARAMETER: return EINVAL;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    default: return EIO;
  }
}

bool WriteAll(HANDLE handle, std::string_view bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    DWORD n = 0;
    if (!::WriteFile(handle, p, chunk, &n, nullptr) || n == 0) return false;
    p += n;
    left -= n;
  }
  return true;
}

}  // namespace platform::detail
