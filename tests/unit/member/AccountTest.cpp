// The account commands on a module of their own: every check in its order,
// the record registration writes, and that a failed check writes nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "MemberTexts.h"
#include "ScratchDir.h"
#include "member/Pages.h"
#include "member/WebModule1.h"

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
    EXPECT_EQ(Register(c.fields), member::ErrorPage(c.message)) << c.fields;
  }
  EXPECT_EQ(Names(), std::vector<std::string>{});
}

TEST_F(AccountCommands, RegistrationWritesFiveLines) {
  // Values stay in the escaped form the parser gave them; lengths count
  // those bytes, so "&nbsp;" alone is a long enough password.
  EXPECT_EQ(Register("session=s1\r\nid=u1\r\npw=&nbsp;\r\npw2=&nbsp;\r\nrealname=A&nbsp;B\r\nmail=m@x\r\n"
                     "extra=ignored\r\n"),
            member::RegistrationAcceptedPage());
  EXPECT_EQ(Read("u1.txt"), "id=u1\r\npw=&nbsp;\r\nrealname=A&nbsp;B\r\ncountry=\r\nmail=m@x\r\n");
  // Blanks inside an ID are fine; the longest ID still makes a file name.
  EXPECT_EQ(Register("id=a&nbsp;b\r\npw=abcde\r\npw2=abcde\r\nrealname=R\r\nmail=m\r\n"),
            member::RegistrationAcceptedPage());
  const std::string longest(251, 'i');
  EXPECT_EQ(Register("id=" + longest + "\r\npw=abcde\r\npw2=abcde\r\nrealname=R\r\nmail=m\r\n"),
            member::RegistrationAcceptedPage());
  EXPECT_TRUE(fs::exists(dir_ + longest + ".txt"));
}

TEST_F(AccountCommands, RegistrationNeverReplacesARecord) {
  Write("u1.txt", "id=u1\r\npw=old12\r\n");
  EXPECT_EQ(Register("id=u1\r\npw=new12\r\npw2=new12\r\nrealname=R\r\nmail=m\r\ncountry=JP\r\n"),
            member::ErrorPage(texts::IdAlreadyRegistered));
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
    EXPECT_EQ(ChangePw(c.fields), member::ErrorPage(c.message)) << c.fields;
  }
  EXPECT_EQ(Read("u1.txt"), record);

  EXPECT_EQ(ChangePw("id=u1\r\npw0=old12\r\npw1=new12\r\npw2=new12\r\n"), member::RegistrationAcceptedPage());
  EXPECT_EQ(Read("u1.txt"), "id=u1\r\npw=new12\r\nrealname=R\r\nnote\r\n");
}

}  // namespace
