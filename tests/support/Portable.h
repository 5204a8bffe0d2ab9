// What the unit tests of the lower libraries need from the OS, written once
// so that they build for Linux and, cross-compiled, for Windows alike.
#pragma once

#include <stdlib.h>
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#undef ReplaceFile
#endif

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace testing_os {

// A fresh directory, removed with everything in it when the object goes.
// create_directory makes it only if the name is free, as mkdtemp would.
class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "orvalengate-unit-") {
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    std::random_device random;
    for (int attempt = 0; attempt < 100 && dir_.empty(); ++attempt) {
      const std::filesystem::path candidate = base / (std::string(prefix) + std::to_string(random()));
      std::error_code ec;
      if (std::filesystem::create_directory(candidate, ec)) dir_ = candidate.string();
    }
    if (dir_.empty()) throw std::runtime_error("no temporary directory could be made");
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  // "/" joins on Windows too, as the program itself joins paths.
  std::string operator/(const std::string& name) const { return dir_ + "/" + name; }
  // Every name in the directory, hidden ones too, sorted.
  std::vector<std::string> Names() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  std::string dir_;
};

// A file held open for reading while it is replaced, opened as the
// program's own readers open it. On Windows that is with read, write and
// delete sharing: a reader of the C runtime (std::ifstream) shares no
// delete, and Windows refuses to replace the file while it is open.
class HeldReader {
 public:
  explicit HeldReader(const std::string& path) {
#ifdef _WIN32
    handle_ = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
#else
    in_.open(path, std::ios::binary);
#endif
  }
  HeldReader(const HeldReader&) = delete;
  HeldReader& operator=(const HeldReader&) = delete;
  ~HeldReader() {
#ifdef _WIN32
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
#endif
  }
  // Every byte from here to the end; "<not open>" when the open failed.
  std::string Rest() {
#ifdef _WIN32
    if (handle_ == INVALID_HANDLE_VALUE) return "<not open>";
    std::string out;
    char buf[4096];
    DWORD n = 0;
    while (::ReadFile(handle_, buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
    return out;
#else
    if (!in_) return "<not open>";
    return std::string(std::istreambuf_iterator<char>(in_), {});
#endif
  }

 private:
#ifdef _WIN32
  HANDLE handle_;
#else
  std::ifstream in_;
#endif
};

inline void SetEnv(const char* name, const std::string& value) {
#ifdef _WIN32
  ::_putenv_s(name, value.c_str());
#else
  ::setenv(name, value.c_str(), 1);
#endif
}

inline void UnsetEnv(const char* name) {
#ifdef _WIN32
  ::_putenv_s(name, "");  // an empty value removes the variable there
#else
  ::unsetenv(name);
#endif
}

}  // namespace testing_os
