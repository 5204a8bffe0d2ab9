// The mail program's stand-in under Wine. Appends to the file beside it,
// named like it with ".txt": its arguments as CommandLineToArgvW splits
// them (CP932, one a line), the names in its environment, and its whole
// input; exits with the number of its arguments that are no options nor
// an option's value (0 for a mail program's "-t -i -f FROM"). "--hang" first: it never
// reads and never ends; "--held=HANDLE" first: "held" when that handle of
// the starting process reached it.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <cstdlib>
#include <string>

static std::string Narrow(std::wstring_view w) {
  std::string out(w.size() * 2, '\0');
  out.resize(static_cast<std::size_t>(::WideCharToMultiByte(932, 0, w.data(), static_cast<int>(w.size()),
                                                            out.data(), static_cast<int>(out.size()), nullptr, nullptr)));
  return out;
}

int main() {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (argc > 1 && std::wstring_view(argv[1]) == L"--hang") ::Sleep(INFINITE);
  std::string out;
  for (int i = 1; i < argc; ++i) out += Narrow(argv[i]) + "\n";
  if (argc > 1 && std::wstring_view(argv[1]).starts_with(L"--held=")) {
    const auto held = reinterpret_cast<HANDLE>(std::wcstoull(argv[1] + 7, nullptr, 10));
    if (::GetFileType(held) == FILE_TYPE_DISK) out += "held\n";
  }
  for (const wchar_t* v = ::GetEnvironmentStringsW(); *v != L'\0'; v += std::wcslen(v) + 1) {
    out += Narrow(std::wstring_view(v).substr(0, std::wstring_view(v).find(L'=', 1))) + " ";
  }
  out += "\n";
  char buf[4096];
  DWORD n = 0;
  while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
  wchar_t path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wcscpy(path + length - 3, L"txt");
  const HANDLE file = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
  ::WriteFile(file, out.data(), static_cast<DWORD>(out.size()), &n, nullptr);
  int operands = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::wstring_view(argv[i]) == L"-f") ++i;  // the envelope sender, the option's value
    else operands += argv[i][0] != L'-' ? 1 : 0;
  }
  return operands;
}
