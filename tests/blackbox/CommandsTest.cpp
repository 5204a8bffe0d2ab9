// The member commands through the built executable: every answer of
// registration, password change, profile editing and file posting, and the
// bytes of every file they leave behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "CommandsSupport.h"
#include "Harness.h"

namespace blackbox {
namespace {

using namespace commands;

const std::string kUser1Record = "id=u1\r\npw=secret1\r\nrealname=Alice\r\ncountry=JP\r\nmail=a@x\r\n";

class Commands : public ::testing::Test {
 protected:
  void SetUp() override { site_.SetUpSession("s1"); }

  std::string Post(const std::string& body) const { return Content(site_.PostUrlEncoded(body)); }
  std::string PostParts(const std::vector<Part>& parts) const { return Content(site_.PostMultipart(parts)); }
  std::string Record(const std::string& id) const { return site_.ReadFile("members/" + id + ".txt"); }
  void AddMember(const std::string& id, const std::string& record) const {
    site_.WriteFile("members/" + id + ".txt", record);
  }

  Site site_;
};

// ---- registration ------------------------------------------------------------

TEST_F(Commands, RegistrationChecksInOrder) {
  const std::string head = "session=s1&command=registration&";
  const std::string rest = "&realname=R&mail=m%40x";
  EXPECT_EQ(Post(head + "id=&pw=abcde&pw2=abcde" + rest), ErrorPageFor(msg::kBlank));
  EXPECT_EQ(Post(head + "id=u&pw=abcde&pw2=abcde&realname=R"), ErrorPageFor(msg::kBlank));
  EXPECT_EQ(Post(head + "id=u&pw=abc&pw2=abd" + rest), ErrorPageFor(msg::kPasswordMismatch));
  EXPECT_EQ(Post(head + "id=u&pw=abcd&pw2=abcd" + rest), ErrorPageFor(msg::kPasswordTooShort));
  EXPECT_EQ(Post(head + "id=..%2Fupload%2Fx&pw=abcde&pw2=abcde" + rest), ErrorPageFor(msg::kIdUnusable));
  EXPECT_EQ(Post(head + "id=a%5Cb&pw=abcde&pw2=abcde" + rest), ErrorPageFor(msg::kIdUnusable));
  // Bytes just outside the lead-byte ranges stand alone: the "\" after them is one of its own.
  for (const char* byte : {"%80", "%A0", "%DF", "%FD"}) {
    EXPECT_EQ(Post(head + "id=" + byte + "%5C&pw=abcde&pw2=abcde" + rest), ErrorPageFor(msg::kIdUnusable)) << byte;
  }
  EXPECT_EQ(Visible(site_, "members"), std::vector<std::string>{});
  EXPECT_EQ(Visible(site_, "upload"), std::vector<std::string>{});
}

TEST_F(Commands, RegistrationWritesTheRecordAndAnswersAccepted) {
  const Result r = site_.PostMultipart({Field("session", "s1"), Field("command", "registration"), Field("id", "u1"),
                                        Field("pw", "abcde"), Field("pw2", "abcde"), Field("realname", "A <B>"),
                                        Field("mail", "a@x"), Field("country", "")});
  EXPECT_EQ(Header(r).rfind("Status: 200 OK\r\nContent-Type: text/html\r\n", 0), 0u) << r.out;
  EXPECT_EQ(Content(r), kRegistrationAccepted);
  // Stored in the escaped form the parser made; an empty country still has
  // its line.
  EXPECT_EQ(Record("u1"), "id=u1\r\npw=abcde\r\nrealname=A&nbsp;&lt;B&gt;\r\ncountry=\r\nmail=a@x\r\n");
}

// The first and last byte of each lead-byte range starts a character whose
// second byte may be "\".
TEST_F(Commands, RegistrationAcceptsIdsStartingWithEveryLeadByteEdge) {
  // FC 5C is a lead and a trail byte that code page 932 maps to no
  // character: no Windows file can be named with it, so the Windows build
  // (run under a launcher) refuses it as it refuses "/".
  const struct {
    const char* posted;
    std::string id;
    bool mapped;
  } rows[] = {{"%81%5C", "\x81\x5c", true},
              {"%9F%5C", "\x9f\x5c", true},
              {"%E0%5C", "\xe0\x5c", true},
              {"%FC%5C", "\xfc\x5c", false}};
  for (const auto& row : rows) {
    const bool stored = row.mapped || Launcher().empty();
    EXPECT_EQ(Post("session=s1&command=registration&id=" + std::string(row.posted) +
                   "&pw=abcde&pw2=abcde&realname=R&mail=m"),
              stored ? kRegistrationAccepted : ErrorPageFor(msg::kIdUnusable))
        << row.posted;
    if (stored) {
      EXPECT_EQ(Record(row.id), "id=" + row.id + "\r\npw=abcde\r\nrealname=R\r\ncountry=\r\nmail=m\r\n") << row.posted;
    } else {
      EXPECT_FALSE(site_.Exists("members/" + row.id + ".txt")) << row.posted;
    }
  }
}

TEST_F(Commands, RegistrationOfAnExistingIdLeavesItsRecord) {
  AddMember("u1", "id=u1\npw=old12\n");
  EXPECT_EQ(Post("session=s1&command=registration&id=u1&pw=abcde&pw2=abcde&realname=R&mail=m"),
            ErrorPageFor(msg::kIdAlreadyRegistered));
  EXPECT_EQ(Record("u1"), "id=u1\npw=old12\n");
}

// ---- password change ---------------------------------------------------------

TEST_F(Commands, ChangePwChecksInOrder) {
  AddMember("u1", kUser1Record);
  const std::string head = "session=s1&command=changepw&";
  EXPECT_EQ(Post(head + "id=u1&pw0=secret1&pw1=abcde"), ErrorPageFor(msg::kBlank));
  EXPECT_EQ(Post(head + "id=u2&pw0=secret1&pw1=a&pw2=b"), ErrorPageFor(msg::kIdDoesNotExist));
  EXPECT_EQ(Post(head + "id=u1&pw0=secret1&pw1=abcde&pw2=abcdf"), ErrorPageFor(msg::kNewPasswordMismatch));
  EXPECT_EQ(Post(head + "id=u1&pw0=secret1&pw1=abcd&pw2=abcd"), ErrorPageFor(msg::kPasswordTooShort));
  EXPECT_EQ(Post(head + "id=u1&pw0=Secret1&pw1=abcde&pw2=abcde"), ErrorPageFor(msg::kPasswordNotChanged));
  EXPECT_EQ(Record("u1"), kUser1Record);
}

TEST_F(Commands, ChangePwReplacesOnlyThePassword) {
  AddMember("u1", "id=u1\nPW=secret1\nnote without equals\nrealname=Alice\n");
  EXPECT_EQ(Post("session=s1&command=changepw&id=u1&pw0=secret1&pw1=fresh&pw2=fresh"), kRegistrationAccepted);
  EXPECT_EQ(Record("u1"), "id=u1\r\npw=fresh\r\nnote without equals\r\nrealname=Alice\r\n");
}

// ---- profile editing ---------------------------------------------------------

TEST_F(Commands, ProfileFormAnswers) {
  AddMember("u1", kUser1Record);
  EXPECT_EQ(Post("session=s1&command=changeprof1&id=u1"), ErrorPageFor(msg::kIdPasswordRequired));
  EXPECT_EQ(Post("session=s1&command=changeprof1e&pw=x"), ErrorPageFor(msg::kIdPasswordRequiredE));
  EXPECT_EQ(Post("session=s1&command=changeprof1&id=u2&pw=x"), ErrorPageFor(msg::kProfileIdMissing));
  EXPECT_EQ(Post("session=s1&command=changeprof1e&id=u2&pw=x"), ErrorPageFor(msg::kProfileIdMissingE));
  // A wrong password gives an empty page, not an error page.
  const Result wrong = site_.PostUrlEncoded("session=s1&command=changeprof1&id=u1&pw=wrong");
  EXPECT_EQ(Header(wrong).rfind("Status: 200 OK\r\nContent-Type: text/html\r\n", 0), 0u) << wrong.out;
  EXPECT_EQ(Content(wrong), "");

  const std::string ja = Post("session=s1&command=changeprof1&id=u1&pw=secret1");
  const std::string en = Post("session=s1&command=changeprof1e&id=u1&pw=secret1");
  for (const std::string* page : {&ja, &en}) {
    EXPECT_EQ(page->rfind("<!DOCTYPE html PUBLIC", 0), 0u);
    EXPECT_NE(page->find("<input type=hidden name=\"session\" value=\"s1\">\r\n"), std::string::npos);
    EXPECT_NE(page->find("name=\"realname\" size=\"20\" Value=\"Alice\"></td></tr>\r\n"), std::string::npos);
    EXPECT_NE(page->find("name=\"pw\" size=\"15\" Value=\"secret1\"></td></tr>\r\n"), std::string::npos);
    EXPECT_NE(page->find("<html lang=\"ja\">\r\n"), std::string::npos);
  }
  // <body bgcolor="#FFFFFF"><h4>■プロフィール変更</h4>
  EXPECT_NE(ja.find("<body bgcolor=\"#FFFFFF\"><h4>\x81\xa1\x83v\x83\x8d\x83t\x83"
                    "B\x81[\x83\x8b\x95\xcf\x8dX</h4>\r\n"),
            std::string::npos);
  EXPECT_NE(en.find("<body bgcolor=\"#FFFFFF\"><h4>Your Profile</h4>\r\n"), std::string::npos);
  EXPECT_NE(en.find("<input type=submit value=\"registration\">"), std::string::npos);
}

TEST_F(Commands, ProfileSaveAnswers) {
  AddMember("u1", kUser1Record);
  const std::string head = "session=s1&command=changeprof2&";
  EXPECT_EQ(Post(head + "id=u1&realname=X"), ErrorPageFor(msg::kIdPasswordRequired));
  EXPECT_EQ(Post(head + "id=u9&pw=secret1&realname=X"), ErrorPageFor(msg::kProfileIdMissing));
  EXPECT_EQ(Post(head + "id=u1&pw=secret2&realname=X"), ErrorPageFor(msg::kProfileNotChanged));
  EXPECT_EQ(Record("u1"), kUser1Record);
}

TEST_F(Commands, ProfileSaveAppendsInOrderDeletesEmptiedAndShowsTheProfile) {
  AddMember("u1", kUser1Record);
  const std::string saved =
      Post("session=s1&command=changeprof2&id=u1&pw=secret1&realname=Alice&mail=a%40x&country=JP"
           "&urlname3=t3&url2=http%3A%2F%2Fb&comment=Hi+there&url1=http%3A%2F%2Fa&urlname1=t1");
  EXPECT_EQ(Record("u1"), kUser1Record +
                              "comment=Hi&nbsp;there\r\nurl1=http://a\r\nurl2=http://b\r\nurlname1=t1\r\n"
                              "urlname3=t3\r\n");
  EXPECT_EQ(saved, Content(site_.Get("showuser=u1&session=s1")));
  EXPECT_NE(saved.find("Hi&nbsp;there"), std::string::npos);

  // Fields the post leaves empty or out lose their lines; the rest stay put.
  Post("session=s1&command=changeprof2&id=u1&pw=secret1&realname=Alicia&mail=a%40x&comment=Hi+there&url1=http%3A%2F%2Fa");
  EXPECT_EQ(Record("u1"), "id=u1\r\npw=secret1\r\nrealname=Alicia\r\nmail=a@x\r\ncomment=Hi&nbsp;there\r\n"
                          "url1=http://a\r\n");
}

// ---- hashed passwords and the failed-login log --------------------------------

// The pw value of a record ("<none>" without a pw line).
std::string StoredPw(const std::string& record) {
  const std::size_t at = record.find("\r\npw=");
  if (at == std::string::npos) return "<none>";
  const std::size_t from = at + 5;
  return record.substr(from, record.find("\r\n", from) - from);
}

// A session with PasswordHash=argon2id beside one without, sharing the
// members directory, and authlog set: every command that checks a password,
// with records in the clear and hashed, in one table of steps run in order.
TEST_F(Commands, HashingSessionStoresChecksUpgradesAndLogsFailures) {
  site_.SetUpSession("s1", "PasswordHash=argon2id\r\n");
  site_.WriteFile("sessions/s2.txt", "path=" + site_.Path("upload") + "\r\nmembersdb=" + site_.Path("members") + "\r\n");
  site_.WriteFile("config.txt", "sessiondb=" + site_.Path("sessions") + "\r\nauthlog=" + site_.Path("auth.log") + "\r\n");
  for (const char* id : {"u1", "u3", "u4", "u5", "c1"}) {
    AddMember(id, "id=" + std::string(id) + "\r\npw=secret1\r\nrealname=R\r\n");
  }
  const std::string hash = "$argon2id$v=19$m=19456,t=2,p=1$";
  const struct Step {
    std::string body;
    std::string page;      // the content, or a part of it when not `whole`
    bool whole;
    std::string id;        // the record whose pw is then looked at
    std::string pw;        // its pw value, or the start of it when it ends in "$"
    std::string logged;    // the failed-login line's tail, "" for none
  } steps[] = {
      {"session=s1&command=registration&id=u2&pw=abcde&pw2=abcde&realname=R&mail=m", kRegistrationAccepted, true,
       "u2", hash, ""},
      // A failed check leaves a clear record as it is; the first good one
      // rewrites it hashed, and the form shows the posted password.
      {"session=s1&command=changeprof1&id=u1&pw=secret2", "", true, "u1", "secret1", "changeprof1 id=u1"},
      {"session=s1&command=changeprof1&id=u1&pw=secret1", "name=\"pw\" size=\"15\" Value=\"secret1\">", false, "u1",
       hash, ""},
      {"session=s1&command=changeprof1e&id=u2&pw=abcde", "name=\"pw\" size=\"15\" Value=\"abcde\">", false, "u2",
       hash, ""},
      {"session=s1&command=changeprof1e&id=u9&pw=abcde", ErrorPageFor(msg::kProfileIdMissingE), true, "", "",
       "changeprof1e id=u9"},
      {"session=s1&command=changeprof2&id=u2&pw=abcdf&realname=X", ErrorPageFor(msg::kProfileNotChanged), true, "", "",
       "changeprof2 id=u2"},
      {"session=s1&command=changeprof2&id=u9&pw=abcde&realname=X", ErrorPageFor(msg::kProfileIdMissing), true, "", "",
       "changeprof2 id=u9"},
      {"session=s1&command=changeprof2&id=u2&pw=abcde&realname=Bob", "Bob", false, "u2", hash, ""},
      {"session=s1&command=changeprof2&id=u4&pw=secret1&realname=Dan", "Dan", false, "u4", hash, ""},
      {"session=s1&command=changepw&id=u2&pw0=abcdf&pw1=fresh2&pw2=fresh2", ErrorPageFor(msg::kPasswordNotChanged),
       true, "", "", "changepw id=u2"},
      {"session=s1&command=changepw&id=u9&pw0=abcde&pw1=fresh2&pw2=fresh2", ErrorPageFor(msg::kIdDoesNotExist), true,
       "", "", "changepw id=u9"},
      {"session=s1&command=changepw&id=u2&pw0=abcde&pw1=fresh2&pw2=fresh2", kRegistrationAccepted, true, "u2", hash,
       ""},
      {"session=s1&command=changeprof1&id=u2&pw=abcde", "", true, "", "", "changeprof1 id=u2"},
      {"session=s1&command=changeprof1&id=u2&pw=fresh2", "Value=\"fresh2\">", false, "", "", ""},
      {"session=s1&command=changepw&id=u5&pw0=secret1&pw1=fresh5&pw2=fresh5", kRegistrationAccepted, true, "u5", hash,
       ""},
      // postleaf: a good password gets as far as the missing attachment.
      {"session=s1&command=postleaf&id=u3&pw=secret2", ErrorPageFor(msg::kPasswordWrong), true, "u3", "secret1",
       "postleaf id=u3"},
      {"session=s1&command=postleaf&id=u9&pw=secret1", ErrorPageFor(msg::kMemberDoesNotExist), true, "", "",
       "postleaf id=u9"},
      {"session=s1&command=postleaf&id=u3&pw=secret1", ErrorPageFor(msg::kNoAttachedFile), true, "u3", hash, ""},
      // A value that could break the line is written escaped.
      {"session=s1&command=postleaf&id=a+b%09c%25&pw=x", ErrorPageFor(msg::kMemberDoesNotExist), true, "", "",
       "postleaf id=a&nbsp;b%09c%25"},
      // The session without the setting keeps passwords in the clear, and
      // checks the hashed ones too.
      {"session=s2&command=changeprof1&id=c1&pw=secret1", "Value=\"secret1\">", false, "c1", "secret1", ""},
      {"session=s2&command=registration&id=c2&pw=abcde&pw2=abcde&realname=R&mail=m", kRegistrationAccepted, true,
       "c2", "abcde", ""},
      {"session=s2&command=changepw&id=c2&pw0=abcde&pw1=fresh3&pw2=fresh3", kRegistrationAccepted, true, "c2",
       "fresh3", ""},
      {"session=s2&command=changeprof1&id=u1&pw=secret1", "Value=\"secret1\">", false, "u1", hash, ""},
      {"session=s2&command=changeprof1&id=u1&pw=secret2", "", true, "", "", "changeprof1 id=u1"},
  };
  std::string log_shape;
  int n = 0;
  for (const Step& step : steps) {
    const std::string addr = "192.0.2." + std::to_string(++n);
    auto [env, body] = UrlEncodedRequest(step.body);
    env["REMOTE_ADDR"] = addr;
    const std::string page = Content(site_.Run(env, body));
    if (step.whole) {
      EXPECT_EQ(page, step.page) << step.body;
    } else {
      EXPECT_NE(page.find(step.page), std::string::npos) << step.body << "\n" << page;
    }
    if (!step.id.empty()) {
      const std::string pw = StoredPw(Record(step.id));
      if (step.pw.ends_with("$")) {
        EXPECT_TRUE(pw.starts_with(step.pw)) << step.body << ": " << pw;
      } else {
        EXPECT_EQ(pw, step.pw) << step.body;
      }
    }
    if (!step.logged.empty()) {
      const std::string session = step.body.substr(8, 2);
      log_shape += "####-##-## ##:##:## orvalengate failed login from " + addr + " session=" + session + " command=" +
                   step.logged + "\n";
    }
  }
  // Without the server's REMOTE_ADDR a client's Remote-Addr header names no
  // address.
  auto [env, body] = UrlEncodedRequest("session=s1&command=changepw&id=u9&pw0=abcde&pw1=fresh2&pw2=fresh2");
  env["HTTP_REMOTE_ADDR"] = "198.51.100.1";
  site_.Run(env, body);
  log_shape += "####-##-## ##:##:## orvalengate failed login from - session=s1 command=changepw id=u9\n";
  const std::string log = site_.ReadFile("auth.log");
  EXPECT_TRUE(HasShape(log, log_shape)) << log << "\nexpected\n" << log_shape;
  // Checking the hashed u1 in the clear session did not turn it back.
  EXPECT_EQ(Record("u1"), "id=u1\r\npw=" + StoredPw(Record("u1")) + "\r\nrealname=R\r\n");
}

// Where the log cannot be written, the member's answer is the same and the
// error log says why.
TEST_F(Commands, UnwritableAuthLogFailsNoRequest) {
  site_.WriteFile("config.txt", "sessiondb=" + site_.Path("sessions") + "\r\nauthlog=" + site_.Path("nodir/auth.log") +
                                    "\r\n");
  AddMember("u1", kUser1Record);
  EXPECT_EQ(Post("session=s1&command=changepw&id=u1&pw0=wrong&pw1=fresh&pw2=fresh"),
            ErrorPageFor(msg::kPasswordNotChanged));
  EXPECT_TRUE(HasShape(site_.ReadFile("error.txt"), "########-##:##:##\r\nauthlog error\r\n"))
      << site_.ReadFile("error.txt");
}

// ---- file posting ------------------------------------------------------------

class Posting : public ::testing::Test {
 protected:
  void SetUpPosting(std::string_view extra) {
    site_.SetUpSession("s1", extra);
    site_.WriteFile("members/u1.txt", kUser1Record);
  }
  Result PostFile(const std::string& filename, const std::string& bytes, std::vector<Part> more = {}) const {
    std::vector<Part> parts = {Field("session", "s1"), Field("command", "postleaf"), Field("id", "u1"),
                               Field("pw", "secret1")};
    for (Part& p : more) parts.push_back(std::move(p));
    if (!filename.empty()) parts.push_back(Jpeg("img", filename, bytes));
    return site_.PostMultipart(parts);
  }
  std::vector<std::string> Uploads() const { return Visible(site_, "upload"); }

  Site site_;
};

TEST_F(Posting, ChecksInOrder) {
  SetUpPosting("");
  auto post = [&](std::vector<Part> parts) {
    parts.insert(parts.begin(), {Field("session", "s1"), Field("command", "postleaf")});
    return Content(site_.PostMultipart(parts));
  };
  EXPECT_EQ(post({Field("pw", "secret1"), Jpeg("img", "a.jpg", "J")}), ErrorPageFor(msg::kMemberDoesNotExist));
  EXPECT_EQ(post({Field("id", "u2"), Field("pw", "secret1"), Jpeg("img", "a.jpg", "J")}),
            ErrorPageFor(msg::kMemberDoesNotExist));
  EXPECT_EQ(post({Field("id", "u1"), Field("pw", "secret"), Jpeg("img", "a.jpg", "J")}),
            ErrorPageFor(msg::kPasswordWrong));
  EXPECT_EQ(post({Field("id", "u1"), Field("pw", "secret1"), Field("NoBLANK-title", ""), Jpeg("img", "a.jpg", "J")}),
            ErrorPageFor(msg::kBlank));
  EXPECT_EQ(post({Field("id", "u1"), Field("pw", "secret1"), Field("blank-title", "t")}),
            ErrorPageFor(msg::kNoAttachedFile));
  // Only a JPEG part is an attachment.
  EXPECT_EQ(post({Field("id", "u1"), Field("pw", "secret1"), Part{"img", "GIF", "a.gif", "image/gif"}}),
            ErrorPageFor(msg::kNoAttachedFile));
  EXPECT_EQ(Uploads(), std::vector<std::string>{});
}

TEST_F(Posting, RecordHoldsTheFieldsWithoutPassword) {
  SetUpPosting("nameorder=num3d\r\n");
  const std::string jpeg("\xff\xd8JPEG\r\n\x00tail", 13);
  const Result r = PostFile("a.jpg", jpeg, {Field("blank-title", "Sea view")});
  EXPECT_EQ(Content(r), kFileAccepted);
  EXPECT_EQ(Uploads(), (std::vector<std::string>{"001.jpg", "001.txt"}));
  EXPECT_EQ(site_.ReadFile("upload/001.jpg"), jpeg);
  EXPECT_EQ(site_.ReadFile("upload/001.txt"),
            "<tslkeys>\r\nsession=s1\r\nid=u1\r\nblank-title=Sea&nbsp;view\r\nimg=a.jpg\r\n\r\n</tslkeys>\r\n");
}

TEST_F(Posting, CounterStartsFromAMissingFile) {
  SetUpPosting("FileNameTemplate=img####\r\n");
  EXPECT_EQ(Content(PostFile("Photo.JPG", "J1")), kFileAccepted);
  EXPECT_EQ(Uploads(), (std::vector<std::string>{"counter.txt", "img0001.jpg", "img0001.txt"}));
  EXPECT_EQ(site_.ReadFile("upload/counter.txt"), "1\r\n");
  EXPECT_EQ(site_.ReadFile("upload/img0001.jpg"), "J1");
}

TEST_F(Posting, CounterSkipsPresentNames) {
  SetUpPosting("FileNameTemplate=img####\r\n");
  site_.WriteFile("upload/counter.txt", "41\r\n");
  site_.WriteFile("upload/img0042.jpg", "old");
  EXPECT_EQ(Content(PostFile("a.jpg", "J")), kFileAccepted);
  EXPECT_EQ(site_.ReadFile("upload/counter.txt"), "43\r\n");
  EXPECT_EQ(site_.ReadFile("upload/img0043.jpg"), "J");
  EXPECT_EQ(site_.ReadFile("upload/img0042.jpg"), "old");
  EXPECT_TRUE(site_.Exists("upload/img0043.txt"));
}

TEST_F(Posting, CounterBeyondTheTemplateAndAConfiguredCounterFile) {
  SetUpPosting("FileNameTemplate=####\r\nFileNameCounter=" + site_.Path("count.dat") + "\r\n");
  site_.WriteFile("count.dat", "  12344\r\n");
  EXPECT_EQ(Content(PostFile("a.jpeg", "J")), kFileAccepted);
  EXPECT_EQ(Uploads(), (std::vector<std::string>{"2345.jpeg", "2345.txt"}));
  EXPECT_EQ(site_.ReadFile("count.dat"), "12345\r\n");
}

TEST_F(Posting, CounterWithoutANumberFailsAndStoresNothing) {
  SetUpPosting("FileNameTemplate=img####\r\n");
  site_.WriteFile("upload/counter.txt", "seven\r\n");
  const Result r = PostFile("a.jpg", "J");
  EXPECT_EQ(Header(r).rfind("Status: 500", 0), 0u) << r.out;
  // 入力値が数値ではありません
  EXPECT_NE(r.out.find("\x93\xfc\x97\xcd\x92l\x82\xaa\x90\x94\x92l\x82\xc5\x82\xcd\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1"),
            std::string::npos);
  EXPECT_EQ(Uploads(), std::vector<std::string>{"counter.txt"});
  EXPECT_EQ(site_.ReadFile("upload/counter.txt"), "seven\r\n");
}

TEST_F(Posting, CounterThatCannotBeOpenedFailsAndStoresNothing) {
  SetUpPosting("FileNameTemplate=img####\r\nFileNameCounter=" + site_.Path("nodir/counter.txt") + "\r\n");
  const Result r = PostFile("a.jpg", "J");
  EXPECT_EQ(Header(r).rfind("Status: 500", 0), 0u) << r.out;
  EXPECT_EQ(Uploads(), std::vector<std::string>{});
}

TEST_F(Posting, NoFreeNameLeftIsAnsweredAndTheCounterStays) {
  const struct {
    std::string templ, counter, taken;
  } rows[] = {
      {"only", "3\r\n", "only.txt"},
      // The counter's last number: it never wraps to a negative one.
      {"img####", "2147483647\r\n", ""},
  };
  for (const auto& row : rows) {
    site_.Remove("upload");
    SetUpPosting("FileNameTemplate=" + row.templ + "\r\n");
    site_.WriteFile("upload/counter.txt", row.counter);
    if (!row.taken.empty()) site_.WriteFile("upload/" + row.taken, "someone else's");
    const Result r = PostFile("a.jpg", "J");
    EXPECT_EQ(r.exit_code, 0) << row.counter;
    EXPECT_EQ(Content(r), ErrorPageFor(msg::kNoFreeFileName)) << row.counter;
    EXPECT_EQ(site_.ReadFile("upload/counter.txt"), row.counter);
    std::vector<std::string> left = {"counter.txt"};
    if (!row.taken.empty()) left.push_back(row.taken);
    EXPECT_EQ(Uploads(), left) << row.counter;
  }
}

TEST_F(Posting, Num3dReusesTheFirstGap) {
  SetUpPosting("nameorder=num3d\r\n");
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(Content(PostFile("a.jpg", "J" + std::to_string(i))), kFileAccepted);
  EXPECT_EQ(site_.ReadFile("upload/003.jpg"), "J3");
  EXPECT_EQ(Content(PostFile("a.jpg", "J4")), kFileAccepted);
  EXPECT_EQ(site_.ReadFile("upload/004.jpg"), "J4");
  site_.Remove("upload/002.jpg");
  site_.Remove("upload/002.txt");
  EXPECT_EQ(Content(PostFile("a.jpg", "J5")), kFileAccepted);
  EXPECT_EQ(site_.ReadFile("upload/002.jpg"), "J5");
  // A record of another post holding 005 keeps that name from this one.
  site_.WriteFile("upload/005.txt", "other");
  EXPECT_EQ(Content(PostFile("a.jpg", "J6")), kFileAccepted);
  EXPECT_EQ(site_.ReadFile("upload/006.jpg"), "J6");
  EXPECT_EQ(site_.ReadFile("upload/005.txt"), "other");
}

TEST_F(Posting, Num3dAnswersWhenAllThousandNamesAreTaken) {
  SetUpPosting("nameorder=num3d\r\n");
  for (int i = 0; i < 1000; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "upload/%03d.txt", i);
    site_.WriteFile(name, "");
  }
  EXPECT_EQ(Content(PostFile("a.jpg", "J")), ErrorPageFor(msg::kNoFreeFileName));
  EXPECT_EQ(Uploads().size(), 1000u);
}

TEST_F(Posting, UploadsNeverKeepAnExtensionThatCouldRun) {
  SetUpPosting("nameorder=num3d\r\n");
  const char* names[] = {"x.php", "x.html", "x.svg", "x.txt", "x.PJPEG", "noext"};
  for (const char* name : names) EXPECT_EQ(Content(PostFile(name, name)), kFileAccepted) << name;
  EXPECT_EQ(Uploads(), (std::vector<std::string>{"001.jpg", "001.txt", "002.jpg", "002.txt", "003.jpg", "003.txt",
                                                 "004.jpg", "004.txt", "005.pjpeg", "005.txt", "006", "006.txt"}));
  EXPECT_EQ(site_.ReadFile("upload/004.jpg"), "x.txt");
  // The record still names the file as it was posted.
  EXPECT_NE(site_.ReadFile("upload/001.txt").find("img=x.php\r\n"), std::string::npos);
}

TEST_F(Posting, DefaultFileStandsInForAMissingAttachment) {
  SetUpPosting("nameorder=num3d\r\nDefaultImgFile=" + std::string("defaults/Blank.PNG") + "\r\n");
  site_.WriteFile("defaults/Blank.PNG", "PNGDATA");
  EXPECT_EQ(Content(PostFile("", "")), kFileAccepted);
  EXPECT_EQ(Uploads(), (std::vector<std::string>{"001.png", "001.txt"}));
  EXPECT_EQ(site_.ReadFile("upload/001.png"), "PNGDATA");
  EXPECT_EQ(site_.ReadFile("upload/001.txt"), "<tslkeys>\r\nsession=s1\r\nid=u1\r\n\r\n</tslkeys>\r\n");
  // An empty default file is no attachment.
  site_.WriteFile("defaults/Blank.PNG", "");
  EXPECT_EQ(Content(PostFile("", "")), ErrorPageFor(msg::kNoAttachedFile));
}

TEST_F(Posting, DefaultFileNamedTxtIsStoredAsJpg) {
  SetUpPosting("nameorder=num3d\r\nDefaultImgFile=defaults/blank.txt\r\n");
  site_.WriteFile("defaults/blank.txt", "D");
  EXPECT_EQ(Content(PostFile("", "")), kFileAccepted);
  EXPECT_EQ(Uploads(), (std::vector<std::string>{"001.jpg", "001.txt"}));
}

// "yyyymmdd-hhmmss-zzz" of a moment given in milliseconds since the epoch.
std::string StampAt(long long ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm t{};
  localtime_r(&seconds, &t);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d-%02d%02d%02d-%03lld", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec, ms % 1000);
  return buf;
}

TEST_F(Posting, TimeStampNamesGetSuffixesWhenTaken) {
  SetUpPosting("");
  // The post's own stamp cannot be known beforehand: every stamp of a window
  // is taken, bare and with 000, and the post sent at its start must use
  // 001. The window starts once its files are made; a machine too loaded to
  // make them in time, or to run the post within the window, gets another
  // try with more time for each (never a limit a loaded machine outruns).
  const auto now_ms = [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  Env env;
  if (const char* tz = std::getenv("TZ")) env["TZ"] = tz;  // the same local clock as ours
  const std::string body = MultipartBody({Field("session", "s1"), Field("command", "postleaf"), Field("id", "u1"),
                                          Field("pw", "secret1"), Jpeg("img", "a.jpg", "NEW")});
  Env post = PostEnv("multipart/form-data; boundary=----orvalengateB0undary", body.size());
  post.insert(env.begin(), env.end());
  std::vector<std::string> before, added;
  long long lead = 1000, window = 4000;
  for (int attempt = 1; added.empty() || added[0].size() != 19u + 3u + 4u; ++attempt) {
    ASSERT_LE(attempt, 6) << "no post ran within its window of taken stamps";
    for (const std::string& name : added) site_.Remove("upload/" + name);
    const long long begun = now_ms(), from = begun + lead;
    for (long long ms = from; ms < from + window; ++ms) {
      const std::string stamp = StampAt(ms);
      for (const std::string& name : {stamp + ".jpg", stamp + "000.txt"}) {
        const int fd = ::open(site_.Path("upload/" + name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
      }
    }
    added.clear();
    if (now_ms() >= from) {
      lead = 2 * (now_ms() - begun);
      continue;
    }
    before = Uploads();
    std::this_thread::sleep_for(std::chrono::milliseconds(std::max(0LL, from - now_ms())));
    const Result r = site_.Run(post, body);
    ASSERT_EQ(Content(r), kFileAccepted);
    for (const std::string& name : Uploads()) {
      if (!std::binary_search(before.begin(), before.end(), name)) added.push_back(name);
    }
    ASSERT_EQ(added.size(), 2u);
    window *= 2;
  }
  // yyyymmdd-hhmmss-zzz001.jpg
  ASSERT_EQ(added[0].size(), 19u + 3u + 4u) << added[0];
  EXPECT_EQ(added[0].substr(19), "001.jpg");
  EXPECT_EQ(added[1], added[0].substr(0, 22) + ".txt");
  EXPECT_TRUE(std::binary_search(before.begin(), before.end(), added[0].substr(0, 19) + ".jpg"));
  EXPECT_EQ(site_.ReadFile("upload/" + added[0]), "NEW");
  EXPECT_EQ(site_.ReadFile("upload/" + added[0].substr(0, 19) + ".jpg"), "");  // the taken names stay as they were
}

TEST_F(Posting, TimeStampNameIsTheBareStampWhenFree) {
  SetUpPosting("");
  EXPECT_EQ(Content(PostFile("a.jpg", "J")), kFileAccepted);
  const std::vector<std::string> names = Uploads();
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0].size(), 19u + 4u) << names[0];
  EXPECT_EQ(names[0].substr(8, 1), "-");
  EXPECT_EQ(names[1], names[0].substr(0, 19) + ".txt");
}

}  // namespace
}  // namespace blackbox
