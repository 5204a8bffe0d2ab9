// The CGI request: variables from the environment with the HTTP_ prefix
// rule, the integer conversion, and the body read from standard input.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "FrontendTestSupport.h"
#include "frontend/WebRequest.h"

using frontend::StrToIntDef;
using frontend::TCGIRequest;
using frontend::TMethodType;
using frontend_test::ScopedEnv;
using frontend_test::ScopedStdin;

namespace {

// The variables a test may touch, all unset at its start.
void ClearCgiVariables(ScopedEnv& env) {
  for (const char* name : {"REQUEST_METHOD", "HTTP_REQUEST_METHOD", "CONTENT_LENGTH", "HTTP_CONTENT_LENGTH",
                           "PATH_INFO", "HTTP_PATH_INFO", "PATH_TRANSLATED", "HTTP_PATH_TRANSLATED",
                           "SERVER_PROTOCOL", "HTTP_SERVER_PROTOCOL", "FOO", "HTTP_FOO", "HTTP_http_foo"})
    env.Unset(name);
}

}  // namespace

TEST(StrToIntDefTest, Conversions) {
  const std::pair<const char*, std::int32_t> cases[] = {
      {"12", 12}, {" 12", 12}, {"   -5", -5}, {"+7", 7}, {"-5", -5}, {"0", 0}, {"007", 7},
      {"$1F", 31}, {"x1f", 31}, {"X1F", 31}, {"0x1f", 31}, {"0X1F", 31}, {"-$10", -16}, {"-0x10", -16},
      {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1}, {"$7FFFFFFF", 2147483647},
      {"12 ", -1}, {"abc", -1}, {"", -1}, {" ", -1}, {"-", -1}, {"+", -1}, {"$", -1}, {"0x", -1},
      {"1F", -1}, {"$1G", -1}, {"1.5", -1}, {"\t12", -1}, {"--1", -1}, {"- 1", -1},
      {"2147483648", -1}, {"-2147483649", -1}, {"99999999999999999999", -1}, {"$80000000", -1},
      {"$FFFFFFFF", -1}, {"$100000000", -1}};
  for (const auto& [text, expected] : cases) EXPECT_EQ(StrToIntDef(text), expected) << '"' << text << '"';
  EXPECT_EQ(StrToIntDef("abc", 42), 42);
}

TEST(CGIRequestTest, MethodTypeIgnoresCaseAndMapsOthersToAny) {
  const std::pair<const char*, TMethodType> cases[] = {
      {"GET", TMethodType::mtGet}, {"get", TMethodType::mtGet}, {"post", TMethodType::mtPost},
      {"Put", TMethodType::mtPut}, {"HEAD", TMethodType::mtHead}, {"DELETE", TMethodType::mtAny},
      {"", TMethodType::mtAny}, {"POSTX", TMethodType::mtAny}};
  for (const auto& [method, expected] : cases) {
    ScopedEnv env;
    ClearCgiVariables(env);
    env.Set("REQUEST_METHOD", method);
    ScopedStdin in("");
    TCGIRequest request;
    EXPECT_EQ(request.MethodType(), expected) << method;
  }
}

TEST(CGIRequestTest, FieldByNameTriesTheOtherNameWhenEmpty) {
  ScopedEnv env;
  ClearCgiVariables(env);
  ScopedStdin in("");
  TCGIRequest request;
  env.Set("HTTP_PATH_INFO", "/a");
  EXPECT_EQ(request.PathInfo(), "/a");  // PATH_INFO unset
  env.Set("PATH_INFO", "");
  EXPECT_EQ(request.PathInfo(), "/a");  // set but empty counts as unset
  env.Set("PATH_INFO", "/b");
  EXPECT_EQ(request.PathInfo(), "/b");

  env.Set("FOO", "plain");
  EXPECT_EQ(request.FieldByName("HTTP_FOO"), "plain");  // prefix dropped
  env.Set("HTTP_FOO", "prefixed");
  EXPECT_EQ(request.FieldByName("HTTP_FOO"), "prefixed");
  EXPECT_EQ(request.FieldByName("FOO"), "plain");
  env.Unset("FOO");
  EXPECT_EQ(request.FieldByName("FOO"), "prefixed");  // prefix added
  // The prefix is recognised only in exact case.
  env.Set("HTTP_http_foo", "odd");
  EXPECT_EQ(request.FieldByName("http_foo"), "odd");
}

TEST(CGIRequestTest, VariablesOutsideTheTableAreEmptyAndIndex25IsTheBody) {
  ScopedEnv env;
  ClearCgiVariables(env);
  env.Set("CONTENT_LENGTH", "3");
  ScopedStdin in("xyz");
  TCGIRequest request;
  EXPECT_EQ(request.StringVariable(frontend::rvContent), "xyz");
  EXPECT_EQ(request.StringVariable(29), "");
  EXPECT_EQ(request.StringVariable(-1), "");
  EXPECT_EQ(request.IntegerVariable(frontend::rvContentLength), 3);
  EXPECT_EQ(request.DateVariable(frontend::rvDate), -1.0);
}

TEST(CGIRequestTest, BodyOfDeclaredLength) {
  ScopedEnv env;
  ClearCgiVariables(env);
  env.Set("CONTENT_LENGTH", "12");
  ScopedStdin in("hello world!and more");
  TCGIRequest request;
  EXPECT_EQ(request.Content(), "hello world!");
  // The rest waits for ReadText.
  EXPECT_EQ(request.ReadText(100), "and more");
  EXPECT_EQ(request.ReadText(100), "");
}

TEST(CGIRequestTest, ShortBodyKeepsWhatArrived) {
  ScopedEnv env;
  ClearCgiVariables(env);
  env.Set("CONTENT_LENGTH", "12");
  ScopedStdin in("12345");
  TCGIRequest request;
  EXPECT_EQ(request.Content(), "12345");
  EXPECT_EQ(request.ReadText(7), "");
}

TEST(CGIRequestTest, MissingOrMalformedLengthReadsNothing) {
  for (const char* length : {"", "abc", "12 ", "-3", "0"}) {
    ScopedEnv env;
    ClearCgiVariables(env);
    if (*length) env.Set("CONTENT_LENGTH", length);
    ScopedStdin in("waiting bytes");
    TCGIRequest request;
    EXPECT_EQ(request.Content(), "") << length;
    EXPECT_EQ(request.ReadText(0), "");
    EXPECT_EQ(request.ReadText(-1), "");
    // Nothing was consumed.
    EXPECT_EQ(request.ReadText(4), "wait") << length;
  }
}

TEST(CGIRequestTest, LengthWithLeadingBlankAndPrefixedNameWins) {
  {
    ScopedEnv env;
    ClearCgiVariables(env);
    env.Set("CONTENT_LENGTH", " 4");
    ScopedStdin in("abcdef");
    TCGIRequest request;
    EXPECT_EQ(request.IntegerVariable(frontend::rvContentLength), 4);
    EXPECT_EQ(request.Content(), "abcd");
  }
  {
    ScopedEnv env;
    ClearCgiVariables(env);
    env.Set("CONTENT_LENGTH", "4");
    env.Set("HTTP_CONTENT_LENGTH", "2");
    ScopedStdin in("abcdef");
    TCGIRequest request;
    EXPECT_EQ(request.Content(), "ab");
  }
}

TEST(CGIRequestTest, HugeDeclaredLengthTakesOnlyWhatArrives) {
  ScopedEnv env;
  ClearCgiVariables(env);
  env.Set("CONTENT_LENGTH", "2000000000");
  ScopedStdin in("0123456789");
  TCGIRequest request;
  EXPECT_EQ(request.Content(), "0123456789");
  // Nowhere near the declared two gigabytes was taken.
  EXPECT_LT(request.Content().capacity(), 1u << 20);
}

TEST(CGIRequestTest, BodyArrivingInPiecesThroughAPipeIsReadWhole) {
  std::string body;
  for (int i = 0; body.size() < 300000; ++i) body += std::to_string(i) + ",";
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::thread writer([&] {
    // Uneven pieces with pauses, so reads return partial counts.
    std::size_t pos = 0, piece = 1;
    while (pos < body.size()) {
      const std::size_t n = std::min(piece, body.size() - pos);
      if (::write(fds[1], body.data() + pos, n) < 0) break;
      pos += n;
      piece = piece * 3 + 7;
      if (piece > 100000) piece = 1;
    }
    ::close(fds[1]);
  });
  {
    ScopedEnv env;
    ClearCgiVariables(env);
    env.Set("CONTENT_LENGTH", std::to_string(body.size()));
    ScopedStdin in(ScopedStdin::FromFd{}, fds[0]);
    TCGIRequest request;
    // Only the read-ahead is taken at construction; the rest on request.
    ASSERT_EQ(request.Content().size(), static_cast<std::size_t>(TCGIRequest::kReadAhead));
    const std::string rest = request.ReadText(static_cast<std::int64_t>(body.size()));
    EXPECT_TRUE(request.Content() + rest == body);
  }
  writer.join();
}

TEST(CGIRequestTest, TranslateUri) {
  ScopedEnv env;
  ClearCgiVariables(env);
  ScopedStdin in("");
  TCGIRequest request;
  EXPECT_EQ(request.TranslateUri("/img/a.jpg"), "/img/a.jpg");
  env.Set("PATH_TRANSLATED", "C:/www/cgi/x");
  env.Set("PATH_INFO", "/x");
  EXPECT_EQ(request.TranslateUri("/img/a.jpg"), "C:/www/cgi/img/a.jpg");
  env.Set("PATH_INFO", "/X");  // case matters
  EXPECT_EQ(request.TranslateUri("/img/a.jpg"), "/img/a.jpg");
}
