#include "platform/Detail.h"

#include <unistd.h>

#include <cstring>

namespace platform::detail {

std::string ErrorText(int error_number) { return std::strerror(error_number); }

std::uint64_t ProcessId() noexcept { return static_cast<std::uint64_t>(::getpid()); }

}  // namespace platform::detail
