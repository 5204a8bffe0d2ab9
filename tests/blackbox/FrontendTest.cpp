// The CGI contract seen from the web server's side: header block or not,
// silence for foreign paths, exit code 0 (also when nobody reads the answer).
#include <gtest/gtest.h>

#include <algorithm>

#include "Harness.h"

namespace blackbox {
namespace {

const std::string kEmptyPageHeader = "Status: 200 OK\r\nContent-Type: text/html\r\nContent:\r\n\r\n";

TEST(CgiContract, EmptyPathInfoGetsHeaderBlock) {
  Site site;  // no config.txt: the handler answers with an empty page
  Result r = site.Run({{"SERVER_PROTOCOL", "HTTP/1.1"}, {"REQUEST_METHOD", "GET"}, {"PATH_INFO", ""}});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, kEmptyPageHeader);
}

TEST(CgiContract, NonEmptyPathInfoWritesNothing) {
  Site site;
  site.SetUpSession();
  Result r = site.Run({{"SERVER_PROTOCOL", "HTTP/1.1"}, {"PATH_INFO", "/x"}});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
  // HTTP_PATH_INFO stands in for an empty PATH_INFO.
  r = site.Run({{"SERVER_PROTOCOL", "HTTP/1.1"}, {"HTTP_PATH_INFO", "/a"}});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
}

TEST(CgiContract, EmptyProtocolWritesOnlyContent) {
  Site site;
  site.SetUpSession();
  Result r = site.Run({{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "0"}});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out.rfind("<html><head><title>error</title>", 0), 0u) << r.out;
}

TEST(CgiContract, HugeDeclaredLengthWithShortBodyIsServed) {
  Site site;
  site.SetUpSession();
  Env env = PostEnv("application/x-www-form-urlencoded", 0);
  env["CONTENT_LENGTH"] = "2000000000";
  Result r = site.Run(env, "session=nosuch&id=x");
  EXPECT_EQ(r.exit_code, 0);
  auto [header, content] = SplitAnswer(r.out);
  EXPECT_EQ(header.rfind("Status: 200 OK\r\n", 0), 0u) << r.out;
  EXPECT_NE(content.find("ERROR: "), std::string::npos) << r.out;
}

TEST(CgiContract, ServerThatStopsReadingGetsCleanExitAndTheSaveStands) {
  Site site;
  site.SetUpSession();
  const std::string body = "session=s1&command=registration&id=u1&pw=abcde&pw2=abcde&realname=R&mail=m";
  RunLimits client_gone;
  client_gone.close_output_early = true;
  const Result r = site.Run(PostEnv("application/x-www-form-urlencoded", body.size()), body, client_gone);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(site.ReadFile("members/u1.txt"), "id=u1\r\npw=abcde\r\nrealname=R\r\ncountry=\r\nmail=m\r\n");
}

TEST(CgiContract, AnyMethodIsHandled) {
  Site site;
  for (const char* method : {"GET", "DELETE", "PATCH", ""}) {
    Result r = site.Run({{"SERVER_PROTOCOL", "HTTP/1.1"}, {"REQUEST_METHOD", method}});
    EXPECT_EQ(r.exit_code, 0) << method;
    EXPECT_EQ(r.out, kEmptyPageHeader) << method;
  }
}

// A resident process keeps nothing of a request: after many requests of
// every kind (views, saves, posts, refusals, failures) its processes hold
// the descriptors they held after the first ones.
TEST(Resident, ManyRequestsLeaveNoDescriptorBehind) {
  if (!ThroughFastCgi()) GTEST_SKIP() << "a CGI process ends with its request";
  Site site;
  site.SetUpSession("s1", "FileNameTemplate=img####\r\n");
  site.WriteFile("members/u1.txt", "id=u1\r\npw=secret1\r\nrealname=U\r\n");
  const std::string post = MultipartBody({{"session", "s1", "", ""}, {"command", "postleaf", "", ""}, {"id", "u1", "", ""},
                                          {"pw", "secret1", "", ""}, {"img", "DATA", "a.jpg", "image/jpeg"}});
  const std::vector<std::pair<Env, std::string>> round = {
      {{{"SERVER_PROTOCOL", "HTTP/1.1"}, {"QUERY_STRING", "showuser=u1&session=s1"}}, ""},
      {PostEnv("application/x-www-form-urlencoded", 41), "session=s1&command=changepw&id=u1&pw0=bad"},
      {PostEnv("application/x-www-form-urlencoded", 30), "session=nosuch&command=x&id=u1"},
      {PostEnv("multipart/form-data; boundary=----orvalengateB0undary", post.size()), post},
      {PostEnv("application/x-www-form-urlencoded", 2000000000), "session=s1"},
      {{{"SERVER_PROTOCOL", "HTTP/1.1"}, {"PATH_INFO", "/elsewhere"}}, ""},
  };
  auto serve_rounds = [&](int rounds) {
    for (int i = 0; i < rounds; ++i) {
      for (const auto& [env, body] : round) EXPECT_EQ(site.Run(env, body).exit_code, 0);
    }
  };
  serve_rounds(kResidentProcesses);
  const Site::Residents after_first = site.ResidentState();
  serve_rounds(25);
  EXPECT_EQ(site.ResidentState().descriptors, after_first.descriptors);
  // A client gone away fails a write; it does not end the process.
  EXPECT_TRUE(after_first.ignore_sigpipe);
  // Nor does a large post's memory stay: its fields, password included, go
  // with the request (measured outside ASan, whose quarantine keeps what
  // was freed).
  site.PostUrlEncoded("session=s1&command=changepw&id=u1&pw0=secret1&filler=" + std::string(30 << 20, 'f'));
#ifndef ORVALENGATE_SANITIZED
  EXPECT_LT(site.ResidentState().max_rss_kib, after_first.max_rss_kib + (10 << 10));
#endif
  // Every post was stored: no request was lost on the way.
  const std::vector<std::string> uploads = site.List("upload");
  EXPECT_EQ(std::count_if(uploads.begin(), uploads.end(), [](const std::string& n) { return n.ends_with(".jpg"); }),
            kResidentProcesses + 25);
}

}  // namespace
}  // namespace blackbox
