// A fresh directory for each test, removed afterwards, with the whole-file
// helpers the tests of file-handling code keep needing.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

class ScratchDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (std::filesystem::temp_directory_path() / "orvalengate-unit-XXXXXX").string();
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    dir_ = templ + "/";
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  void Write(const std::string& name, std::string_view bytes = "x") const {
    std::ofstream out(dir_ + name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  // The file's bytes; "<missing>" when there is no such file.
  std::string Read(const std::string& name) const {
    std::ifstream in(dir_ + name, std::ios::binary);
    if (!in) return "<missing>";
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Names in the directory, sorted; hidden lock and temporary files left out.
  std::vector<std::string> Names() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) {
      const std::string name = e.path().filename().string();
      if (name[0] != '.') out.push_back(name);
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  std::string dir_;  // ends with "/"
};
