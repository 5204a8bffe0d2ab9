// The CGI header block and the pages the framework writes by itself, byte
// for byte.
#include <gtest/gtest.h>

#include "FrontendTestSupport.h"
#include "frontend/ErrorPages.h"
#include "frontend/HttpDate.h"
#include "frontend/WebResponse.h"

using frontend::TCGIResponse;
using frontend_test::FakeRequest;
using frontend_test::Sjis;

TEST(CGIResponseTest, NormalPageIsStatusTypeLengthContentLineAndBody) {
  FakeRequest request;
  TCGIResponse response(request);
  response.SetContentType("text/html");
  response.SetContent("<html>hi</html>");
  response.SendResponse();
  EXPECT_EQ(request.out,
            "Status: 200 OK\r\nContent-Type: text/html\r\nContent-Length: 15\r\nContent:\r\n\r\n<html>hi</html>");
  EXPECT_TRUE(response.Sent());
}

TEST(CGIResponseTest, EmptyPageHasNoContentLengthAndNoBody) {
  FakeRequest request;
  TCGIResponse response(request);
  response.SendResponse();
  EXPECT_EQ(request.out, "Status: 200 OK\r\nContent-Type: text/html\r\nContent:\r\n\r\n");
}

TEST(CGIResponseTest, ContentLengthCountsBytesOfDoubleByteCharacters) {
  FakeRequest request;
  TCGIResponse response(request);
  const std::string page = Sjis("登録しました");  // 6 characters, 12 bytes
  response.SetContent(page);
  EXPECT_EQ(response.IntegerVariable(0), 12);
  response.SendResponse();
  EXPECT_EQ(request.out, "Status: 200 OK\r\nContent-Type: text/html\r\nContent-Length: 12\r\nContent:\r\n\r\n" + page);
}

TEST(CGIResponseTest, EmptyProtocolWritesContentOnly) {
  FakeRequest request("");
  TCGIResponse response(request);
  EXPECT_EQ(response.StringVariable(frontend::rsVersion), "1.0");
  response.SetContent("abc");
  response.SendResponse();
  EXPECT_EQ(request.out, "abc");
  EXPECT_EQ(request.header_blocks, 0);
  EXPECT_TRUE(response.Sent());
}

TEST(CGIResponseTest, InitialState) {
  FakeRequest request;
  TCGIResponse response(request);
  EXPECT_EQ(response.StatusCode(), 200);
  EXPECT_EQ(response.StringVariable(frontend::rsReasonString), "OK");
  EXPECT_EQ(response.StringVariable(frontend::rsContentType), "text/html");
  EXPECT_EQ(response.StringVariable(frontend::rsVersion), "");  // a protocol was given
  EXPECT_EQ(response.IntegerVariable(0), 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(response.DateVariable(i), -1.0);
  EXPECT_FALSE(response.Sent());
}

TEST(CGIResponseTest, VariablesOutsideTheirIndexesReadAsNothingAndIgnoreWrites) {
  FakeRequest request;
  TCGIResponse response(request);
  response.SetStringVariable(12, "x");
  response.SetStringVariable(-1, "x");
  EXPECT_EQ(response.StringVariable(12), "");
  response.SetDateVariable(3, 5.0);
  EXPECT_EQ(response.DateVariable(3), -1.0);
  response.SetIntegerVariable(1, 7);
  EXPECT_EQ(response.IntegerVariable(1), -1);
  EXPECT_EQ(response.IntegerVariable(0), 0);
  response.SetIntegerVariable(0, 7);
  EXPECT_EQ(response.IntegerVariable(0), 7);
}

TEST(CGIResponseTest, StatusPhrases) {
  const std::pair<int, const char*> cases[] = {
      {100, "Continue"}, {203, "Non-Authoritative Information"}, {302, "Moved Temporarily"},
      {305, "Use Proxy"}, {406, "None Acceptable"}, {412, "Unless True"}, {500, "Internal Server Error"},
      {504, "Gateway Timeout"}, {299, ""}, {207, ""}, {0, ""}, {-1, ""}};
  for (const auto& [code, phrase] : cases) EXPECT_EQ(frontend::ReasonPhrase(code), phrase) << code;
}

TEST(CGIResponseTest, StatusLineFallsBackToOkWithoutPhraseOrPositiveCode) {
  for (int code : {299, 0, -5}) {
    FakeRequest request;
    TCGIResponse response(request);
    response.SetStatusCode(code);
    EXPECT_EQ(response.StatusCode(), code);
    response.SendResponse();
    EXPECT_EQ(request.out.substr(0, 16), "Status: 200 OK\r\n") << code;
  }
  FakeRequest request;
  TCGIResponse response(request);
  response.SetStatusCode(404);
  response.SendResponse();
  EXPECT_EQ(request.out.substr(0, 23), "Status: 404 Not Found\r\n");
}

TEST(CGIResponseTest, SettingTheSameCodeKeepsAChangedReason) {
  FakeRequest request;
  TCGIResponse response(request);
  response.SetStringVariable(frontend::rsReasonString, "Fine");
  response.SetStatusCode(200);
  EXPECT_EQ(response.StringVariable(frontend::rsReasonString), "Fine");
  response.SetStatusCode(201);
  EXPECT_EQ(response.StringVariable(frontend::rsReasonString), "Created");
}

TEST(CGIResponseTest, HeadersInTheirOrderAndEmptyOnesLeftOut) {
  FakeRequest request;
  TCGIResponse response(request);
  response.SetStringVariable(frontend::rsTitle, "T");
  response.SetStringVariable(frontend::rsContentEncoding, "gzip");
  response.SetStringVariable(frontend::rsLocation, "/there");
  response.SetStringVariable(frontend::rsAllow, "GET");
  response.SetStringVariable(frontend::rsDerivedFrom, "d");
  response.SetStringVariable(frontend::rsWWWAuthenticate, "Basic");
  response.SetStringVariable(frontend::rsRealm, "site");
  response.SetStringVariable(frontend::rsContentVersion, "1");
  response.SetStringVariable(frontend::rsUnnamed, "never written");
  response.SetDateVariable(1, frontend::ParseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT"));
  response.SetContentType("text/plain");
  response.SendResponse();
  EXPECT_EQ(request.out,
            "Status: 200 OK\r\nLocation: /there\r\nAllow: GET\r\nDerived-From: d\r\n"
            "Expires: Sun, 06 Nov 1994 08:49:37 GMT\r\nTitle: T\r\nWWW-Authenticate: Basic Realm=site\r\n"
            "Content-Version: 1\r\nContent-Encoding: gzip\r\nContent-Type: text/plain\r\nContent:\r\n\r\n");
}

// The program's own headers (a cookie) come after the framework's; one that
// could end the header block early never goes out.
TEST(CGIResponseTest, CustomHeadersAfterTheFrameworksAndNoneThatBreaksALine) {
  FakeRequest request;
  TCGIResponse response(request);
  response.SetContentType("text/html");
  response.AddCustomHeader("Set-Cookie", "a=1; Path=/; HttpOnly");
  response.AddCustomHeader("Set-Cookie", "b=2\r\nLocation: /evil");
  response.AddCustomHeader("X-Bad\nName", "v");
  response.AddCustomHeader("X-Colon:", "v");
  response.AddCustomHeader("Cache-Control", std::string_view("no-store\0x", 10));
  response.AddCustomHeader("Cache-Control", "no-store");
  response.SetContent("x");
  response.SendResponse();
  EXPECT_EQ(request.out, "Status: 200 OK\r\nContent-Type: text/html\r\nContent-Length: 1\r\n"
                         "Set-Cookie: a=1; Path=/; HttpOnly\r\nCache-Control: no-store\r\nContent:\r\n\r\nx");
}

TEST(CGIResponseTest, RedirectSendsMovedPageWith302) {
  FakeRequest request;
  TCGIResponse response(request);
  response.SendRedirect("/a?b");
  const std::string body = Sjis(
      "<head><title>Document Moved 302</title></head>\r\n"
      "<body><h1>Object Moved</h1><hr><h1>オブジェクトは移動しました。</h1><hr>\r\n"
      "This Object may be found <a href=\"/a?b\">here.</a><br>オブジェクトは<a href=\"/a?b\">ここ</a>に移動しました。<br>\r\n"
      "<br></body></html>\r\n");
  EXPECT_EQ(request.out, "Status: 302 Moved Temporarily\r\nLocation: /a?b\r\nContent-Type: text/html\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\nContent:\r\n\r\n" + body);
}

TEST(HttpDateTest, ThreeFormsParseAndFormatBack) {
  const double rfc1123 = frontend::ParseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_DOUBLE_EQ(rfc1123, frontend::ParseHttpDate("Sunday, 06-Nov-94 08:49:37 GMT"));
  EXPECT_DOUBLE_EQ(rfc1123, frontend::ParseHttpDate("Sun Nov  6 08:49:37 1994"));
  EXPECT_NEAR(rfc1123, 34644.0 + (8 * 3600 + 49 * 60 + 37) / 86400.0, 1e-9);  // days since 1899-12-30
  EXPECT_EQ(frontend::FormatHttpDate(rfc1123), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(frontend::FormatHttpDate(frontend::ParseHttpDate("Thu, 29 Feb 2024 23:59:59 GMT")),
            "Thu, 29 Feb 2024 23:59:59 GMT");
  EXPECT_EQ(frontend::ParseHttpDate("yesterday"), -1.0);
  EXPECT_EQ(frontend::ParseHttpDate("Sun, 06 Nov 1994 25:00:00 GMT"), -1.0);
}

TEST(ApplicationErrorPageTest, ThreePiecesWithoutFinalLineBreak) {
  EXPECT_EQ(frontend::ApplicationErrorPage("x", ""),
            Sjis("<html><body><h1>Internal Application Error / 内部アプリケーションエラー</h1>\r\n"
                 "<p>x\r\n"
                 "<p><hr width=\"100%\"><i></i></body></html>"));
  // Arguments go in as they are, format characters and all.
  EXPECT_EQ(frontend::ApplicationErrorPage("50%s %0:s", "/p"),
            Sjis("<html><body><h1>Internal Application Error / 内部アプリケーションエラー</h1>\r\n"
                 "<p>50%s %0:s\r\n"
                 "<p><hr width=\"100%\"><i>/p</i></body></html>"));
}

TEST(ServerErrorPageTest, HeaderAndBodyBytes) {
  const std::string body = frontend::ServerErrorBody("EFOpenError", "m");
  EXPECT_EQ(body, Sjis("<html><head><title>Internal Server Error 500</title></head>\r\n"
                       "<h1>Internal Server Error 500</h1><hr>\r\n"
                       "<h1>サーバー内部エラー 500</h1><hr>\r\n"
                       "Exception: EFOpenError<br>Message: m<br><hr>例外 : EFOpenError<br>メッセージ : m<br></html>\r\n"));
  EXPECT_EQ(frontend::ServerErrorHeader("m", body.size()),
            "Status: 500 m\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n");
}

TEST(ServerErrorPageTest, EmptyMessageLeavesTrailingBlank) {
  EXPECT_EQ(frontend::ServerErrorHeader("", 3), "Status: 500 \r\nContent-Type: text/html\r\nContent-Length: 3\r\n\r\n");
}

TEST(ServerErrorPageTest, LineBreaksOfTheMessageCannotAddAHeader) {
  const std::string message = "bad\r\nSet-Cookie: a=b\nX: y\r";
  EXPECT_EQ(frontend::ServerErrorHeader(message, 10),
            "Status: 500 bad  Set-Cookie: a=b X: y \r\nContent-Type: text/html\r\nContent-Length: 10\r\n\r\n");
  // The body keeps the message as it is.
  EXPECT_NE(frontend::ServerErrorBody("E", message).find("Message: " + message + "<br>"), std::string::npos);
}
