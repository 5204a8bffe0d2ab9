#include "platform/System.h"

#include <cstdlib>
#include <ctime>

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

bool WriteStderr(std::string_view bytes) {
  const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  if (err == nullptr || err == INVALID_HANDLE_VALUE) return bytes.empty();
  return detail::WriteAll(err, bytes);
}

bool StdinIsTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

bool ReadLineWithoutEcho(std::string& line) {
  line.clear();
  const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD saved = 0;
  const bool console = ::GetConsoleMode(in, &saved) != 0;
  if (console) ::SetConsoleMode(in, saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  // Echo comes back on however the read ends.
  struct Restore {
    bool on;
    HANDLE in;
    DWORD mode;
    ~Restore() {
      if (on) {
        ::SetConsoleMode(in, mode);
        WriteStderr("\r\n");  // the Enter key was not shown either
      }
    }
  } restore{console, in, saved};
  char c = 0;
  while (true) {
    if (ReadStdin(&c, 1) == 0) return !line.empty();
    if (c == '\n') return true;
    if (c != '\r') line.push_back(c);
  }
}

FileSystemKind FileSystemKindOf(const std::string& path) {
  std::wstring wide;
  if (!detail::Widen(path, wide)) return FileSystemKind::kUnknown;
  wchar_t volume[MAX_PATH + 1];
  if (!::GetVolumePathNameW(wide.c_str(), volume, MAX_PATH + 1)) return FileSystemKind::kUnknown;
  switch (::GetDriveTypeW(volume)) {
    case DRIVE_REMOTE: return FileSystemKind::kNetwork;
    case DRIVE_NO_ROOT_DIR:
    case DRIVE_UNKNOWN: return FileSystemKind::kUnknown;
    default: break;
  }
  // A UNC path (\\server\share) is a network share whatever its drive type.
  if (wide.size() > 1 && (wide[0] == L'\\' || wide[0] == L'/') && (wide[1] == L'\\' || wide[1] == L'/')) {
    return FileSystemKind::kNetwork;
  }
  return FileSystemKind::kLocal;
}

// A write to a closed pipe fails without a signal here. What could stall the
// web server instead is a dialog: a crash or a missing drive must not wait
// for someone to click it away.
void IgnoreBrokenPipe() {
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

// Windows has no socket passing of this kind: the program is a CGI program.
int PassedListenSocket() { return -1; }

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

std::int64_t UnixSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

void SleepMilliseconds(int ms) { ::Sleep(ms > 0 ? static_cast<DWORD>(ms) : 0); }

}  // namespace platform
