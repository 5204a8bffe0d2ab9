#include "platform/Exception.h"

#include <cerrno>

#include "PlatformTexts.h"
#include "platform/Detail.h"

namespace platform {
namespace {

// Fills the first "%s" with a, the second with b; the texts hold exactly two.
std::string FormatTwo(std::string_view pattern, std::string_view a, std::string_view b) {
  std::string out;
  out.reserve(pattern.size() + a.size() + b.size());
  std::string_view args[2] = {a, b};
  int next = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == 's' && next < 2) {
      out += args[next++];
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

std::string InOutMessage(int number) {
  switch (number) {
    case 2: return std::string(texts::IoError2);
    case 3: return std::string(texts::IoError3);
    case 4: return std::string(texts::IoError4);
    case 5: return std::string(texts::IoError5);
    case 100: return std::string(texts::IoError100);
    case 101: return std::string(texts::IoError101);
    case 106: return std::string(texts::IoError106);
    default: break;
  }
  std::string out;
  const std::string_view pattern = texts::IoErrorOther;
  const std::size_t at = pattern.find("%d");
  out += pattern.substr(0, at);
  out += std::to_string(number);
  out += pattern.substr(at + 2);
  return out;
}

}  // namespace

EFOpenError::EFOpenError(std::string_view path, int error_number)
    : Exception(FormatTwo(texts::FileOpenError, path, detail::ErrorText(error_number))) {}

EFCreateError::EFCreateError(std::string_view path, int error_number)
    : Exception(FormatTwo(texts::FileCreateError, path, detail::ErrorText(error_number))) {}

EWriteError::EWriteError(int error_number)
    : Exception(std::string(texts::StreamWriteError)), error_number_(error_number) {}

EInOutError::EInOutError(int number) : Exception(InOutMessage(number)), number_(number) {}

int InOutNumberFromErrno(int error_number) noexcept {
  switch (error_number) {
    case ENOENT: return 2;
    case ENOTDIR:
    case ENAMETOOLONG:
    case EINVAL: return 3;
    case EMFILE:
    case ENFILE: return 4;
    case EACCES:
    case EPERM:
    case EROFS: return 5;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
      return 101;
    default: return error_number;
  }
}

}  // namespace platform
