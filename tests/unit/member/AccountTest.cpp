// The account commands on a module of their own: every check in its order,
// the record registration writes, and that a failed check writes nothing.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "MemberTexts.h"
#include "ScratchDir.h"
#include "member/WebModule1.h"
#include "pages/Pages.h"
#include "platform/System.h"
#include "records/Maintenance.h"
#include "records/Members.h"
#include "records/PostIndex.h"
#include "records/SelfService.h"

namespace {

namespace fs = std::filesystem;
namespace texts = member::texts;

class AccountCommands : public ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    module_.MembersDb = dir_;
  }
  std::string Register(const std::string& fields) {
    module_.PostedFields = fields;
    return module_.CommandRegistration();
  }
  std::string ChangePw(const std::string& fields) {
    module_.PostedFields = fields;
    return module_.CommandChangePw();
  }

  member::TWebModule1 module_;
};

TEST_F(AccountCommands, RegistrationChecksInOrder) {
  const std::string rest = "realname=R\r\nmail=m@x\r\n";
  struct Case {
    std::string fields;
    std::string_view message;
  } cases[] = {
      {"id=\r\npw=abcde\r\npw2=abcde\r\n" + rest, texts::Blank},
      {"id=u\r\npw=abcde\r\npw2=abcde\r\nrealname=R\r\n", texts::Blank},  // no mail
      {"id=u\r\npw=abcde\r\npw2=abcde\r\nmail=m\r\n", texts::Blank},      // no realname
      {"id=u\r\npw=abcde\r\n" + rest, texts::Blank},                      // no pw2
      // The comparison comes before the length check.
      {"id=u\r\npw=abc\r\npw2=abd\r\n" + rest, texts::PasswordMismatch},
      {"id=u\r\npw=abcde\r\npw2=ABCDE\r\n" + rest, texts::PasswordMismatch},
      {"id=u\r\npw=abcd\r\npw2=abcd\r\n" + rest, texts::PasswordTooShort},
      // The ID is looked at only after the passwords.
      {"id=a/b\r\npw=abcd\r\npw2=abcd\r\n" + rest, texts::PasswordTooShort},
      {"id=a/b\r\npw=abcde\r\npw2=abcde\r\n" + rest, texts::IdUnusable},
      {"id=..\\x\r\npw=abcde\r\npw2=abcde\r\n" + rest, texts::IdUnusable},
      {"id=carol<br>xyz\r\npw=abcde\r\npw2=abcde\r\n" + rest, texts::IdUnusable},
      {"id=" + std::string(252, 'a') + "\r\npw=abcde\r\npw2=abcde\r\n" + rest, texts::IdUnusable},
      // Look-alikes of "alice": blanks at either end, stored or raw.
      {"id=alice&nbsp;\r\npw=abcde\r\npw2=abcde\r\n" + rest, texts::IdBlankAtEnds},
      {"id=&nbsp;alice\r\npw=abcde\r\npw2=abcde\r\n" + rest, texts::IdBlankAtEnds},
      {"id=\talice\r\npw=abcde\r\npw2=abcde\r\n" + rest, texts::IdBlankAtEnds},
      // Checked last: a record that would outgrow the limit.
      {"id=u\r\npw=abcde\r\npw2=abcde\r\nrealname=" + std::string(65536, 'r') + "\r\nmail=m\r\n",
       texts::RecordTooLarge},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Register(c.fields), pages::ErrorPage(c.message)) << c.fields;
  }
  EXPECT_EQ(Names(), std::vector<std::string>{});
}

TEST_F(AccountCommands, RegistrationWritesFiveLines) {
  // Values stay in the escaped form the parser gave them; lengths count
  // those bytes, so "&nbsp;" alone is a long enough password.
  EXPECT_EQ(Register("session=s1\r\nid=u1\r\npw=&nbsp;\r\npw2=&nbsp;\r\nrealname=A&nbsp;B\r\nmail=m@x\r\n"
                     "extra=ignored\r\n"),
            pages::RegistrationAcceptedPage());
  EXPECT_EQ(Read("u1.txt"), "id=u1\r\npw=&nbsp;\r\nrealname=A&nbsp;B\r\ncountry=\r\nmail=m@x\r\n");
  // Blanks inside an ID are fine; the longest ID still makes a file name.
  EXPECT_EQ(Register("id=a&nbsp;b\r\npw=abcde\r\npw2=abcde\r\nrealname=R\r\nmail=m\r\n"),
            pages::RegistrationAcceptedPage());
  const std::string longest(251, 'i');
  EXPECT_EQ(Register("id=" + longest + "\r\npw=abcde\r\npw2=abcde\r\nrealname=R\r\nmail=m\r\n"),
            pages::RegistrationAcceptedPage());
  EXPECT_TRUE(fs::exists(dir_ + longest + ".txt"));
}

TEST_F(AccountCommands, RegistrationNeverReplacesARecord) {
  Write("u1.txt", "id=u1\r\npw=old12\r\n");
  EXPECT_EQ(Register("id=u1\r\npw=new12\r\npw2=new12\r\nrealname=R\r\nmail=m\r\ncountry=JP\r\n"),
            pages::ErrorPage(texts::IdAlreadyRegistered));
  EXPECT_EQ(Read("u1.txt"), "id=u1\r\npw=old12\r\n");
}

TEST_F(AccountCommands, ChangePwChecksInOrder) {
  const std::string record = "id=u1\nPW=old12\nrealname=R\nnote\n";
  Write("u1.txt", record);
  struct Case {
    std::string fields;
    std::string_view message;
  } cases[] = {
      {"id=u1\r\npw0=old12\r\npw1=new12\r\n", texts::Blank},
      {"id=u1\r\npw0=\r\npw1=new12\r\npw2=new12\r\n", texts::Blank},
      // A missing record is reported before the new passwords are looked at.
      {"id=u2\r\npw0=old12\r\npw1=a\r\npw2=b\r\n", texts::IdDoesNotExist},
      {"id=../u1\r\npw0=old12\r\npw1=new12\r\npw2=new12\r\n", texts::IdDoesNotExist},
      {"id=u1\r\npw0=old12\r\npw1=new12\r\npw2=new13\r\n", texts::NewPasswordMismatch},
      {"id=u1\r\npw0=old12\r\npw1=new1\r\npw2=new1\r\n", texts::PasswordTooShort},
      {"id=u1\r\npw0=OLD12\r\npw1=new12\r\npw2=new12\r\n", texts::PasswordNotChanged},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ChangePw(c.fields), pages::ErrorPage(c.message)) << c.fields;
  }
  EXPECT_EQ(Read("u1.txt"), record);

  EXPECT_EQ(ChangePw("id=u1\r\npw0=old12\r\npw1=new12\r\npw2=new12\r\n"), pages::RegistrationAcceptedPage());
  EXPECT_EQ(Read("u1.txt"), "id=u1\r\npw=new12\r\nrealname=R\r\nnote\r\n");
}

// Password resets and leaving: what ends a link, the mail limits, and what
// a removal takes along.
class SelfService : public AccountCommands {
 protected:
  static std::string Token(char last) { return std::string(39, '0') + last; }
  records::ResetIssue::Result Issue(const std::string& id, char token, std::int64_t now) {
    return records::IssueResetToken(dir_, id, Token(token), now).result;
  }
  static constexpr std::int64_t kT = 1'800'000'000;
};

TEST_F(SelfService, LinkLifetimeAndMailLimits) {
  using R = records::ResetIssue;
  Write("u1.txt", "id=u1\r\npw=old12\r\nmail=u1@example.org\r\n");
  EXPECT_EQ(Issue("u1", 'a', kT), R::kIssued);
  // 30 minutes to the second.
  EXPECT_TRUE(records::ResetTokenValid(dir_, "u1", Token('a'), kT + 1800));
  EXPECT_FALSE(records::ResetTokenValid(dir_, "u1", Token('a'), kT + 1801));
  EXPECT_FALSE(records::ResetTokenValid(dir_, "u1", Token('b'), kT));
  // Three mails an hour; the fourth waits until the first is an hour old.
  EXPECT_EQ(Issue("u1", 'b', kT + 1), R::kIssued);
  EXPECT_EQ(Issue("u1", 'c', kT + 2), R::kIssued);
  // A fresh address (the member changed it) changes nothing for the member.
  Write("u1.txt", "id=u1\r\npw=old12\r\nmail=fresh@example.org\r\n");
  EXPECT_EQ(Issue("u1", 'd', kT + 3), R::kLimit);
  EXPECT_TRUE(records::ResetTokenValid(dir_, "u1", Token('c'), kT + 3));
  EXPECT_FALSE(records::ResetTokenValid(dir_, "u1", Token('d'), kT + 3));
  EXPECT_EQ(Issue("u1", 'd', kT + 3599), R::kLimit);
  EXPECT_EQ(Issue("u1", 'e', kT + 3600), R::kIssued);

  // One mailbox named by five members (in any letter case) gets three.
  for (const char* who : {"m1", "m2", "m3", "m4", "m5"}) {
    const std::string mail = who == std::string("m2") ? "Victim@EXAMPLE.org" : "victim@example.org";
    Write(std::string(who) + ".txt", "id=" + std::string(who) + "\r\npw=abcde\r\nmail=" + mail + "\r\n");
  }
  std::vector<R::Result> got;
  for (const char* who : {"m1", "m2", "m3", "m4", "m5"}) got.push_back(Issue(who, 'f', kT));
  EXPECT_EQ(got, (std::vector<R::Result>{R::kIssued, R::kIssued, R::kIssued, R::kLimit, R::kLimit}));
  EXPECT_FALSE(records::ResetTokenValid(dir_, "m4", Token('f'), kT));
  // ALICE is not alice, whose record a file system ignoring case finds.
  EXPECT_EQ(Issue("U1", 'g', kT + 3600), R::kNoMember);
}

TEST_F(SelfService, NothingOutlivesTheAccount) {
  const std::int64_t now = platform::UnixSeconds();
  const std::string up = dir_ + "up/";
  std::filesystem::create_directories(up);
  module_.SelfRemoval = true;
  module_.UploadPath = up;
  module_.Day = "20260101";
  for (const bool by_operator : {false, true}) {
    Write("u1.txt", "id=u1\r\npw=old12\r\nmail=u1@example.org\r\n");
    ASSERT_TRUE(records::AppendPostIndex(up, "u1", "p1", ".jpg", "mine"));
    ASSERT_TRUE(records::AppendPostIndex(up, "U1", "p2", ".jpg", "not mine"));
    ASSERT_EQ(records::IssueResetToken(dir_, "u1", Token('a'), now).result, records::ResetIssue::kIssued);
    if (by_operator) {
      EXPECT_TRUE(records::RemoveMember(dir_, "u1"));
    } else {
      module_.PostedFields = "id=u1\r\npw=old12\r\nconfirm=1\r\n";
      module_.CommandRemoveSelf();
      EXPECT_TRUE(records::FreeReservedId(dir_, "u1"));
    }
    // The listing goes with the record (the operator's tool: tests/admin).
    EXPECT_EQ(std::filesystem::exists(records::PostIndexPath(up, "u1")), by_operator);
    EXPECT_TRUE(std::filesystem::exists(records::PostIndexPath(up, "U1")));
    // The next holder of the ID: the old link sets nothing.
    Write("u1.txt", "id=u1\r\npw=newcomer\r\nmail=n@example.org\r\n");
    std::string address;
    EXPECT_FALSE(records::ResetTokenValid(dir_, "u1", Token('a'), now)) << by_operator;
    EXPECT_EQ(records::ResetPassword(dir_, "u1", Token('a'), "taken", now, address), records::ResetResult::kInvalid);
    EXPECT_EQ(Read("u1.txt"), "id=u1\r\npw=newcomer\r\nmail=n@example.org\r\n");
  }
  // Removing ALICE leaves alice's posts, image and record.
  Write("up/p3.jpg", "jpeg");
  Write("up/p3.txt", "<tslkeys>\r\nsession=s1\r\nid=u1\r\n</tslkeys>\r\n");
  std::filesystem::create_directories(dir_ + "up/sized");
  Write("up/sized/p3-480.jpg", "small");
  Write("up/sized/p3-880.jpg", "middle");
  Write("up/sized/p3-1080.jpg", "large");
  EXPECT_EQ(records::RemovePostsOf(up, "U1"), 0u);
  EXPECT_EQ(Read("up/p3.jpg"), "jpeg");
  EXPECT_EQ(Read("up/sized/p3-480.jpg"), "small");
  EXPECT_EQ(records::RemovePostsOf(up, "u1"), 1u);
  EXPECT_EQ(Read("up/p3.txt"), "<missing>");
  // Its copies go with it.
  EXPECT_EQ(Read("up/sized/p3-480.jpg"), "<missing>");
  EXPECT_EQ(Read("up/sized/p3-880.jpg"), "<missing>");
  EXPECT_EQ(Read("up/sized/p3-1080.jpg"), "<missing>");
}

// A password changed while a removal waited for the lock: the old one no
// longer removes the account.
TEST_F(SelfService, RemovalChecksThePasswordAgainUnderTheLock) {
  Write("u1.txt", "id=u1\r\npw=old12\r\n");
  records::RemovalResult result = records::RemovalResult::kRemoved;
  std::thread removal;
  {
    const platform::FileLock lock = records::LockMembersDirectory(dir_);
    std::atomic<pid_t> tid{0};
    removal = std::thread([&] {
      tid = static_cast<pid_t>(::syscall(SYS_gettid));
      result = records::RemoveOwnAccount(dir_, "u1", "old12", "20260101");
    });
    // Until it waits for the lock (its password checked before it).
    auto waiting = [&] {
      std::ifstream in("/proc/self/task/" + std::to_string(tid.load()) + "/syscall");
      long call = -1;
      return tid != 0 && (in >> call) && call == SYS_flock;
    };
    for (int i = 0; i < 5000 && !waiting(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(waiting());
    Write("u1.txt", "id=u1\r\npw=new12\r\n");
  }
  removal.join();
  EXPECT_EQ(result, records::RemovalResult::kWrongPassword);
  EXPECT_EQ(Read("u1.txt"), "id=u1\r\npw=new12\r\n");
}

}  // namespace
