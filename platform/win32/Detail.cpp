#include "platform/Detail.h"

#include <cerrno>
#include <cstring>

#include "platform/win32/Win32.h"

namespace platform::detail {

// The wording of the Linux build, so that an error page reads the same on
// both; the Windows runtime has no text at all for EWOULDBLOCK (a counter
// lock that stayed busy), which would otherwise reach the user as
// "Unknown error".
std::string ErrorText(int error_number) {
  switch (error_number) {
    case ENOENT: return "No such file or directory";
    case EACCES: return "Permission denied";
    case EEXIST: return "File exists";
    case ENOTDIR: return "Not a directory";
    case EISDIR: return "Is a directory";
    case EINVAL: return "Invalid argument";
    case EMFILE: return "Too many open files";
    case ENOSPC: return "No space left on device";
    case EROFS: return "Read-only file system";
    case ENAMETOOLONG: return "File name too long";
    case EIO: return "Input/output error";
    case EWOULDBLOCK: return "Resource temporarily unavailable";
    default: return std::strerror(error_number);
  }
}

std::uint64_t ProcessId() noexcept { return ::GetCurrentProcessId(); }

}  // namespace platform::detail
