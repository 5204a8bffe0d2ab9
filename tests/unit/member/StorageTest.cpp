#include "member/Storage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "PipelineTestSupport.h"
#include "platform/Exception.h"

namespace {

using namespace pipeline_test;

platform::LocalTime At(int h, int mi, int s, int ms) {
  platform::LocalTime t;
  t.year = 2026;
  t.month = 12;
  t.day = 7;
  t.hour = h;
  t.minute = mi;
  t.second = s;
  t.millisecond = ms;
  return t;
}

TEST(StorageTimeFormats, PadEveryField) {
  EXPECT_EQ(member::FormatDay(At(9, 5, 3, 42)), "20261207");
  EXPECT_EQ(member::FormatStamp(At(9, 5, 3, 42)), "20261207-090503-042");
  EXPECT_EQ(member::FormatLogTime(At(9, 5, 3, 42)), "20261207-09:05:03");
  EXPECT_EQ(member::FormatStamp(At(12, 55, 32, 42)), "20261207-125532-042");
  platform::LocalTime early = At(0, 0, 0, 0);
  early.year = 987;
  early.month = 1;
  early.day = 2;
  EXPECT_EQ(member::FormatStamp(early), "09870102-000000-000");
  EXPECT_EQ(member::FormatLogTime(At(23, 59, 59, 999)), "20261207-23:59:59");
}

TEST(StorageWholeFiles, WriteReplacesAndReadsBack) {
  ScratchDir dir;
  const std::string path = dir.Path("a.txt");
  member::WriteFileText(std::string_view("x\0y\r\n", 5), path);
  EXPECT_EQ(ReadBytes(path), std::string("x\0y\r\n", 5));
  member::WriteFileText("", path);
  EXPECT_EQ(ReadBytes(path), "");
  std::string text = "stale";
  member::ReadFileText(path, text);
  EXPECT_EQ(text, "");
  member::WriteFileText("new", path);
  member::ReadFileText(path, text);
  EXPECT_EQ(text, "new");
  EXPECT_EQ(FilesBelow(dir.Dir()), std::vector<std::string>{"a.txt"});  // no temporary left behind
  EXPECT_THROW(member::ReadFileText(dir.Path("missing.txt"), text), platform::EFOpenError);
  EXPECT_THROW(member::WriteFileText("x", dir.Path("nodir/a.txt")), platform::EFCreateError);
}

TEST(StorageWholeFiles, CreateNeverReplaces) {
  ScratchDir dir;
  const std::string path = dir.Path("c.txt");
  EXPECT_TRUE(member::CreateFileText("first", path));
  EXPECT_FALSE(member::CreateFileText("second", path));
  EXPECT_EQ(ReadBytes(path), "first");
}

TEST(StorageDump, CreatesDayDirectoryWithParentsAndKeepsBodyBytes) {
  ScratchDir dir;
  const std::string body("--b\r\n\x82\xa0\0end", 11);
  // The dump root written without a trailing delimiter, two levels missing.
  member::WriteDump(dir.Path("dumps/deep"), "20261207", "20261207-125532-042", body);
  EXPECT_EQ(FilesBelow(dir.Dir()), std::vector<std::string>{"dumps/deep/20261207/20261207-125532-042.txt"});
  EXPECT_EQ(ReadBytes(dir.Path("dumps/deep/20261207/20261207-125532-042.txt")), body);
  member::WriteDump(dir.Path("dumps/deep/"), "20261208", "20261208-000000-001", "");
  EXPECT_EQ(ReadBytes(dir.Path("dumps/deep/20261208/20261208-000000-001.txt")), "");
}

TEST(StorageDump, SameMillisecondGetsNumberedNames) {
  ScratchDir dir;
  const std::string stamp = "20261207-125532-042";
  member::WriteDump(dir.Dir(), "20261207", stamp, "one");
  member::WriteDump(dir.Dir(), "20261207", stamp, "two");
  member::WriteDump(dir.Dir(), "20261207", stamp, "three");
  const std::string day = dir.Path("20261207/");
  EXPECT_EQ(FilesBelow(day), (std::vector<std::string>{stamp + "-1.txt", stamp + "-2.txt", stamp + ".txt"}));
  EXPECT_EQ(ReadBytes(day + stamp + ".txt"), "one");
  EXPECT_EQ(ReadBytes(day + stamp + "-1.txt"), "two");
  EXPECT_EQ(ReadBytes(day + stamp + "-2.txt"), "three");
}

TEST(StorageDump, UncreatableDirectoryRaisesCreateError) {
  ScratchDir dir;
  WriteBytes(dir.Path("file"), "x");  // a file where the dump root should be
  EXPECT_THROW(member::WriteDump(dir.Path("file"), "20261207", "s", "body"), platform::EFCreateError);
}

TEST(StorageErrorLog, HoldsOnlyTheLastEntry) {
  ProgramDirFiles files;
  const std::string day_before = member::FormatDay(platform::Now());
  member::LogError("first");
  member::LogError("sessiondb error");
  const std::string day_after = member::FormatDay(platform::Now());
  const std::string log = ReadBytes(files.ErrorLog());
  // "yyyymmdd-hh:mm:ss" CR LF message CR LF, nothing else.
  ASSERT_EQ(log.size(), 17u + 2u + 15u + 2u) << log;
  EXPECT_EQ(log.substr(17), "\r\nsessiondb error\r\n");
  EXPECT_EQ(log[8], '-');
  EXPECT_EQ(log[11], ':');
  EXPECT_EQ(log[14], ':');
  EXPECT_TRUE(log.compare(0, 8, day_before) == 0 || log.compare(0, 8, day_after) == 0) << log;
}

TEST(StorageErrorLog, LogThatCannotBeCreatedIsInOutError103) {
  ProgramDirFiles files;
  std::filesystem::create_directory(files.ErrorLog());  // a directory cannot be replaced by a file
  try {
    member::LogError("sessiondb error");
    FAIL() << "no error raised";
  } catch (const platform::EInOutError& e) {
    EXPECT_EQ(e.ErrorCode(), 103);
  }
}

}  // namespace
