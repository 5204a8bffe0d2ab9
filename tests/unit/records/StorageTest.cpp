#include "records/Storage.h"

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
  EXPECT_EQ(records::FormatDay(At(9, 5, 3, 42)), "20261207");
  EXPECT_EQ(records::FormatStamp(At(9, 5, 3, 42)), "20261207-090503-042");
  EXPECT_EQ(records::FormatLogTime(At(9, 5, 3, 42)), "20261207-09:05:03");
  EXPECT_EQ(records::FormatStamp(At(12, 55, 32, 42)), "20261207-125532-042");
  platform::LocalTime early = At(0, 0, 0, 0);
  early.year = 987;
  early.month = 1;
  early.day = 2;
  EXPECT_EQ(records::FormatStamp(early), "09870102-000000-000");
  EXPECT_EQ(records::FormatLogTime(At(23, 59, 59, 999)), "20261207-23:59:59");
}

TEST(StorageWholeFiles, WriteReplacesAndReadsBack) {
  ScratchDir dir;
  const std::string path = dir.Path("a.txt");
  records::WriteFileText(std::string_view("x\0y\r\n", 5), path);
  EXPECT_EQ(ReadBytes(path), std::string("x\0y\r\n", 5));
  records::WriteFileText("", path);
  EXPECT_EQ(ReadBytes(path), "");
  std::string text = "stale";
  records::ReadFileText(path, text);
  EXPECT_EQ(text, "");
  records::WriteFileText("new", path);
  records::ReadFileText(path, text);
  EXPECT_EQ(text, "new");
  EXPECT_EQ(FilesBelow(dir.Dir()), std::vector<std::string>{"a.txt"});  // no temporary left behind
  EXPECT_THROW(records::ReadFileText(dir.Path("missing.txt"), text), platform::EFOpenError);
  EXPECT_THROW(records::WriteFileText("x", dir.Path("nodir/a.txt")), platform::EFCreateError);
}

TEST(StorageWholeFiles, CreateNeverReplaces) {
  ScratchDir dir;
  const std::string path = dir.Path("c.txt");
  EXPECT_TRUE(records::CreateFileText("first", path));
  EXPECT_FALSE(records::CreateFileText("second", path));
  EXPECT_EQ(ReadBytes(path), "first");
}

TEST(StorageDump, CreatesDayDirectoryWithParentsAndKeepsBodyBytes) {
  ScratchDir dir;
  const std::string body("--b\r\n\x82\xa0\0end", 11);
  // The dump root written without a trailing delimiter, two levels missing.
  records::WriteDump(dir.Path("dumps/deep"), "20261207", "20261207-125532-042", body);
  EXPECT_EQ(FilesBelow(dir.Dir()), std::vector<std::string>{"dumps/deep/20261207/20261207-125532-042.txt"});
  EXPECT_EQ(ReadBytes(dir.Path("dumps/deep/20261207/20261207-125532-042.txt")), body);
  records::WriteDump(dir.Path("dumps/deep/"), "20261208", "20261208-000000-001", "");
  EXPECT_EQ(ReadBytes(dir.Path("dumps/deep/20261208/20261208-000000-001.txt")), "");
}

TEST(StorageDump, SameMillisecondGetsNumberedNames) {
  ScratchDir dir;
  const std::string stamp = "20261207-125532-042";
  records::WriteDump(dir.Dir(), "20261207", stamp, "one");
  records::WriteDump(dir.Dir(), "20261207", stamp, "two");
  records::WriteDump(dir.Dir(), "20261207", stamp, "three");
  const std::string day = dir.Path("20261207/");
  EXPECT_EQ(FilesBelow(day), (std::vector<std::string>{stamp + "-1.txt", stamp + "-2.txt", stamp + ".txt"}));
  EXPECT_EQ(ReadBytes(day + stamp + ".txt"), "one");
  EXPECT_EQ(ReadBytes(day + stamp + "-1.txt"), "two");
  EXPECT_EQ(ReadBytes(day + stamp + "-2.txt"), "three");
}

TEST(StorageDump, UncreatableDirectoryRaisesCreateError) {
  ScratchDir dir;
  WriteBytes(dir.Path("file"), "x");  // a file where the dump root should be
  EXPECT_THROW(records::WriteDump(dir.Path("file"), "20261207", "s", "body"), platform::EFCreateError);
}

TEST(StorageErrorLog, HoldsOnlyTheLastEntry) {
  ProgramDirFiles files;
  const std::string day_before = records::FormatDay(platform::Now());
  records::LogError("first");
  records::LogError("sessiondb error");
  const std::string day_after = records::FormatDay(platform::Now());
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
    records::LogError("sessiondb error");
    FAIL() << "no error raised";
  } catch (const platform::EInOutError& e) {
    EXPECT_EQ(e.ErrorCode(), 103);
  }
}

TEST(FailedLoginLine, KeepsEveryValueOnItsLineAndInItsField) {
  const platform::LocalTime t{2026, 12, 8, 23, 10, 1, 456};
  const std::string head = "2026-12-08 23:10:01 orvalengate failed login from ";
  const struct {
    std::string addr, session, command, id, line;
  } rows[] = {
      {"203.0.113.7", "s1", "changepw", "alice", "203.0.113.7 session=s1 command=changepw id=alice\n"},
      {"2001:db8::7%eth0", "s1", "postleaf", "", "2001:db8::7%eth0 session=s1 command=postleaf id=\n"},
      // An address that is not plainly one is written as "-".
      {"", "s1", "changepw", "a", "- session=s1 command=changepw id=a\n"},
      {"1.2.3.4 session=x", "s1", "changepw", "a", "- session=s1 command=changepw id=a\n"},
      {std::string(65, '1'), "s1", "changepw", "a", "- session=s1 command=changepw id=a\n"},
      // Bytes that could end the line or start another field.
      {"192.0.2.1", "s 1", "changeprof2", std::string("a b\tc%\r\n\x7f\x01", 10),
       "192.0.2.1 session=s%201 command=changeprof2 id=a%20b%09c%25%0D%0A%7F%01\n"},
      // A lead byte without its trail byte is no character: what follows it
      // is escaped as ever, and so is the lone byte.
      {"192.0.2.1", "s\x81 1", "changepw", std::string("a\x81\nb\x81\0c\x81", 8),
       "192.0.2.1 session=s%81%201 command=changepw id=a%81%0Ab%81%00c%81\n"},
      // The edges of the trail bytes: 0x40 and 0xFC are, 0x3F, 0x7F (DEL)
      // and 0xFD are not.
      {"192.0.2.1", "s1", "changepw", "\x81\x40\x81\x3f\x81\x7f\x81\xfc\x81\xfd",
       "192.0.2.1 session=s1 command=changepw id=\x81\x40%81?%81%7F\x81\xfc%81\xfd\n"},
      // Shift_JIS stays as stored: 表 ends in the byte of "\".
      {"192.0.2.1", "s1", "changeprof1", "\x95\x5c&nbsp;x", "192.0.2.1 session=s1 command=changeprof1 id=\x95\x5c&nbsp;x\n"},
      // Cut at 256 bytes, never inside a character.
      {"192.0.2.1", "s1", "changepw", std::string(300, 'x'),
       "192.0.2.1 session=s1 command=changepw id=" + std::string(256, 'x') + "\n"},
      {"192.0.2.1", "s1", "changepw", std::string(255, 'x') + "\x95\x5c",
       "192.0.2.1 session=s1 command=changepw id=" + std::string(255, 'x') + "\n"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(records::FailedLoginLine(t, row.addr, row.session, row.command, row.id), head + row.line) << row.id;
  }
}

TEST(ActivityLine, TheFailedLoginLinesRulesAndTheFileOfAPost) {
  const platform::LocalTime t{2026, 12, 8, 23, 10, 1, 456};
  const std::string head = "2026-12-08 23:10:01 orvalengate ";
  EXPECT_EQ(records::ActivityLine(t, "192.0.2.1", "s1", "registration", "alice", "registered"),
            head + "registered from 192.0.2.1 session=s1 command=registration id=alice\n");
  EXPECT_EQ(records::ActivityLine(t, "192.0.2.1", "s 1", "postleaf", "a\nb", "posted", "img0001.jpg"),
            head + "posted from 192.0.2.1 session=s%201 command=postleaf id=a%0Ab file=img0001.jpg\n");
  // A stored name is the program's own, but the rules hold for it too.
  EXPECT_EQ(records::ActivityLine(t, "x y", "s1", "postleaf", "a", "posted", "n\r\n% 1.jpg"),
            head + "posted from - session=s1 command=postleaf id=a file=n%0D%0A%25%201.jpg\n");
  EXPECT_EQ(records::LogField("s 1%"), "s%201%25");
}

}  // namespace
