// The request cycle: module registration and creation, the outcome of a
// request (sent once, application error page, no output, server error page)
// and whole CGI processes run through Run.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "FrontendTestSupport.h"
#include "frontend/CGIApplication.h"
#include "frontend/Connection.h"
#include "frontend/ErrorPages.h"
#include "frontend/WebResponse.h"

using frontend::EWebException;
using frontend::TCGIApplication;
using frontend::TCGIResponse;
using frontend_test::CurrentHandler;
using frontend_test::FakeRequest;
using frontend_test::ModulesCreated;
using frontend_test::OtherModule;
using frontend_test::RunChild;
using frontend_test::Sjis;
using frontend_test::TestModule;

namespace {

std::unique_ptr<frontend::TWebModule> NoModule() { return nullptr; }

std::unique_ptr<frontend::TWebModule> FailingModule() {
  throw platform::Exception("module broke\r\nX-Injected: yes");
}

const std::string kOkHead = "Status: 200 OK\r\nContent-Type: text/html\r\n";

std::string AppErrorResponse(const std::string& message, const std::string& path_info) {
  const std::string page = frontend::ApplicationErrorPage(message, path_info);
  return "Status: 500 Internal Server Error\r\nContent-Type: text/html\r\nContent-Length: " +
         std::to_string(page.size()) + "\r\nContent:\r\n\r\n" + page;
}

std::string ServerErrorResponse(const std::string& class_name, const std::string& message) {
  const std::string body = frontend::ServerErrorBody(class_name, message);
  return frontend::ServerErrorHeader(message, body.size()) + body;
}

class ApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CurrentHandler() = nullptr;
    ModulesCreated() = 0;
    app_.RegisterModuleClass(&TestModule::Create);
  }
  void TearDown() override { CurrentHandler() = nullptr; }
  TCGIApplication app_;
};

// --version answers a person, whatever standard input is, and never a web
// server's request or a process manager's resident, which any one of these
// variables marks.
TEST(StartedByHand, AnyCgiOrSocketVariableMeansAServer) {
  const char* names[] = {"GATEWAY_INTERFACE", "REQUEST_METHOD", "SERVER_PROTOCOL", "QUERY_STRING",
                         "CONTENT_LENGTH", "SCRIPT_NAME", "LISTEN_FDS", "FCGI_WEB_SERVER_ADDRS"};
  for (const char* name : names) ::unsetenv(name);
  EXPECT_TRUE(frontend::StartedByHand());
  for (const char* name : names) {
    ::setenv(name, "x", 1);
    EXPECT_FALSE(frontend::StartedByHand()) << name;
    ::unsetenv(name);
  }
}

}  // namespace

TEST_F(ApplicationTest, HandledResponseIsSentOnce) {
  CurrentHandler() = [](frontend::TWebRequest&, frontend::TWebResponse& rs, bool&) { rs.SetContent("page"); };
  FakeRequest request;
  TCGIResponse response(request);
  EXPECT_TRUE(app_.HandleRequest(request, response));
  EXPECT_EQ(request.out, kOkHead + "Content-Length: 4\r\nContent:\r\n\r\npage");
  EXPECT_EQ(request.header_blocks, 1);
}

TEST_F(ApplicationTest, AnyMethodIsHandled) {
  CurrentHandler() = [](frontend::TWebRequest&, frontend::TWebResponse& rs, bool&) { rs.SetContent("x"); };
  for (auto method : {frontend::TMethodType::mtAny, frontend::TMethodType::mtPost, frontend::TMethodType::mtHead}) {
    FakeRequest request("HTTP/1.0", "", method);
    TCGIResponse response(request);
    EXPECT_TRUE(app_.HandleRequest(request, response));
    EXPECT_EQ(request.header_blocks, 1);
  }
}

TEST_F(ApplicationTest, HandlerThatRaisesGetsTheApplicationErrorPageOnly) {
  CurrentHandler() = [](frontend::TWebRequest&, frontend::TWebResponse& rs, bool&) {
    rs.SetContent("earlier content");
    throw platform::Exception("x");
  };
  FakeRequest request;
  TCGIResponse response(request);
  EXPECT_FALSE(app_.HandleRequest(request, response));
  EXPECT_EQ(request.out, AppErrorResponse("x", ""));
  EXPECT_EQ(request.out.find("earlier content"), std::string::npos);
  EXPECT_EQ(request.header_blocks, 1);
}

TEST_F(ApplicationTest, NoSecondResponseAfterTheHandlerSentOneAndRaised) {
  CurrentHandler() = [](frontend::TWebRequest&, frontend::TWebResponse& rs, bool&) {
    rs.SetContent("first");
    rs.SendResponse();
    throw platform::Exception("late");
  };
  FakeRequest request;
  TCGIResponse response(request);
  EXPECT_FALSE(app_.HandleRequest(request, response));
  EXPECT_EQ(request.out, kOkHead + "Content-Length: 5\r\nContent:\r\n\r\nfirst");
  EXPECT_EQ(request.header_blocks, 1);
}

TEST_F(ApplicationTest, NonEmptyPathInfoGivesNoOutput) {
  int calls = 0;
  CurrentHandler() = [&](frontend::TWebRequest&, frontend::TWebResponse&, bool&) { ++calls; };
  FakeRequest request("HTTP/1.1", "/x");
  TCGIResponse response(request);
  EXPECT_FALSE(app_.HandleRequest(request, response));
  EXPECT_EQ(request.out, "");
  EXPECT_EQ(calls, 0);
}

TEST_F(ApplicationTest, NonExceptionObjectsAndSendFailuresLeaveHandleRequest) {
  CurrentHandler() = [](frontend::TWebRequest&, frontend::TWebResponse&, bool&) { throw std::runtime_error("std"); };
  FakeRequest request;
  TCGIResponse response(request);
  EXPECT_THROW(app_.HandleRequest(request, response), std::runtime_error);
  EXPECT_EQ(request.out, "");
  EXPECT_EQ(app_.ActiveCount(), 0u);  // the set was given back

  CurrentHandler() = [](frontend::TWebRequest&, frontend::TWebResponse& rs, bool&) { rs.SetContent("x"); };
  FakeRequest failing;
  failing.fail_header = true;
  TCGIResponse response2(failing);
  EXPECT_THROW(app_.HandleRequest(failing, response2), platform::Exception);
}

TEST_F(ApplicationTest, FailureWhileSendingTheErrorPageLeavesHandleRequest) {
  CurrentHandler() = [](frontend::TWebRequest&, frontend::TWebResponse&, bool&) { throw platform::Exception("a"); };
  FakeRequest request;
  request.fail_header = true;
  TCGIResponse response(request);
  try {
    app_.HandleRequest(request, response);
    FAIL();
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.Message(), "write failed");
  }
}

TEST_F(ApplicationTest, RegisteringTheSameClassAgainIsFineADifferentOneIsNot) {
  EXPECT_NO_THROW(app_.RegisterModuleClass(&TestModule::Create));
  try {
    app_.RegisterModuleClass(&OtherModule::Create);
    FAIL();
  } catch (const EWebException&) {
    FAIL() << "a plain Exception is expected";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.ClassName(), "Exception");
    EXPECT_EQ(e.Message(), Sjis("アプリケーションはデータモジュールを一つしか持つことができません。"));
  }
  EXPECT_EQ(app_.ModuleClass(), &TestModule::Create);
  EXPECT_EQ(ModulesCreated(), 0);  // registering makes no module
}

TEST_F(ApplicationTest, ModuleSetIsPooledAndReused) {
  CurrentHandler() = [](frontend::TWebRequest&, frontend::TWebResponse& rs, bool&) { rs.SetContent("x"); };
  for (int i = 0; i < 3; ++i) {
    FakeRequest request;
    TCGIResponse response(request);
    app_.HandleRequest(request, response);
  }
  EXPECT_EQ(ModulesCreated(), 1);
  EXPECT_EQ(app_.InactiveCount(), 1u);
  app_.SetCacheConnections(false);
  for (int i = 0; i < 2; ++i) {
    FakeRequest request;
    TCGIResponse response(request);
    app_.HandleRequest(request, response);
  }
  EXPECT_EQ(ModulesCreated(), 2);  // the pooled one, then a new one that is freed
  EXPECT_EQ(app_.InactiveCount(), 0u);
}

TEST_F(ApplicationTest, ActiveSetLimitIsAnErrorOfTheInnerRequest) {
  app_.SetMaxConnections(1);
  CurrentHandler() = [this](frontend::TWebRequest&, frontend::TWebResponse&, bool&) {
    FakeRequest inner;
    TCGIResponse inner_response(inner);
    app_.HandleRequest(inner, inner_response);
  };
  FakeRequest request;
  TCGIResponse response(request);
  EXPECT_FALSE(app_.HandleRequest(request, response));
  EXPECT_EQ(request.out,
            AppErrorResponse(Sjis("最大同時接続数を超えました。しばらくしてからもう一度試してください。"), ""));
}

TEST(ApplicationSetupTest, NoRegisteredClassOrNoModuleIsAnError) {
  {
    TCGIApplication app;
    FakeRequest request;
    TCGIResponse response(request);
    try {
      app.HandleRequest(request, response);
      FAIL();
    } catch (const EWebException& e) {
      EXPECT_EQ(e.Message(), Sjis("データモジュールが登録されていません。"));
    }
  }
  {
    TCGIApplication app;
    app.RegisterModuleClass(&NoModule);
    FakeRequest request;
    TCGIResponse response(request);
    try {
      app.HandleRequest(request, response);
      FAIL();
    } catch (const EWebException& e) {
      EXPECT_EQ(e.Message(), Sjis("自動的に有効化できるデータモジュールが存在しません"));
    }
    EXPECT_EQ(request.out, "");
  }
}

TEST(ApplicationSetupTest, InitializeCallsTheStartUpHookAndApplicationIsOne) {
  TCGIApplication app;
  int calls = 0;
  app.Initialize();
  app.InitProc = [&] { ++calls; };
  app.Initialize();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(&frontend::Application(), &frontend::Application());
}

// Whole processes: environment and standard input in, standard output out.
class RunTest : public ::testing::Test {
 protected:
  void SetUp() override { CurrentHandler() = nullptr; }
  void TearDown() override { CurrentHandler() = nullptr; }

  std::string Run(std::map<std::string, std::string> env, const std::string& input = "",
                  frontend::TWebModuleClass module_class = &TestModule::Create) {
    return RunChild(env, input, [module_class] {
      TCGIApplication app;
      app.Initialize();
      if (module_class) app.RegisterModuleClass(module_class);
      app.Run();
    });
  }
};

TEST_F(RunTest, NormalPage) {
  CurrentHandler() = [](frontend::TWebRequest& rq, frontend::TWebResponse& rs, bool&) {
    rs.SetContentType("text/html");
    rs.SetContent("<p>" + rq.Content() + "</p>");
  };
  EXPECT_EQ(Run({{"SERVER_PROTOCOL", "HTTP/1.1"}, {"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "3"}}, "a=1"),
            kOkHead + "Content-Length: 10\r\nContent:\r\n\r\n<p>a=1</p>");
}

TEST_F(RunTest, EmptyProtocolGivesContentOnly) {
  CurrentHandler() = [](frontend::TWebRequest&, frontend::TWebResponse& rs, bool&) { rs.SetContent("just this"); };
  EXPECT_EQ(Run({{"REQUEST_METHOD", "GET"}}), "just this");
}

TEST_F(RunTest, PathInfoGivesNoOutputAtAll) {
  CurrentHandler() = [](frontend::TWebRequest&, frontend::TWebResponse& rs, bool&) { rs.SetContent("x"); };
  EXPECT_EQ(Run({{"SERVER_PROTOCOL", "HTTP/1.1"}, {"PATH_INFO", "/x"}}), "");
  EXPECT_EQ(Run({{"SERVER_PROTOCOL", "HTTP/1.1"}, {"PATH_INFO", ""}, {"HTTP_PATH_INFO", "/x"}}), "");
}

TEST_F(RunTest, HandlerErrorGivesApplicationErrorPageWithPathInfo) {
  CurrentHandler() = [](frontend::TWebRequest&, frontend::TWebResponse& rs, bool&) {
    rs.SetContent("half a page");
    throw platform::EInOutError(5);
  };
  EXPECT_EQ(Run({{"SERVER_PROTOCOL", "HTTP/1.0"}}),
            AppErrorResponse(Sjis("ファイルへのアクセスが拒否されました"), ""));
}

TEST_F(RunTest, FailureOutsideDispatchGivesServerErrorPage) {
  const std::string message = Sjis("データモジュールが登録されていません。");
  EXPECT_EQ(Run({{"SERVER_PROTOCOL", "HTTP/1.1"}}, "", nullptr), ServerErrorResponse("EWebException", message));
}

TEST_F(RunTest, ServerErrorStatusLineNeverCarriesALineBreak) {
  const std::string out = Run({{"SERVER_PROTOCOL", "HTTP/1.1"}}, "", &FailingModule);
  EXPECT_EQ(out, ServerErrorResponse("Exception", "module broke\r\nX-Injected: yes"));
  EXPECT_EQ(out.substr(0, out.find("\r\n")), "Status: 500 module broke  X-Injected: yes");
  EXPECT_NE(out.find("Message: module broke\r\nX-Injected: yes<br>"), std::string::npos);
}

TEST_F(RunTest, HandlerOutOfMemoryGetsTheApplicationErrorPage) {
  CurrentHandler() = [](frontend::TWebRequest&, frontend::TWebResponse&, bool&) { throw std::bad_alloc(); };
  const std::string out = Run({{"SERVER_PROTOCOL", "HTTP/1.1"}});
  EXPECT_EQ(out, AppErrorResponse("Out of memory", ""));
}

TEST_F(RunTest, NonExceptionObjectsGiveServerErrorPageWithEmptyMessage) {
  CurrentHandler() = [](frontend::TWebRequest&, frontend::TWebResponse&, bool&) { throw 42; };
  const std::string out2 = Run({{"SERVER_PROTOCOL", "HTTP/1.1"}});
  EXPECT_EQ(out2.substr(0, 14), "Status: 500 \r\n");
  EXPECT_NE(out2.find("Message: <br>"), std::string::npos);
}

TEST_F(RunTest, HugeDeclaredLengthWithSmallBodyIsServedNormally) {
  CurrentHandler() = [](frontend::TWebRequest& rq, frontend::TWebResponse& rs, bool&) {
    rs.SetContent(rq.Content() + "|" + std::to_string(rq.IntegerVariable(frontend::rvContentLength)));
  };
  EXPECT_EQ(Run({{"SERVER_PROTOCOL", "HTTP/1.1"}, {"CONTENT_LENGTH", "2000000000"}}, "0123456789"),
            kOkHead + "Content-Length: 21\r\nContent:\r\n\r\n0123456789|2000000000");
}

TEST_F(RunTest, GlobalApplicationServesLikeTheEntryPoint) {
  CurrentHandler() = [](frontend::TWebRequest&, frontend::TWebResponse& rs, bool&) { rs.SetContent("ok"); };
  int exit_code = -1;
  const std::string out = RunChild({{"SERVER_PROTOCOL", "HTTP/1.1"}}, "",
                                   [] {
                                     auto& app = frontend::Application();
                                     app.Initialize();
                                     app.RegisterModuleClass(&TestModule::Create);
                                     app.Run();
                                     std::exit(0);  // static destruction runs, as at the end of main
                                   },
                                   &exit_code);
  EXPECT_EQ(out, kOkHead + "Content-Length: 2\r\nContent:\r\n\r\nok");
  EXPECT_EQ(exit_code, 0);
}
