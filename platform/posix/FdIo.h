// Descriptor-level helpers shared inside the platform layer only.
#pragma once

#include <string_view>

namespace platform::detail {

// Writes every byte, retrying short writes and EINTR; false on any other
// failure (errno tells which).
bool WriteAll(int fd, std::string_view bytes);

}  // namespace platform::detail
