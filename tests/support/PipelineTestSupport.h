// Helpers for the pipeline, page, storage, record and configuration tests: a
// scratch directory per test, whole-file helpers, and a guard for the files
// beside the test executable (config.txt, error.txt), which every test
// process of this executable shares.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Files.h"
#include "records/Storage.h"

namespace pipeline_test {

namespace fs = std::filesystem;

class ScratchDir {
 public:
  ScratchDir() {
    std::string templ = (fs::temp_directory_path() / "orvalengate-member-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = templ + "/";
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // Ends with "/".
  const std::string& Dir() const { return dir_; }
  std::string Path(std::string_view rel) const { return dir_ + std::string(rel); }

 private:
  std::string dir_;
};

inline void WriteBytes(const std::string& path, std::string_view bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every regular file below dir, relative to it, sorted.
inline std::vector<std::string> FilesBelow(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file()) out.push_back(fs::relative(e.path(), dir).string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Serialises the tests that use config.txt or error.txt beside the test
// executable, and removes both when the test ends.
class ProgramDirFiles {
 public:
  ProgramDirFiles() : lock_(platform::FileLock::Acquire(records::ProgramDir() + ".member-tests.lock")) { Clean(); }
  ~ProgramDirFiles() { Clean(); }
  ProgramDirFiles(const ProgramDirFiles&) = delete;
  ProgramDirFiles& operator=(const ProgramDirFiles&) = delete;

  std::string Config() const { return records::ProgramDir() + "config.txt"; }
  std::string ErrorLog() const { return records::ProgramDir() + "error.txt"; }

 private:
  void Clean() {
    std::error_code ec;
    fs::remove_all(Config(), ec);
    fs::remove_all(ErrorLog(), ec);
  }
  platform::FileLock lock_;
};

}  // namespace pipeline_test
