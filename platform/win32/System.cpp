#include "platform/System.h"

#include <cstdlib>

#include "platform/win32/Win32.h"

namespace platform {

std::string GetEnv(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value ? std::string(value) : std::string();
}

// The standard streams go through their handles, never the C runtime: it
// opens them in text mode, where CR LF becomes LF and 0x1A ends the input,
// and a multipart body holding a JPEG is cut short.
std::size_t ReadStdin(char* buf, std::size_t count) {
  const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
  if (in == nullptr || in == INVALID_HANDLE_VALUE || count == 0) return 0;
  const DWORD chunk = count > (1u << 30) ? (1u << 30) : static_cast<DWORD>(count);
  DWORD n = 0;
  if (!::ReadFile(in, buf, chunk, &n, nullptr)) return 0;  // a broken pipe ends the body
  return n;
}

bool WriteStdout(std::string_view bytes) {
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return bytes.empty();
  return detail::WriteAll(out, bytes);
}

// A write to a closed pipe fails without a signal here. What could stall the
// web server instead is a dialog: a crash or a missing drive must not wait
// for someone to click it away.
void IgnoreBrokenPipe() {
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

LocalTime Now() {
  SYSTEMTIME st;
  ::GetLocalTime(&st);
  LocalTime t;
  t.year = st.wYear;
  t.month = st.wMonth;
  t.day = st.wDay;
  t.hour = st.wHour;
  t.minute = st.wMinute;
  t.second = st.wSecond;
  t.millisecond = st.wMilliseconds;
  return t;
}

void SleepMilliseconds(int ms) { ::Sleep(ms > 0 ? static_cast<DWORD>(ms) : 0); }

}  // namespace platform
