#include <gtest/gtest.h>

#include <string>

#include "PipelineTestSupport.h"
#include "member/WebModule1.h"
#include "records/Storage.h"

namespace {

using namespace pipeline_test;

TEST(ProgramDirectory, IsTheExecutablesDirectoryWithDelimiter) {
  const std::string dir = records::ProgramDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '/');
  EXPECT_TRUE(std::filesystem::is_regular_file(dir + "member_tests")) << dir;
}

class ConfigTest : public ::testing::Test {
 protected:
  void Config(std::string_view bytes) const { WriteBytes(files_.Config(), bytes); }
  ProgramDirFiles files_;
  ScratchDir dir_;
  member::TWebModule1 module_;
};

TEST_F(ConfigTest, NoConfigFileLeavesBothEmpty) {
  module_.SessionDb = "stale/";
  module_.DumpPath = "stale/";
  module_.AuthLog = "stale";
  module_.LoadConfig();
  EXPECT_EQ(module_.SessionDb, "");
  EXPECT_EQ(module_.DumpPath, "");
  EXPECT_EQ(module_.AuthLog, "");
}

TEST_F(ConfigTest, DirectoriesGetOneDelimiter) {
  std::filesystem::create_directories(dir_.Path("sessions"));
  std::filesystem::create_directories(dir_.Path("dumps"));
  Config("sessiondb=" + dir_.Path("sessions") + "\r\ndumppath=" + dir_.Path("dumps/") + "\r\n");
  module_.LoadConfig();
  EXPECT_EQ(module_.SessionDb, dir_.Path("sessions/"));
  EXPECT_EQ(module_.DumpPath, dir_.Path("dumps/"));
}

TEST_F(ConfigTest, KeyCaseIgnoredBlanksAndFirstLineCount) {
  std::filesystem::create_directories(dir_.Path("s"));
  Config("SessionDB=" + dir_.Path("s") + "\n");
  module_.LoadConfig();
  EXPECT_EQ(module_.SessionDb, dir_.Path("s/"));
  EXPECT_EQ(module_.DumpPath, "");  // no dumppath line: nothing is dumped

  Config(" sessiondb=" + dir_.Path("s") + "\n");
  module_.LoadConfig();
  EXPECT_EQ(module_.SessionDb, "");

  // The first line names a missing directory; the second is never looked at.
  Config("sessiondb=" + dir_.Path("missing") + "\nsessiondb=" + dir_.Path("s") + "\n");
  module_.LoadConfig();
  EXPECT_EQ(module_.SessionDb, "");

  WriteBytes(dir_.Path("plainfile"), "x");
  Config("sessiondb=" + dir_.Path("s") + "\ndumppath=" + dir_.Path("plainfile") + "\n");
  module_.LoadConfig();
  EXPECT_EQ(module_.SessionDb, dir_.Path("s/"));
  EXPECT_EQ(module_.DumpPath, "");
}

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() {
    std::filesystem::create_directories(dir_.Path("sessions"));
    std::filesystem::create_directories(dir_.Path("upload"));
    std::filesystem::create_directories(dir_.Path("members"));
    module_.SessionDb = dir_.Path("sessions/");
  }
  void Settings(std::string_view name, std::string_view bytes) const {
    WriteBytes(dir_.Path("sessions/") + std::string(name) + ".txt", bytes);
  }
  void ExpectNothingLoaded() const {
    EXPECT_EQ(module_.UploadPath, "");
    EXPECT_EQ(module_.MembersDb, "");
    EXPECT_EQ(module_.NameOrder, "");
    EXPECT_EQ(module_.FileNameTemplate, "");
    EXPECT_EQ(module_.FileNameCounter, "");
    EXPECT_EQ(module_.DefaultImgFile, "");
    EXPECT_EQ(module_.Passwords, credentials::PasswordStorage::kClear);
  }
  ScratchDir dir_;
  member::TWebModule1 module_;
};

TEST_F(SessionTest, LoadsEveryKey) {
  Settings("s1", "PATH=" + dir_.Path("upload") + "\r\nmembersdb=" + dir_.Path("members/") +
                     "\r\nnameorder=Num3D\r\nfilenametemplate=img###\r\nFileNameCounter=c.txt\r\n"
                     "DefaultImgFile=d.jpg\r\npasswordhash=argon2id\r\nother=1\r\n");
  module_.LoadSession("s1");
  EXPECT_EQ(module_.UploadPath, dir_.Path("upload/"));
  EXPECT_EQ(module_.MembersDb, dir_.Path("members/"));
  EXPECT_EQ(module_.NameOrder, "Num3D");  // the value keeps its case
  EXPECT_EQ(module_.FileNameTemplate, "img###");
  EXPECT_EQ(module_.FileNameCounter, "c.txt");
  EXPECT_EQ(module_.DefaultImgFile, "d.jpg");
  EXPECT_EQ(module_.Passwords, credentials::PasswordStorage::kArgon2id);
}

TEST_F(SessionTest, EachLoadStartsAfresh) {
  Settings("full", "path=" + dir_.Path("upload") + "\r\nmembersdb=" + dir_.Path("members") +
                       "\r\nnameorder=num3d\r\nFileNameTemplate=t#\r\nFileNameCounter=c\r\nDefaultImgFile=d\r\n"
                       "PasswordHash=argon2id\r\n");
  Settings("partial", "path=" + dir_.Path("upload") + "\r\nmembersdb=" + dir_.Path("nowhere") + "\r\nnameorder=\r\n");
  module_.LoadSession("full");
  module_.LoadSession("partial");
  EXPECT_EQ(module_.Passwords, credentials::PasswordStorage::kClear);
  EXPECT_EQ(module_.UploadPath, dir_.Path("upload/"));
  EXPECT_EQ(module_.MembersDb, "");
  EXPECT_EQ(module_.NameOrder, "");
  EXPECT_EQ(module_.DefaultImgFile, "");
  module_.LoadSession("missing");
  ExpectNothingLoaded();
}

TEST_F(SessionTest, EmptyNameReadsDotTxt) {
  Settings("", "path=" + dir_.Path("upload") + "\r\n");
  module_.LoadSession("");
  EXPECT_EQ(module_.UploadPath, dir_.Path("upload/"));
}

TEST_F(SessionTest, NamesThatLeaveTheDirectoryLoadNothing) {
  const std::string settings = "path=" + dir_.Path("upload") + "\r\nmembersdb=" + dir_.Path("members") + "\r\n";
  WriteBytes(dir_.Path("x.txt"), settings);
  Settings("a\\b", settings);
  module_.LoadSession("../x");
  ExpectNothingLoaded();
  module_.LoadSession("a\\b");
  ExpectNothingLoaded();
  WriteBytes(dir_.Path("sessions/a"), settings);  // what a path cut at the NUL would name
  module_.LoadSession(std::string_view("a\0", 2));
  ExpectNothingLoaded();
  Settings("\x95\x5C\x8E\xA6", settings);
  module_.LoadSession("\x95\x5C\x8E\xA6");
  EXPECT_EQ(module_.UploadPath, dir_.Path("upload/"));
}

}  // namespace
