// Helpers shared inside the Windows half only. Include after the platform
// headers: <windows.h> defines ReplaceFile as a macro, undone here.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#undef ReplaceFile

#include <string>
#include <string_view>

namespace platform::detail {

// Names are Shift_JIS bytes (code page 932) whatever the host's ANSI code
// page is, so every file call goes through the wide functions. False when
// the bytes are no valid Shift_JIS.
bool Widen(std::string_view bytes, std::wstring& out);
// The reverse, for names the system hands back.
std::string Narrow(std::wstring_view wide);

// The errno value that stands for a Windows error code in the messages,
// so that both builds word a failure alike.
int ErrnoFromWin32(DWORD error) noexcept;

// Writes every byte, retrying short writes; false on failure.
bool WriteAll(HANDLE handle, std::string_view bytes);

// Handle ownership for one function body.
class Handle {
 public:
  explicit Handle(HANDLE h) noexcept : h_(h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Close(); }
  HANDLE get() const noexcept { return h_; }
  bool ok() const noexcept { return h_ != INVALID_HANDLE_VALUE; }
  HANDLE Release() noexcept {
    HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return h;
  }
  bool Close() noexcept {
    bool closed = true;
    if (h_ != INVALID_HANDLE_VALUE) closed = ::CloseHandle(h_) != 0;
    h_ = INVALID_HANDLE_VALUE;
    return closed;
  }

 private:
  HANDLE h_;
};

}  // namespace platform::detail
