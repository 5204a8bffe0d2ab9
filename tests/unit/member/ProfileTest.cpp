// The profile forms byte for byte, and the profile save: which lines change,
// where new ones go, which disappear, and that a save waits for the members
// directory lock.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "ScratchDir.h"
#include "credentials/FormTokens.h"
#include "member/WebModule1.h"
#include "pages/Pages.h"
#include "records/Members.h"
#include "records/Profiles.h"

namespace {

namespace fs = std::filesystem;

class ProfileDir : public ScratchDirTest {};

// Shift_JIS bytes are written as escapes, with the text in a comment.
const std::string kJapaneseForm =
    "<!DOCTYPE html PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\"\r\n"
    " \"http://www.w3.org/TR/html4/loose.dtd\"><html lang=\"ja\">\r\n"
    "<head><title>Orvalen Change Profile<#filename></title>\r\n"
    "<META http-equiv=\"Content-Type\" content=\"text/html; charset=Shift_JIS\"></head>\r\n"
    // <body bgcolor="#FFFFFF"><h4>■プロフィール変更</h4>
    "<body bgcolor=\"#FFFFFF\"><h4>\x81\xa1\x83v\x83\x8d\x83t\x83" "B\x81[\x83\x8b\x95\xcf\x8dX</h4>\r\n"
    "\r\n"
    "<form name=\"SendForm\" action=\"/cgi/orvalengate.exe\" method=\"POST\" ENCTYPE=\"multipart/form-data\">\r\n"
    "<input type=hidden name=\"session\" value=\"s1\">\r\n"
    "<input type=hidden name=\"command\" value=\"changeprof2\">\r\n"
    "\r\n"
    "<font size=\"2\">\r\n"
    "<table border=\"0\" cellpadding=\"0\" cellspacing=\"0\" width=\"100%\">\r\n"
    "\r\n"
    //     <tr><td height="30" width="160" align="right">&nbsp; ＩＤ</td>
    "    <tr><td height=\"30\" width=\"160\" align=\"right\">&nbsp; \x82h\x82" "c</td>\r\n"
    "    <td width=\"6\"></td>\r\n"
    "    <td><input type=\"text\" name=\"id\" size=\"20\" Value=\"alice\"></td></tr>\r\n"
    "\r\n"
    //     <tr><td height="30" width="160" align="right">&nbsp; パスワード</td>
    "    <tr><td height=\"30\" width=\"160\" align=\"right\">&nbsp; \x83p\x83X\x83\x8f\x81[\x83h</td>\r\n"
    "    <td width=\"6\"></td>\r\n"
    "    <td><input type=\"password\" name=\"pw\" size=\"15\" Value=\"secret1\"></td></tr>\r\n"
    "\r\n"
    //     <tr><td height="30" width="160" align="right">&nbsp; 名前</td>
    "    <tr><td height=\"30\" width=\"160\" align=\"right\">&nbsp; \x96\xbc\x91O</td>\r\n"
    "    <td width=\"6\"></td>\r\n"
    "    <td><input type=\"text\" name=\"realname\" size=\"20\" Value=\"Alice&nbsp;Liddell\"></td></tr>\r\n"
    "\r\n"
    //     <tr><td height="30" width="160" align="right">&nbsp; 国</td>
    "    <tr><td height=\"30\" width=\"160\" align=\"right\">&nbsp; \x8d\x91</td>\r\n"
    "    <td width=\"6\"></td>\r\n"
    "    <td><input type=\"text\" name=\"country\" size=\"20\" Value=\"UK\"></td></tr>\r\n"
    "\r\n"
    //     <tr><td height="30" width="160" align="right">&nbsp; 一行自己紹介</td>
    "    <tr><td height=\"30\" width=\"160\" align=\"right\">&nbsp; \x88\xea\x8ds\x8e\xa9\x8c\xc8\x8f\xd0\x89\xee</td>\r\n"
    "    <td width=\"6\"></td>\r\n"
    "    <td><input type=\"text\" name=\"comment\" size=\"100\" Value=\"Hello\"></td></tr>\r\n"
    "\r\n"
    //     <tr><td height="30" width="160" align="right">&nbsp; メールアドレス</td>
    "    <tr><td height=\"30\" width=\"160\" align=\"right\">&nbsp; \x83\x81\x81[\x83\x8b\x83" "A\x83h\x83\x8c\x83X</td>\r\n"
    "    <td width=\"6\"></td>\r\n"
    "    <td><input type=\"text\" name=\"mail\" size=\"50\" Value=\"alice@example.com\"></td></tr>\r\n"
    "\r\n"
    "    <tr><td></td><td></td><td>\r\n"
    //     ●ＵＲＬは、ホームページ、ブログ、ＳＮＳなどのアドレス(省略可)<br>
    "    \x81\x9c\x82t\x82q\x82k\x82\xcd\x81" "A\x83z\x81[\x83\x80\x83y\x81[\x83W\x81" "A\x83u\x83\x8d\x83O\x81" "A\x82r\x82m\x82r\x82\xc8\x82\xc7\x82\xcc\x83" "A\x83h\x83\x8c\x83X(\x8f\xc8\x97\xaa\x89\xc2)<br>\r\n"
    "    </td></tr>\r\n"
    "\r\n"
    //     <tr><td height="30" width="160" align="right">&nbsp; URL1のタイトル</td>
    "    <tr><td height=\"30\" width=\"160\" align=\"right\">&nbsp; URL1\x82\xcc\x83^\x83" "C\x83g\x83\x8b</td>\r\n"
    "    <td width=\"6\"></td>\r\n"
    //     <td><input type="text" name="urlname1" size="50" Value="Blog"> 例: くもの手SNS
    "    <td><input type=\"text\" name=\"urlname1\" size=\"50\" Value=\"Blog\"> \x97\xe1: \x82\xad\x82\xe0\x82\xcc\x8e\xe8SNS\r\n"
    "    </td></tr>\r\n"
    "\r\n"
    "    <tr><td height=\"30\" width=\"160\" align=\"right\">&nbsp; URL1</td>\r\n"
    "    <td width=\"6\"></td>\r\n"
    //     <td><input type="text" name="url1" size="50" Value="https://alice.example/"> 例：https://kumonote.example/user/orvalen
    "    <td><input type=\"text\" name=\"url1\" size=\"50\" Value=\"https://alice.example/\"> \x97\xe1\x81" "Fhttps://kumonote.example/user/orvalen\r\n"
    "    </td></tr>\r\n"
    "\r\n"
    //     <tr><td height="30" width="160" align="right">&nbsp; URL2のタイトル</td>
    "    <tr><td height=\"30\" width=\"160\" align=\"right\">&nbsp; URL2\x82\xcc\x83^\x83" "C\x83g\x83\x8b</td>\r\n"
    "    <td width=\"6\"></td>\r\n"
    "    <td><input type=\"text\" name=\"urlname2\" size=\"50\" Value=\"\"></td></tr>\r\n"
    "\r\n"
    "    <tr><td height=\"30\" width=\"160\" align=\"right\">&nbsp; URL2</td>\r\n"
    "    <td width=\"6\"></td>\r\n"
    "    <td><input type=\"text\" name=\"url2\" size=\"50\" Value=\"\"></td></tr>\r\n"
    "\r\n"
    //     <tr><td height="30" width="160" align="right">&nbsp; URL3のタイトル</td>
    "    <tr><td height=\"30\" width=\"160\" align=\"right\">&nbsp; URL3\x82\xcc\x83^\x83" "C\x83g\x83\x8b</td>\r\n"
    "    <td width=\"6\"></td>\r\n"
    "    <td><input type=\"text\" name=\"urlname3\" size=\"50\" Value=\"\"></td></tr>\r\n"
    "\r\n"
    "    <tr><td height=\"30\" width=\"160\" align=\"right\">&nbsp; URL3</td>\r\n"
    "    <td width=\"6\"></td>\r\n"
    "    <td><input type=\"text\" name=\"url3\" size=\"50\" Value=\"\"></td></tr>\r\n"
    "\r\n"
    "    <tr><td height=\"50\" width=\"160\"></td><td width=\"6\"></td>\r\n"
    //     <td><input type=submit value="　　登録　　"></td></tr>
    "    <td><input type=submit value=\"\x81@\x81@\x93o\x98^\x81@\x81@\"></td></tr>\r\n"
    "\r\n"
    "</table></font></form></body></html>\r\n"
    ;

const std::string kEnglishForm =
    "<!DOCTYPE html PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\"\r\n"
    " \"http://www.w3.org/TR/html4/loose.dtd\"><html lang=\"ja\">\r\n"
    "<head><title>Orvalen Change Profile<#filename></title>\r\n"
    "<META http-equiv=\"Content-Type\" content=\"text/html; charset=Shift_JIS\"></head>\r\n"
    "<body bgcolor=\"#FFFFFF\"><h4>Your Profile</h4>\r\n"
    "\r\n"
    "<form name=\"SendForm\" action=\"/cgi/orvalengate.exe\" method=\"POST\" ENCTYPE=\"multipart/form-data\">\r\n"
    "<input type=hidden name=\"session\" value=\"en&amp;1\">\r\n"
    "<input type=hidden name=\"command\" value=\"changeprof2\">\r\n"
    "\r\n"
    "<font size=\"2\">\r\n"
    "<table border=\"0\" cellpadding=\"0\" cellspacing=\"0\" width=\"100%\">\r\n"
    "\r\n"
    "    <tr><td height=\"30\" width=\"160\" align=\"right\">&nbsp; ID</td>\r\n"
    "    <td width=\"6\"></td>\r\n"
    "    <td><input type=\"text\" name=\"id\" size=\"20\" Value=\"bob\"></td></tr>\r\n"
    "\r\n"
    "    <tr><td height=\"30\" width=\"160\" align=\"right\">&nbsp;Password</td>\r\n"
    "    <td width=\"6\"></td>\r\n"
    "    <td><input type=\"password\" name=\"pw\" size=\"15\" Value=\"pass5\"></td></tr>\r\n"
    "\r\n"
    "    <tr><td height=\"30\" width=\"160\" align=\"right\">&nbsp; Real Name</td>\r\n"
    "    <td width=\"6\"></td>\r\n"
    "    <td><input type=\"text\" name=\"realname\" size=\"20\" Value=\"Bob\"></td></tr>\r\n"
    "\r\n"
    "    <tr><td height=\"30\" width=\"160\" align=\"right\">&nbsp; Country</td>\r\n"
    "    <td width=\"6\"></td>\r\n"
    "    <td><input type=\"text\" name=\"country\" size=\"20\" Value=\"\"></td></tr>\r\n"
    "\r\n"
    "    <tr><td height=\"30\" width=\"160\" align=\"right\">&nbsp; Self-introduction</td>\r\n"
    "    <td width=\"6\"></td>\r\n"
    "    <td><input type=\"text\" name=\"comment\" size=\"100\" Value=\"\"></td></tr>\r\n"
    "\r\n"
    "    <tr><td height=\"30\" width=\"160\" align=\"right\">&nbsp; Mail Address</td>\r\n"
    "    <td width=\"6\"></td>\r\n"
    "    <td><input type=\"text\" name=\"mail\" size=\"50\" Value=\"bob@example.com\"></td></tr>\r\n"
    "\r\n"
    "    <tr><td height=\"30\" width=\"160\" align=\"right\">&nbsp; title of URL1</td>\r\n"
    "    <td width=\"6\"></td>\r\n"
    "    <td><input type=\"text\" name=\"urlname1\" size=\"50\" Value=\"\"> e.g. homepage\r\n"
    "    </td></tr>\r\n"
    "\r\n"
    "    <tr><td height=\"30\" width=\"160\" align=\"right\">&nbsp; URL1</td>\r\n"
    "    <td width=\"6\"></td>\r\n"
    "    <td><input type=\"text\" name=\"url1\" size=\"50\" Value=\"\"> e.g. https://www.example.com/\r\n"
    "    </td></tr>\r\n"
    "\r\n"
    "    <tr><td height=\"30\" width=\"160\" align=\"right\">&nbsp; title of URL2</td>\r\n"
    "    <td width=\"6\"></td>\r\n"
    "    <td><input type=\"text\" name=\"urlname2\" size=\"50\" Value=\"\"></td></tr>\r\n"
    "\r\n"
    "    <tr><td height=\"30\" width=\"160\" align=\"right\">&nbsp; URL2</td>\r\n"
    "    <td width=\"6\"></td>\r\n"
    "    <td><input type=\"text\" name=\"url2\" size=\"50\" Value=\"\"></td></tr>\r\n"
    "\r\n"
    "    <tr><td height=\"30\" width=\"160\" align=\"right\">&nbsp; title of URL3</td>\r\n"
    "    <td width=\"6\"></td>\r\n"
    "    <td><input type=\"text\" name=\"urlname3\" size=\"50\" Value=\"\"></td></tr>\r\n"
    "\r\n"
    "    <tr><td height=\"30\" width=\"160\" align=\"right\">&nbsp; URL3</td>\r\n"
    "    <td width=\"6\"></td>\r\n"
    "    <td><input type=\"text\" name=\"url3\" size=\"50\" Value=\"\"></td></tr>\r\n"
    "\r\n"
    "    <tr><td height=\"50\" width=\"160\"></td><td width=\"6\"></td>\r\n"
    "    <td><input type=submit value=\"registration\"></td></tr>\r\n"
    "\r\n"
    "</table></font></form></body></html>\r\n";

const std::string kAliceRecord =
    "id=alice\r\npw=secret1\r\nrealname=Alice&nbsp;Liddell\r\ncountry=UK\r\nmail=alice@example.com\r\n"
    "comment=Hello\r\nurl1=https://alice.example/\r\nurlname1=Blog\r\n";

TEST_F(ProfileDir, JapaneseFormIsExact) {
  Write("alice.txt", kAliceRecord);
  EXPECT_EQ(pages::ProfileFormPage("s1", dir_, "alice", "secret1"), kJapaneseForm);
  // The directory may come without its delimiter.
  EXPECT_EQ(pages::ProfileFormPage("s1", dir_.substr(0, dir_.size() - 1), "alice", "secret1"), kJapaneseForm);
}

TEST_F(ProfileDir, EnglishFormIsExactAndShowsMissingKeysEmpty) {
  // The password line in capitals still answers "pw"; a line without "="
  // and a key the form does not know change nothing.
  Write("bob.txt", "id=bob\r\nPW=pass5\r\nrealname=Bob\r\nnote\r\nmail=bob@example.com\r\nhobby=x\r\n");
  EXPECT_EQ(pages::ProfileFormPageE("en&amp;1", dir_, "bob", "pass5"), kEnglishForm);
}

TEST_F(ProfileDir, FormsAreEmptyWithoutTheRightPassword) {
  Write("alice.txt", kAliceRecord);
  EXPECT_EQ(pages::ProfileFormPage("s1", dir_, "alice", "Secret1"), "");
  EXPECT_EQ(pages::ProfileFormPageE("s1", dir_, "alice", "secret1 "), "");
  EXPECT_EQ(pages::ProfileFormPage("s1", dir_, "nobody", "secret1"), "");
  // An ID that names a path outside the directory never reads that file.
  fs::create_directories(dir_ + "sub");
  Write("sub/alice.txt", kAliceRecord);
  EXPECT_EQ(pages::ProfileFormPage("s1", dir_, "sub/alice", "secret1"), "");
}

records::ProfileValues Values(std::string_view realname, std::string_view mail, std::string_view country) {
  records::ProfileValues v;
  v.realname = realname;
  v.mail = mail;
  v.country = country;
  return v;
}

TEST_F(ProfileDir, FirstSaveAppendsNewKeysInTheirOrder) {
  const std::string registered = "id=u1\r\npw=pw123\r\nrealname=R\r\ncountry=JP\r\nmail=m@x\r\n";
  Write("u1.txt", registered);
  records::ProfileValues v = Values("R", "m@x", "JP");
  v.urlname3 = "n3";
  v.url1 = "u1";
  v.comment = "hi";
  v.urlname1 = "n1";
  v.url3 = "u3";
  ASSERT_EQ(records::UpdateProfile(dir_, "u1", "pw123", v), records::UpdateResult::kSaved);
  EXPECT_EQ(Read("u1.txt"), registered + "comment=hi\r\nurl1=u1\r\nurl3=u3\r\nurlname1=n1\r\nurlname3=n3\r\n");
}

TEST_F(ProfileDir, SaveChangesInPlaceDeletesEmptiedAndKeepsTheRest) {
  Write("u1.txt", "id=u1\npw=pw123\nREALNAME=Old\nno equals here\ncountry=JP\nmail=m@x\ncomment=c\n");
  ASSERT_EQ(records::UpdateProfile(dir_, "u1", "pw123", Values("New", "m@x", "")), records::UpdateResult::kSaved);
  // realname keeps its place under our spelling; country and the comment
  // that the post left out lose their lines; everything else stays.
  EXPECT_EQ(Read("u1.txt"), "id=u1\r\npw=pw123\r\nrealname=New\r\nno equals here\r\nmail=m@x\r\n");
}

TEST_F(ProfileDir, UnchangedValuesKeepTheirSpelling) {
  Write("u1.txt", "id=u1\r\npw=pw123\r\nRealName=Same\r\nMAIL=m@x\r\ncountry=JP\r\n");
  ASSERT_EQ(records::UpdateProfile(dir_, "u1", "pw123", Values("Same", "m@x", "JP")), records::UpdateResult::kSaved);
  EXPECT_EQ(Read("u1.txt"), "id=u1\r\npw=pw123\r\nRealName=Same\r\nMAIL=m@x\r\ncountry=JP\r\n");
}

TEST_F(ProfileDir, WrongPasswordOrMissingRecordChangesNothing) {
  const std::string record = "id=u1\npw=pw123\nrealname=R\n";
  Write("u1.txt", record);
  EXPECT_EQ(records::UpdateProfile(dir_, "u1", "PW123", Values("X", "y", "z")), records::UpdateResult::kRefused);
  EXPECT_EQ(records::UpdateProfile(dir_, "u2", "pw123", Values("X", "y", "z")), records::UpdateResult::kRefused);
  EXPECT_EQ(records::UpdateProfile(dir_, "../u1", "pw123", Values("X", "y", "z")), records::UpdateResult::kRefused);
  EXPECT_EQ(Read("u1.txt"), record);
  EXPECT_FALSE(fs::exists(dir_ + "u2.txt"));
}

TEST_F(ProfileDir, SaveWaitsForTheMembersLock) {
  Write("u1.txt", "id=u1\r\npw=pw123\r\n");
  std::atomic<bool> done{false};
  std::thread saver;
  {
    const platform::FileLock held = records::LockMembersDirectory(dir_);
    saver = std::thread([&] {
      records::UpdateProfile(dir_, "u1", "pw123", Values("R", "m", "c"));
      done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(done.load());
    EXPECT_EQ(Read("u1.txt"), "id=u1\r\npw=pw123\r\n");
  }
  saver.join();
  EXPECT_TRUE(done.load());
  EXPECT_EQ(Read("u1.txt"), "id=u1\r\npw=pw123\r\nrealname=R\r\nmail=m\r\ncountry=c\r\n");
}

// A form's token holds for the session, ID, stored pw value and expiry it
// was made for, under a secret made once, readable by its owner alone.
TEST_F(ProfileDir, FormTokenHoldsOnlyForWhatItWasMadeFor) {
  const mode_t old_mask = ::umask(022);
  const std::int64_t now = 1'700'000'000, expiry = now + credentials::kFormTokenSeconds;
  const std::string token = credentials::MakeFormToken(dir_, "s1", "alice", "pw1", now);
  ::umask(old_mask);
  const std::size_t mac = token.find('-') + 1;
  ASSERT_EQ(token.substr(0, mac), std::to_string(expiry) + "-");
  EXPECT_EQ(fs::status(dir_ + ".form-secret").permissions(), fs::perms::owner_read | fs::perms::owner_write);
  auto flipped = [&](std::size_t i) {
    std::string t = token;
    t[mac + i] = t[mac + i] == '0' ? '1' : '0';
    return t;
  };
  struct Case {
    const char* what;
    std::string token;
    std::string_view session, id, pw;
    std::int64_t now;
    bool valid;
  };
  const Case cases[] = {
      {"as made", token, "s1", "alice", "pw1", now, true},
      {"at its expiry", token, "s1", "alice", "pw1", expiry, true},
      {"a second later", token, "s1", "alice", "pw1", expiry + 1, false},
      {"made a second ahead", credentials::MakeFormToken(dir_, "s1", "alice", "pw1", now + 1), "s1", "alice", "pw1", now,
       false},
      {"another ID", token, "s1", "bob", "pw1", now, false},
      {"another pw value", token, "s1", "alice", "pw2", now, false},
      {"another session", token, "s2", "alice", "pw1", now, false},
      {"values split elsewhere", token, "s1a", "lice", "pw1", now, false},
      {"expiry moved on", std::to_string(expiry + 60) + token.substr(mac - 1), "s1", "alice", "pw1", now + 60, false},
      {"first digit", flipped(0), "s1", "alice", "pw1", now, false},
      {"middle digit", flipped(32), "s1", "alice", "pw1", now, false},
      {"last digit", flipped(63), "s1", "alice", "pw1", now, false},
      {"a digit more", token + "0", "s1", "alice", "pw1", now, false},
      {"a digit less", token.substr(0, token.size() - 1), "s1", "alice", "pw1", now, false},
  };
  const std::string secret = Read(".form-secret");
  for (const Case& c : cases) {
    EXPECT_EQ(credentials::FormTokenValid(dir_, c.token, c.session, c.id, c.pw, c.now), c.valid) << c.what;
  }
  // Every check reads the one secret: another in its place verifies nothing.
  EXPECT_EQ(Read(".form-secret"), secret);
  Write(".form-secret", std::string(64, '5'));
  EXPECT_FALSE(credentials::FormTokenValid(dir_, token, "s1", "alice", "pw1", now));
}

// Through the commands: the token saves only its member's profile, and only
// until the password changes (here first upgraded to a hash by the form).
TEST_F(ProfileDir, FormTokenSavesItsProfileUntilThePasswordChanges) {
  Write("alice.txt", kAliceRecord);
  Write("bob.txt", "id=bob\r\npw=secret1\r\n");
  member::TWebModule1 m;
  m.MembersDb = m.UploadPath = dir_;
  m.SessionName = "s1";
  m.ModernPages = true;
  m.Passwords = credentials::PasswordStorage::kArgon2id;
  m.PostedFields = "id=alice\r\npw=secret1\r\n";
  const std::string form = m.CommandChangeProf1(false), field = "name=\"token\" value=\"";
  const std::size_t at = form.find(field) + field.size();
  ASSERT_GT(at, field.size());
  const std::string token = form.substr(at, form.find('"', at) - at);
  auto save = [&](std::string_view id) {
    m.PageStatus = 0;
    m.PostedFields = "id=" + std::string(id) + "\r\ntoken=" + token + "\r\nrealname=Al\r\n";
    m.CommandChangeProf2();
    return m.PageStatus;
  };
  EXPECT_EQ(save("bob"), 403);
  EXPECT_EQ(save("alice"), 200);
  EXPECT_NE(Read("alice.txt").find("realname=Al\r\n"), std::string::npos);
  Write("alice.txt", "id=alice\r\npw=secret2\r\n");
  EXPECT_EQ(save("alice"), 403);
  EXPECT_EQ(Read("alice.txt"), "id=alice\r\npw=secret2\r\n");
}

}  // namespace
