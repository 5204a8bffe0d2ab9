// What each platform half supplies to the shared parts of platform/.
#pragma once

#include <cstdint>
#include <string>

namespace platform::detail {

// The system's text for an errno value, as the file error messages show it.
// The C runtimes disagree on wording, and some know no text at all for
// values this program raises.
std::string ErrorText(int error_number);

// One try at reading every byte of the file into `out`: 0, or the errno of
// the failure (EISDIR or EINVAL for what is no regular file).
int ReadFileOnce(const std::string& path, std::string& out);

// The running process's id: part of the seed of Random.
std::uint64_t ProcessId() noexcept;

}  // namespace platform::detail
