#include "platform/Process.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>

#include "platform/win32/Win32.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;
using detail::Handle;
using detail::Widen;

DWORD MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<DWORD>(left) : 0;
}

// Most handle functions fail with NULL, CreateFile with INVALID_HANDLE_VALUE.
HANDLE OrInvalid(HANDLE h) noexcept { return h != nullptr ? h : INVALID_HANDLE_VALUE; }

// One argument as CommandLineToArgvW and the C runtime split the line
// again: backslashes stand for themselves except before a quote, where
// each is doubled and the quote escaped, so an argument with blanks,
// quotes or a trailing backslash arrives whole. Done on UTF-16, where the
// second byte of 表 is no backslash any more.
void AppendArgument(std::wstring& line, const std::wstring& arg) {
  if (!line.empty()) line += L' ';
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    line += c;
    backslashes = 0;
  }
  line.append(2 * backslashes, L'\\');
  line += L'"';
}

// PATH for what the program starts in turn, SystemRoot because Windows's
// own DLLs fail to load without it; sorted by name, as Windows keeps the
// block, and ended by an empty string.
std::wstring MinimalEnvironment() {
  std::wstring block;
  for (const wchar_t* name : {L"PATH", L"SystemRoot"}) {
    const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) continue;
    std::wstring value(size, L'\0');
    const DWORD n = ::GetEnvironmentVariableW(name, value.data(), size);
    if (n == 0 || n >= size) continue;
    value.resize(n);
    block.append(name).append(L"=").append(value).push_back(L'\0');
  }
  if (block.empty()) block.push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

// The child's input is a named pipe, not an anonymous one, so that this
// side can write with a deadline: an anonymous pipe's write blocks for as
// long as the child does not read. The child's end is the one instance of
// a name no one can guess, made before this side connects; had another
// process connected first, the connection here fails and nothing is
// started.
std::wstring PipeName() {
  static std::atomic<unsigned> sequence{0};
  std::random_device random;
  wchar_t name[96];
  std::swprintf(name, sizeof name / sizeof name[0], L"\\\\.\\pipe\\orvalengate-%lu-%u-%08x%08x",
                static_cast<unsigned long>(::GetCurrentProcessId()), sequence++, random(), random());
  return name;
}

// The handles the child may inherit, and none besides: a resident process
// holds its listening socket and the web server's connection, and a mail
// program that kept them would hold the answer open.
class InheritedHandles {
 public:
  explicit InheritedHandles(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_ = std::make_unique<std::byte[]>(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.get());
    if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    list_ = list;
    ok_ = ::UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                      handles_.size() * sizeof(HANDLE), nullptr, nullptr) != 0;
  }
  InheritedHandles(const InheritedHandles&) = delete;
  InheritedHandles& operator=(const InheritedHandles&) = delete;
  ~InheritedHandles() {
    if (list_ != nullptr) ::DeleteProcThreadAttributeList(list_);
  }
  LPPROC_THREAD_ATTRIBUTE_LIST get() const noexcept { return ok_ ? list_ : nullptr; }

 private:
  std::vector<HANDLE> handles_;  // the list points into it
  std::unique_ptr<std::byte[]> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
  bool ok_ = false;
};

// Writes what it can before the deadline; a child that stops reading or
// ends early leaves the rest unwritten. True when all was written.
bool WriteInput(HANDLE pipe, HANDLE process, std::string_view input, Clock::time_point deadline) {
  const Handle event(OrInvalid(::CreateEventW(nullptr, TRUE, FALSE, nullptr)));
  if (!event.ok()) return false;
  while (!input.empty()) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    const DWORD chunk = input.size() > (1u << 16) ? (1u << 16) : static_cast<DWORD>(input.size());
    DWORD n = 0;
    if (!::WriteFile(pipe, input.data(), chunk, &n, &overlapped)) {
      if (::GetLastError() != ERROR_IO_PENDING) return false;
      const HANDLE waits[] = {event.get(), process};
      const bool written = ::WaitForMultipleObjects(2, waits, FALSE, MillisecondsLeft(deadline)) == WAIT_OBJECT_0;
      if (!written) ::CancelIoEx(pipe, &overlapped);
      // Waits for a cancelled write too: the buffer must outlive it.
      if (!::GetOverlappedResult(pipe, &overlapped, &n, TRUE) || !written) return false;
    }
    if (n == 0) return false;
    input.remove_prefix(n);
  }
  return true;
}

}  // namespace

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args, std::string_view input,
                      int timeout_ms, int detach_after_ms) {
  ProgramRun run;
  std::wstring application, line, arg;
  if (!Widen(program, application)) return run;
  AppendArgument(line, application);
  for (const std::string& a : args) {
    if (!Widen(a, arg)) return run;
    AppendArgument(line, arg);
  }

  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  const std::wstring pipe_name = PipeName();
  Handle child_in(::CreateNamedPipeW(pipe_name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                     PIPE_TYPE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, 1u << 16, 0,
                                     &inheritable));
  if (!child_in.ok()) return run;
  Handle input_end(::CreateFileW(pipe_name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
  if (!input_end.ok()) return run;
  Handle nul(::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING,
                           0, nullptr));
  if (!nul.ok()) return run;
  std::vector<HANDLE> inherited{child_in.get(), nul.get()};
  const InheritedHandles attributes(inherited);
  if (attributes.get() == nullptr) return run;

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = child_in.get();
  startup.StartupInfo.hStdOutput = nul.get();
  startup.StartupInfo.hStdError = nul.get();
  startup.lpAttributeList = attributes.get();
  DWORD flags = EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT;
  // Without a console of ours (a web server's child) a console program
  // would get a window of its own.
  if (::GetConsoleWindow() == nullptr) flags |= CREATE_NO_WINDOW;
  std::wstring environment = MinimalEnvironment();
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE, flags, environment.data(),
                        nullptr, &startup.StartupInfo, &info)) {
    return run;
  }
  run.started = true;
  const Handle process(info.hProcess), thread(info.hThread);
  // Only the child may hold its end now, so its end going tells here that
  // it stopped reading.
  child_in.Close();
  const Clock::time_point run_start = Clock::now();
  const Clock::time_point deadline = run_start + std::chrono::milliseconds(timeout_ms);
  run.input_taken = WriteInput(input_end.get(), process.get(), input, deadline);
  input_end.Close();

  if (run.input_taken && detach_after_ms >= 0 && detach_after_ms < timeout_ms) {
    const Clock::time_point detach = run_start + std::chrono::milliseconds(detach_after_ms);
    if (::WaitForSingleObject(process.get(), MillisecondsLeft(detach)) == WAIT_TIMEOUT) {
      run.detached = true;  // its handles close here; the program runs on
      return run;
    }
  }
  const DWORD waited = ::WaitForSingleObject(process.get(), MillisecondsLeft(deadline));
  if (waited == WAIT_TIMEOUT) {
    ::TerminateProcess(process.get(), 1);
    // Termination completes asynchronously; a child stuck in a network
    // drive's I/O is not waited for long.
    ::WaitForSingleObject(process.get(), 5000);
    run.timed_out = true;
    return run;
  }
  DWORD code = 0;
  if (waited == WAIT_OBJECT_0 && ::GetExitCodeProcess(process.get(), &code)) run.exit_code = static_cast<int>(code);
  return run;
}

// Windows copies no process: the program runs there as CGI only, one
// process per request, so a caller that does its work itself holds up no
// one else's request.
bool StartDetached(const std::function<void()>& /*work*/) { return false; }

}  // namespace platform
