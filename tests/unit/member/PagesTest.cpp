#include "pages/Pages.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "Cp932.h"
#include "MemberTexts.h"
#include "PageTexts.h"
#include "PipelineTestSupport.h"
#include "RecordTexts.h"

namespace {

using namespace pipeline_test;

const std::string kMeta = "<META http-equiv=\"Content-Type\" content=\"text/html; charset=Shift_JIS\"></head>\r\n";

TEST(MemberTexts, EveryTextConvertsBackToItsSpelling) {
  testing_texts::ExpectAllTextsRoundTrip(member::texts::kAllTexts);
  testing_texts::ExpectAllTextsRoundTrip(pages::texts::kAllTexts);
  testing_texts::ExpectAllTextsRoundTrip(records::texts::kAllTexts);
}

TEST(ResultPages, ErrorPageBytes) {
  const std::string empty = pages::ErrorPage("");
  EXPECT_EQ(empty.size(), 154u);
  EXPECT_EQ(empty, "<html><head><title>error</title>\r\n" + kMeta + "<body><h3>ERROR: </h3>\r\n</body></html>\r\n");
  EXPECT_EQ(pages::ErrorPage("a<b>&c"),
            "<html><head><title>error</title>\r\n" + kMeta + "<body><h3>ERROR: a<b>&c</h3>\r\n</body></html>\r\n");
  // "no data データがありません"
  const std::string no_data = "no data \x83\x66\x81\x5B\x83\x5E\x82\xAA\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1";
  EXPECT_EQ(member::texts::NoData, no_data);
  EXPECT_EQ(pages::ErrorPage(member::texts::NoData).size(), 180u);
}

TEST(ResultPages, FileAcceptedPageBytes) {
  const std::string page = pages::FileAcceptedPage();
  EXPECT_EQ(page.size(), 191u);
  EXPECT_EQ(page, "<html><head><title>File acceptance</title>\r\n" + kMeta +
                      "<body><h3>ACCEPTED. "
                      "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xF0\x8E\xF3\x82\xAF\x95\x74\x82\xAF\x82\xDC\x82\xB5\x82\xBD"
                      "</h3>\r\n</body></html>\r\n");
}

TEST(ResultPages, RegistrationAcceptedPageBytes) {
  const std::string page = pages::RegistrationAcceptedPage();
  EXPECT_EQ(page.size(), 277u);
  EXPECT_EQ(page, "<html><head><title>Registration acceptance</title>\r\n" + kMeta +
                      "<body><h3>ACCEPTED. "
                      "\x93\x6F\x98\x5E\x82\xF0\x8E\xF3\x82\xAF\x95\x74\x82\xAF\x82\xDC\x82\xB5\x82\xBD"
                      "</h3>\r\n"
                      "<form><input type=\"button\" value=\"close \x95\xC2\x82\xB6\x82\xE9\" "
                      "onclick=\"window.close()\"></form>\r\n"
                      "</body></html>\r\n");
}

const std::string kHead =
    "<!DOCTYPE html PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\" \"http://www.w3.org/TR/html4/loose.dtd\">"
    "<html lang=\"ja\"> <head><title>Profile <#filename></title>"
    "<META http-equiv=\"Content-Type\" content=\"text/html; charset=Shift_JIS\"><base target=\"_self\"></head><body>\r\n";
const std::string kRowStart =
    "<tr><td width=\"6%\" bgcolor=\"#999999\" align=\"left\"><font size=\"2\" color=\"#F0F0F0\"><b>\r\n";
const std::string kCell = "</b></font></td><td width=\"90%\" bgcolor=\"#CCCCCC\" align=\"left\"><font size=\"2\">\r\n";
const std::string kRowEnd = "</font></td></tr>\r\n";

std::string Row(const std::string& label, const std::string& value) {
  return kRowStart + label + "\r\n" + kCell + value + kRowEnd;
}
std::string LinkRow(const std::string& title, const std::string& href, const std::string& shown) {
  return kRowStart + title + "\r\n" + kCell + "<a href=\"" + href + "\"  target=\"_blank\"> " + shown + "</a>" + kRowEnd;
}
std::string Page(const std::string& rows) {
  return kHead + "<table border=\"0\" width=\"100%\" cellspacing=\"1\" cellpadding=\"2\">\r\n" + rows +
         "</table></body></html>\r\n";
}

class ProfilePageTest : public ::testing::Test {
 protected:
  std::string Members() const { return dir_.Path("members/"); }
  void Record(std::string_view id, std::string_view bytes) const { WriteBytes(Members() + std::string(id) + ".txt", bytes); }
  ScratchDir dir_;
};

TEST_F(ProfilePageTest, FullRecordByteForByte) {
  Record("alice",
         "id=someone-else\r\npw=secret\r\nREALNAME=Alice&nbsp;A\r\nrealname=second\r\ncountry=JP\r\nmail=a@b\r\n"
         "comment=a&nbsp;b&lt;i&gt;\r\nurl1=http://a.example/\r\nurlname1=Home\r\nurl2=https://b.example/x?y=1\r\n"
         "urlname2=\x83\x75\x83\x8D\x83\x4F\r\nurl3=ftp://c.example/\r\nurlname3=Files\r\n");
  EXPECT_EQ(pages::ProfilePage(Members(), "alice"),
            Page(Row("id", "alice") + Row("name", "Alice&nbsp;A") + Row("country", "JP") +
                 Row("profile", "a&nbsp;b&lt;i&gt;") + LinkRow("Home", "http://a.example/", "http://a.example/") +
                 LinkRow("\x83\x75\x83\x8D\x83\x4F", "https://b.example/x?y=1", "https://b.example/x?y=1") +
                 LinkRow("Files", "ftp://c.example/", "ftp://c.example/")));
}

TEST_F(ProfilePageTest, MissingFieldsGiveEmptyRowsAndLinks) {
  Record("bob", "realname=Bob\r\ncountry=US\r\ncomment=hi\r\n");
  EXPECT_EQ(pages::ProfilePage(Members() + "../members", "bob"),
            Page(Row("id", "bob") + Row("name", "Bob") + Row("country", "US") + Row("profile", "hi") +
                 LinkRow("", "", "") + LinkRow("", "", "") + LinkRow("", "", "")));
}

TEST_F(ProfilePageTest, NoRecordNoPage) {
  Record("alice", "realname=A\r\n");
  EXPECT_EQ(pages::ProfilePage(Members(), "bob"), "");
  EXPECT_EQ(pages::ProfilePage(Members(), "Alice"), "");  // the file system decides letter case
  std::filesystem::create_directories(Members() + "dir.txt");
  EXPECT_EQ(pages::ProfilePage(Members(), "dir"), "");
}

TEST_F(ProfilePageTest, UnusableIdsNeverReachOtherFiles) {
  WriteBytes(dir_.Path("outside.txt"), "realname=x\r\n");
  Record("a\\b", "realname=x\r\n");
  EXPECT_EQ(pages::ProfilePage(Members(), "../outside"), "");
  EXPECT_EQ(pages::ProfilePage(Members(), "a\\b"), "");
  EXPECT_EQ(pages::ProfilePage(Members(), std::string("alice\0", 6)), "");
  // A second byte 0x5C is part of the ID, not a delimiter.
  Record("\x95\x5C\x8E\xA6", "realname=x\r\n");
  EXPECT_NE(pages::ProfilePage(Members(), "\x95\x5C\x8E\xA6"), "");
}

TEST_F(ProfilePageTest, EmptyDirectoryNeverReadsTheRoot) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs to write a file in /";
  const std::string name = "orvalengate-pages-test-" + std::to_string(::getpid());
  WriteBytes("/" + name + ".txt", "realname=root\r\n");
  const std::string page = pages::ProfilePage("", name);
  std::filesystem::remove("/" + name + ".txt");
  EXPECT_EQ(page, "");
}

TEST_F(ProfilePageTest, ScriptLinksGetNoAddress) {
  const std::string scripts[] = {
      "javascript:alert(1)",  "JaVaScRiPt:alert(1)", "\tjavascript:alert(1)", "&nbsp;java&nbsp;script:alert(1)",
      "&NBSP;javascript:x",   "vbscript:msgbox(1)",  "VBScript:x",            "data:text/html,&lt;b&gt;",
      " DATA:text/html,x",    "java\x01script:x",    "java\x7fscript:x",      "jav&Tab;ascript:x",
  };
  for (const std::string& address : scripts) {
    Record("evil", "url1=" + address + "\r\nurlname1=t\r\n");
    const std::string page = pages::ProfilePage(Members(), "evil");
    EXPECT_NE(page.find(LinkRow("t", "", address)), std::string::npos) << address;
  }
}

TEST_F(ProfilePageTest, OrdinaryLinksStayAsStored) {
  const std::string ordinary[] = {
      "http://a.example/javascript:x", "javascript", "https://x.example/?q=data:", "mailto:a@b.example",
      "java-script:x",                 "/relative",  "&amp;javascript:x",          "datax:y",
  };
  for (const std::string& address : ordinary) {
    Record("ok", "url2=" + address + "\r\nurlname2=t\r\n");
    const std::string page = pages::ProfilePage(Members(), "ok");
    EXPECT_NE(page.find(LinkRow("t", address, address)), std::string::npos) << address;
  }
}

// A title cut to a length ends whole: never inside "<br>", a reference or
// a double-byte character; whole markup and bare "&" stay.
TEST(ResultPages, WithoutCutEndKeepsOnlyWholeMarkup) {
  const std::pair<std::string, std::string> cases[] = {
      {"ab<br", "ab"},          {"ab<", "ab"},          {"ab<br>", "ab<br>"},    {"a<br>b<b", "a<br>b"},
      {"x&amp", "x"},           {"x&", "x"},            {"x&#12354", "x"},       {"x&amp;", "x&amp;"},
      {"x&#12354;y", "x&#12354;y"}, {"a & b", "a & b"}, {"a&b<br", "a&b"},       {"&nbsp;&lt;", "&nbsp;&lt;"},
      {"\x82\xa0\x82", "\x82\xa0"}, {"\x82\xa0<b\x82", "\x82\xa0"}, {"", ""},
  };
  for (const auto& [stored, kept] : cases) EXPECT_EQ(pages::WithoutCutEnd(stored), kept) << stored;
}

}  // namespace
