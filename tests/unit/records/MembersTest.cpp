#include "records/Members.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "PipelineTestSupport.h"

namespace {

using namespace pipeline_test;

TEST(MembersUsableName, RefusesWhatCouldLeaveTheDirectory) {
  EXPECT_TRUE(records::IsUsableName("alice"));
  EXPECT_TRUE(records::IsUsableName(""));
  EXPECT_TRUE(records::IsUsableName(".."));  // becomes "...txt", still inside
  EXPECT_TRUE(records::IsUsableName("a&amp;b"));
  EXPECT_FALSE(records::IsUsableName("../x"));
  EXPECT_FALSE(records::IsUsableName("a/b"));
  EXPECT_FALSE(records::IsUsableName("/etc/passwd"));
  EXPECT_FALSE(records::IsUsableName("a\\b"));
  EXPECT_FALSE(records::IsUsableName("a\\"));
  EXPECT_FALSE(records::IsUsableName(std::string_view("a\0b", 3)));
  EXPECT_FALSE(records::IsUsableName("a\rb"));
  EXPECT_FALSE(records::IsUsableName("a\nb"));
}

TEST(MembersUsableName, SecondByteBackslashIsPartOfTheCharacter) {
  // 表示: the first character is 0x95 0x5C.
  EXPECT_TRUE(records::IsUsableName("\x95\x5C\x8E\xA6"));
  EXPECT_TRUE(records::IsUsableName("x\x95\x5C"));
  // After a complete double-byte character a "\" is a delimiter again.
  EXPECT_FALSE(records::IsUsableName("\x95\x5C\\"));
  // A lead byte cannot hide a "/" or NUL: the file system splits at them anyway.
  EXPECT_FALSE(records::IsUsableName("\x95/etc"));
  EXPECT_FALSE(records::IsUsableName(std::string_view("\x95\0", 2)));
  EXPECT_FALSE(records::IsUsableName("\x95\n"));
}

TEST(MembersRecordPath, AddsOneDelimiter) {
  EXPECT_EQ(records::MemberRecordPath("/m", "alice"), "/m/alice.txt");
  EXPECT_EQ(records::MemberRecordPath("/m/", "alice"), "/m/alice.txt");
  EXPECT_EQ(records::MemberRecordPath("/m/", ""), "/m/.txt");
}

class MembersRecords : public ::testing::Test {
 protected:
  std::string Members() const { return dir_.Path("members/"); }
  void Record(std::string_view id, std::string_view bytes) const { WriteBytes(Members() + std::string(id) + ".txt", bytes); }
  std::string Stored(std::string_view id) const { return ReadBytes(Members() + std::string(id) + ".txt"); }
  ScratchDir dir_;
};

TEST_F(MembersRecords, CheckPasswordResults) {
  Record("alice", "id=alice\r\npw=Secret\r\n");
  EXPECT_EQ(records::CheckMemberPassword(Members(), "alice", "Secret"), 0);
  EXPECT_EQ(records::CheckMemberPassword(Members(), "alice", "secret"), 1);
  EXPECT_EQ(records::CheckMemberPassword(Members(), "alice", "Secret "), 1);
  EXPECT_EQ(records::CheckMemberPassword(Members(), "bob", "Secret"), 2);
  // The directory may come without its delimiter.
  EXPECT_EQ(records::CheckMemberPassword(dir_.Path("members"), "alice", "Secret"), 0);
}

TEST_F(MembersRecords, CheckPasswordEdgeRecords) {
  Record("nopw", "id=nopw\r\n");
  EXPECT_EQ(records::CheckMemberPassword(Members(), "nopw", ""), 0);
  EXPECT_EQ(records::CheckMemberPassword(Members(), "nopw", "x"), 1);
  Record("two", "PW=first\npw=second\n");
  EXPECT_EQ(records::CheckMemberPassword(Members(), "two", "first"), 0);
  EXPECT_EQ(records::CheckMemberPassword(Members(), "two", "second"), 1);
  std::filesystem::create_directories(Members() + "dir.txt");  // a directory is no record
  EXPECT_EQ(records::CheckMemberPassword(Members(), "dir", ""), 2);
  Record("\x95\x5C\x8E\xA6", "pw=hyouji\r\n");
  EXPECT_EQ(records::CheckMemberPassword(Members(), "\x95\x5C\x8E\xA6", "hyouji"), 0);
}

TEST_F(MembersRecords, UnusableIdIsNoRecordEvenWhenTheFileExists) {
  WriteBytes(dir_.Path("outside.txt"), "pw=x\r\n");
  Record("a\\b", "pw=x\r\n");
  EXPECT_EQ(records::CheckMemberPassword(Members(), "../outside", "x"), 2);
  EXPECT_EQ(records::CheckMemberPassword(Members(), "a\\b", "x"), 2);
  EXPECT_EQ(records::ChangeMemberPassword(Members(), "../outside", "x", "hacked"), records::UpdateResult::kRefused);
  EXPECT_EQ(records::ChangeMemberPassword(Members(), "a\\b", "x", "hacked"), records::UpdateResult::kRefused);
  EXPECT_EQ(ReadBytes(dir_.Path("outside.txt")), "pw=x\r\n");
  EXPECT_EQ(Stored("a\\b"), "pw=x\r\n");
}

TEST_F(MembersRecords, ChangePasswordRewritesFirstPwLineInPlace) {
  Record("alice", "id=alice\npw=old\nno equals sign\nPW=other\nmail=a@b");
  EXPECT_EQ(records::ChangeMemberPassword(Members(), "alice", "old", "newpass"), records::UpdateResult::kSaved);
  EXPECT_EQ(Stored("alice"), "id=alice\r\npw=newpass\r\nno equals sign\r\nPW=other\r\nmail=a@b\r\n");
  EXPECT_EQ(records::CheckMemberPassword(Members(), "alice", "newpass"), 0);
  // Only record files and the hidden lock file are in the directory.
  for (const auto& name : FilesBelow(Members())) {
    EXPECT_TRUE(name == "alice.txt" || name[0] == '.') << name;
  }
}

TEST_F(MembersRecords, ChangePasswordAppendsMissingPwLine) {
  Record("nopw", "id=nopw\r\n");
  EXPECT_EQ(records::ChangeMemberPassword(Members(), "nopw", "", "fresh"), records::UpdateResult::kSaved);
  EXPECT_EQ(Stored("nopw"), "id=nopw\r\npw=fresh\r\n");
}

TEST_F(MembersRecords, FailedChangeLeavesRecordUntouched) {
  const std::string bytes = "id=alice\npw=old\n";
  Record("alice", bytes);
  EXPECT_EQ(records::ChangeMemberPassword(Members(), "alice", "Old", "newpass"), records::UpdateResult::kRefused);
  EXPECT_EQ(Stored("alice"), bytes);
  EXPECT_EQ(records::ChangeMemberPassword(Members(), "bob", "old", "newpass"), records::UpdateResult::kRefused);
  EXPECT_EQ(Stored("bob"), "<missing>");
}

TEST_F(MembersRecords, ChangeWaitsForTheDirectoryLock) {
  Record("alice", "pw=old\r\n");
  std::atomic<bool> done{false};
  std::thread changer;
  {
    const platform::FileLock held = records::LockMembersDirectory(Members());
    changer = std::thread([&] {
      EXPECT_EQ(records::ChangeMemberPassword(Members(), "alice", "old", "newpass"), records::UpdateResult::kSaved);
      done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_FALSE(done.load());
    EXPECT_EQ(Stored("alice"), "pw=old\r\n");
  }
  changer.join();
  EXPECT_TRUE(done.load());
  EXPECT_EQ(Stored("alice"), "pw=newpass\r\n");
}

}  // namespace
