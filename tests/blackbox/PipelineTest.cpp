// The member service's request pipeline seen from the web server: the
// configuration and session checks, dumps, the profile view, and requests
// that try to reach files outside their directories.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Cp932.h"
#include "Harness.h"

namespace blackbox {
namespace {

namespace fs = std::filesystem;

// The program answers in Shift_JIS; the expectations are kept readable.
using testing_texts::Sjis;

std::string ErrorPage(std::string_view message) {
  return "<html><head><title>error</title>\r\n"
         "<META http-equiv=\"Content-Type\" content=\"text/html; charset=Shift_JIS\"></head>\r\n"
         "<body><h3>ERROR: " +
         std::string(message) + "</h3>\r\n</body></html>\r\n";
}

// "no data データがありません" in Shift_JIS, spelled out byte by byte.
const std::string kNoData = "no data \x83\x66\x81\x5B\x83\x5E\x82\xAA\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1";
const std::string kSessionMissing = Sjis("The session does not exist. セッションが存在しません");
const std::string kMembersDbMissing = Sjis("MemberDB does not exist. メンバーデータが存在しません");

Part Field(std::string name, std::string value) { return Part{std::move(name), std::move(value), "", ""}; }

std::string Content(const Result& r) {
  EXPECT_EQ(r.exit_code, 0);
  auto [header, content] = SplitAnswer(r.out);
  EXPECT_EQ(header.rfind("Status: 200 OK\r\nContent-Type: text/html\r\n", 0), 0u) << r.out;
  return content;
}

const std::string kHead =
    "<!DOCTYPE html PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\" \"http://www.w3.org/TR/html4/loose.dtd\">"
    "<html lang=\"ja\"> <head><title>Profile <#filename></title>"
    "<META http-equiv=\"Content-Type\" content=\"text/html; charset=Shift_JIS\"><base target=\"_self\"></head><body>\r\n";
std::string Row(const std::string& label, const std::string& value) {
  return "<tr><td width=\"6%\" bgcolor=\"#999999\" align=\"left\"><font size=\"2\" color=\"#F0F0F0\"><b>\r\n" + label +
         "\r\n</b></font></td><td width=\"90%\" bgcolor=\"#CCCCCC\" align=\"left\"><font size=\"2\">\r\n" + value +
         "</font></td></tr>\r\n";
}
std::string Link(const std::string& href, const std::string& shown) {
  return "<a href=\"" + href + "\"  target=\"_blank\"> " + shown + "</a>";
}
std::string ProfilePage(const std::string& id, const std::string& rows) {
  return kHead + "<table border=\"0\" width=\"100%\" cellspacing=\"1\" cellpadding=\"2\">\r\n" + Row("id", id) + rows +
         "</table></body></html>\r\n";
}

void ExpectLogEntry(const Site& site) {
  const std::string log = site.ReadFile("error.txt");
  EXPECT_TRUE(HasShape(log, "########-##:##:##\r\nsessiondb error\r\n")) << log;
}

TEST(Pipeline, MissingConfigAnswersEmptyAndLogs) {
  Site site;
  const Result first = site.Get("");
  EXPECT_EQ(Content(first), "");
  ExpectLogEntry(site);
  // A posted request fares no better, and the log keeps one entry.
  EXPECT_EQ(Content(site.PostUrlEncoded("session=s1&command=registration")), "");
  ExpectLogEntry(site);
}

TEST(Pipeline, ConfigKeyCaseAndFirstLine) {
  Site site;
  site.SetUpSession();
  site.WriteFile("config.txt", "SESSIONDB=" + site.Path("sessions") + "\r\n");
  EXPECT_EQ(Content(site.Get("")), ErrorPage(kNoData));
  EXPECT_FALSE(site.Exists("error.txt"));

  site.WriteFile("config.txt", " sessiondb=" + site.Path("sessions") + "\r\n");
  EXPECT_EQ(Content(site.Get("")), "");
  ExpectLogEntry(site);

  site.Remove("error.txt");
  site.WriteFile("config.txt", "sessiondb=" + site.Path("gone") + "\r\nsessiondb=" + site.Path("sessions") + "\r\n");
  EXPECT_EQ(Content(site.Get("")), "");
  ExpectLogEntry(site);
}

TEST(Pipeline, SessionAndMembersDirectories) {
  Site site;
  site.SetUpSession();
  EXPECT_EQ(Content(site.PostUrlEncoded("session=nosuch&command=registration")), ErrorPage(kSessionMissing));
  site.WriteFile("sessions/nopath.txt", "path=" + site.Path("missing") + "\r\nmembersdb=" + site.Path("members") + "\r\n");
  EXPECT_EQ(Content(site.PostUrlEncoded("session=nopath&command=registration")), ErrorPage(kSessionMissing));
  site.WriteFile("sessions/nomembers.txt", "path=" + site.Path("upload") + "\r\n");
  EXPECT_EQ(Content(site.PostUrlEncoded("session=nomembers&command=registration")), ErrorPage(kMembersDbMissing));
  site.Remove("members");
  EXPECT_EQ(Content(site.PostMultipart({Field("session", "s1"), Field("command", "changepw")})), ErrorPage(kMembersDbMissing));
}

TEST(Pipeline, NoDataAndUnknownCommands) {
  Site site;
  site.SetUpSession();
  EXPECT_EQ(Content(site.Get("")), ErrorPage(kNoData));
  EXPECT_EQ(Content(site.Get("showuser=alice")), ErrorPage(kNoData));  // half a profile query is a post
  EXPECT_EQ(Content(site.PostUrlEncoded("")), ErrorPage(kNoData));
  for (const char* command : {"Registration", "registration+", "POSTLEAF", "", "nothing"}) {
    EXPECT_EQ(Content(site.PostUrlEncoded(std::string("session=s1&command=") + command)), "") << command;
  }
  EXPECT_EQ(site.List("members"), std::vector<std::string>{});
}

TEST(Pipeline, DumpsHoldTheBodyByteForByte) {
  Site site;
  site.SetUpSession("s1", "", true);
  const std::string body = MultipartBody({Field("session", "s1"), Field("command", "none"), Field("note", "\x82\xA0 a&b")});
  Content(site.Run(PostEnv("multipart/form-data; boundary=----orvalengateB0undary", body.size()), body));
  const std::vector<std::string> days = site.List("dump");
  ASSERT_EQ(days.size(), 1u);
  EXPECT_TRUE(HasShape(days[0], "########")) << days[0];
  const std::vector<std::string> dumps = site.List("dump/" + days[0]);
  ASSERT_EQ(dumps.size(), 1u);
  EXPECT_TRUE(HasShape(dumps[0], "########-######-###.txt")) << dumps[0];
  EXPECT_EQ(site.ReadFile("dump/" + days[0] + "/" + dumps[0]), body);

  // Requests answered with an error are dumped too, an empty body as an empty file.
  site.Remove("dump");
  site.MakeDir("dump");
  EXPECT_EQ(Content(site.Get("")), ErrorPage(kNoData));
  const std::vector<std::string> after = site.AllFiles();
  std::vector<std::string> dumped;
  for (const auto& f : after) {
    if (f.rfind("dump/", 0) == 0) dumped.push_back(f);
  }
  ASSERT_EQ(dumped.size(), 1u);
  EXPECT_EQ(site.ReadFile(dumped[0]), "");

  // A dump root that does not exist means no dumps; it is not created.
  site.Remove("dump");
  EXPECT_EQ(Content(site.Get("")), ErrorPage(kNoData));
  EXPECT_FALSE(site.Exists("dump"));
}

TEST(Pipeline, ProfileViewWithAndWithoutRecord) {
  Site site;
  site.SetUpSession("s1", "", true);
  site.WriteFile("members/alice.txt",
                 "id=alice\r\npw=secret\r\nrealname=Alice&nbsp;Liddell\r\ncountry=UK\r\nmail=a@example.com\r\n"
                 "comment=hello&lt;b&gt;\r\nurl1=http://a.example/\r\nurlname1=Home\r\n");
  const std::string rows = Row("name", "Alice&nbsp;Liddell") + Row("country", "UK") + Row("profile", "hello&lt;b&gt;") +
                           Row("Home", Link("http://a.example/", "http://a.example/")) + Row("", Link("", "")) +
                           Row("", Link("", ""));
  EXPECT_EQ(Content(site.Get("showuser=alice&session=s1")), ProfilePage("alice", rows));
  EXPECT_EQ(Content(site.Get("showuser=bob&session=s1")), "");
  EXPECT_EQ(Content(site.Get("showuser=alice&session=nosuch")), "");
  // No body is read and nothing is dumped for a profile view.
  EXPECT_EQ(site.List("dump"), std::vector<std::string>{});
}

TEST(Pipeline, ProfileViewNeverWritesScriptLinks) {
  Site site;
  site.SetUpSession();
  site.WriteFile("members/mallory.txt",
                 "url1=JaVaScRiPt:alert(1)\r\nurlname1=a\r\nurl2=&nbsp;java&nbsp;script:alert(1)\r\nurlname2=b\r\n"
                 "url3=https://ok.example/javascript:\r\nurlname3=c\r\n");
  const std::string rows = Row("name", "") + Row("country", "") + Row("profile", "") +
                           Row("a", Link("", "JaVaScRiPt:alert(1)")) +
                           Row("b", Link("", "&nbsp;java&nbsp;script:alert(1)")) +
                           Row("c", Link("https://ok.example/javascript:", "https://ok.example/javascript:"));
  EXPECT_EQ(Content(site.Get("showuser=mallory&session=s1")), ProfilePage("mallory", rows));
}

// A stray Shift_JIS lead byte must not shield markup from escaping: a
// browser drops the stray byte and would read the "<" as a tag.
TEST(Pipeline, StrayLeadBytesDoNotSmuggleMarkupIntoAProfile) {
  Site site;
  site.SetUpSession();
  const Result r = site.PostUrlEncoded(
      "session=s1&command=registration&id=bob&pw=secret&pw2=secret&mail=b@example.com"
      "&realname=%82<img%09src=x%09onerror=alert(1)//%82>");
  ASSERT_NE(Content(r).find("Registration acceptance"), std::string::npos) << r.out;
  EXPECT_EQ(site.ReadFile("members/bob.txt"),
            "id=bob\r\npw=secret\r\nrealname=\x82&lt;img\tsrc=x\tonerror=alert(1)//\x82&gt;\r\ncountry=\r\n"
            "mail=b@example.com\r\n");
  const std::string page = Content(site.Get("showuser=bob&session=s1"));
  EXPECT_NE(page.find("\x82&lt;img"), std::string::npos) << page;
  EXPECT_EQ(page.find("<img"), std::string::npos);
}

TEST(Pipeline, SessionNamesStayInTheSessionsDirectory) {
  Site site;
  site.SetUpSession();
  // Settings beside the sessions directory that would open a real session.
  const std::string settings = "path=" + site.Path("upload") + "\r\nmembersdb=" + site.Path("members") + "\r\n";
  site.WriteFile("x.txt", settings);
  site.WriteFile("sessions/x", settings);  // what a name cut at a NUL byte would open
  site.WriteFile("members/alice.txt", "realname=Alice\r\n");
  EXPECT_EQ(Content(site.PostUrlEncoded("session=..%2Fx&command=registration&id=zed&pw=secret1&pw2=secret1"
                                        "&realname=Z&mail=z%40example.com")),
            ErrorPage(kSessionMissing));
  EXPECT_EQ(Content(site.PostUrlEncoded("session=..%5Cx&command=registration")), ErrorPage(kSessionMissing));
  EXPECT_EQ(Content(site.PostUrlEncoded("session=x%00&command=registration")), ErrorPage(kSessionMissing));
  // The profile view goes on without members.
  EXPECT_EQ(Content(site.Get("showuser=alice&session=..%2Fx")), "");
  EXPECT_EQ(site.List("members"), std::vector<std::string>{"alice.txt"});
}

TEST(Pipeline, MemberIdsStayInTheMembersDirectory) {
  Site site;
  site.SetUpSession();
  const std::string stem = "orvalengate-evil-" + std::to_string(::getpid());
  site.WriteFile("outside.txt", "realname=Outside\r\n");
  site.WriteFile("members/a.txt", "realname=A\r\n");
  site.WriteFile("members/a\\b.txt", "realname=AB\r\n");
  const std::vector<std::string> files = site.AllFiles();

  for (const std::string id : {"../outside", "..%2Foutside", "a%5Cb", "a%2500", "a%250Ab"}) {
    EXPECT_EQ(Content(site.Get("showuser=" + id + "&session=s1")), "") << id;
  }
  const std::string unusable = Sjis("The ID contains characters that cannot be used. ＩＤに使用できない文字が含まれています");
  const std::vector<std::string> posted = {"..%2F..%2F" + stem, "..%2F..%2Fetc%2Fpasswd", "a%5Cb", "a%00b"};
  for (const std::string& id : posted) {
    EXPECT_EQ(Content(site.PostUrlEncoded("session=s1&command=registration&id=" + id +
                                          "&pw=secret1&pw2=secret1&realname=Eve&mail=e%40example.com&country=JP")),
              ErrorPage(unusable))
        << id;
  }
  EXPECT_EQ(site.AllFiles(), files);
  const fs::path parent = fs::path(site.Dir()).parent_path();
  EXPECT_FALSE(fs::exists(parent / (stem + ".txt")));
  EXPECT_FALSE(fs::exists(parent / "etc" / "passwd.txt"));
}

TEST(Pipeline, SecondByteBackslashIdIsAnOrdinaryMember) {
  Site site;
  site.SetUpSession();
  // 表示: its first character ends in the byte 0x5C.
  const std::string id = "\x95\x5C\x8E\xA6";
  site.WriteFile("members/" + id + ".txt", "realname=Hyouji\r\n");
  const std::string page = Content(site.Get("showuser=%95%5C%8E%A6&session=s1"));
  EXPECT_EQ(page, ProfilePage(id, Row("name", "Hyouji") + Row("country", "") + Row("profile", "") +
                                      Row("", Link("", "")) + Row("", Link("", "")) + Row("", Link("", ""))));
}

}  // namespace
}  // namespace blackbox
