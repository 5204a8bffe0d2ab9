// Path masks, action item properties and the dispatcher's order of offers.
#include <gtest/gtest.h>

#include "FrontendTestSupport.h"
#include "frontend/ErrorPages.h"
#include "frontend/Mask.h"
#include "frontend/WebModule.h"

using frontend::EMaskException;
using frontend::EWebException;
using frontend::TCGIResponse;
using frontend::TMask;
using frontend::TMethodType;
using frontend::TWebActionItem;
using frontend::TWebModule;
using frontend_test::FakeRequest;
using frontend_test::Sjis;

TEST(MaskTest, Wildcards) {
  struct Case {
    const char* mask;
    const char* text;
    bool matches;
  };
  const Case cases[] = {
      {"", "", true},          {"", "/", false},           {"*", "", true},
      {"*", "/any/thing", true}, {"/a", "/a", true},        {"/a", "/A", true},
      {"/A", "/a", true},      {"/a", "/ab", false},       {"/a?", "/ab", true},
      {"/a?", "/a", false},    {"/*.txt", "/x.TXT", true}, {"/*.txt", "/x.txt.bak", false},
      {"*a*b*", "xxaxxbxx", true}, {"*a*b", "ba", false},   {"**", "abc", true},
      {"/[abc]", "/B", true},  {"/[abc]", "/d", false},    {"/[a-c]x", "/bx", true},
      {"/[!a-c]", "/b", false}, {"/[!a-c]", "/z", true},   {"/[A-C]", "/b", true},
      {"/[z-a]", "/m", false}, {"/[!a]", "/", false}, {"[-]", "-", true}, {"[-a]x]", "ax]", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TMask(c.mask).Matches(c.text), c.matches) << c.mask << " vs " << c.text;
  }
}

TEST(MaskTest, DoubleByteCharacterCountsAsOne) {
  const std::string hyou = Sjis("表");  // 0x95 0x5C: the second byte is a backslash
  EXPECT_TRUE(TMask("/?").Matches("/" + hyou));
  EXPECT_FALSE(TMask("/??").Matches("/" + hyou));
  EXPECT_TRUE(TMask("/" + hyou).Matches("/" + hyou));
  EXPECT_FALSE(TMask("/*\\").Matches("/" + hyou));  // the trail byte is no "\"
  EXPECT_TRUE(TMask("/[" + hyou + "a]").Matches("/" + hyou));
  // A lower-case ASCII letter as a trail byte is not folded.
  const std::string ka = Sjis("ァ");  // 0x83 0x40
  const std::string lower_trail = std::string("\x83\x61", 2);
  EXPECT_FALSE(TMask("/" + std::string("\x83\x41", 2)).Matches("/" + lower_trail));
  EXPECT_TRUE(TMask("/?").Matches("/" + ka));
}

TEST(MaskTest, MalformedListsAreErrors) {
  for (const char* mask : {"[abc", "/[", "[]", "[!]", "[a-]", "[!a-"}) {
    EXPECT_THROW(TMask{mask}, EMaskException) << mask;
  }
  try {
    TMask mask("/x[ab");
    FAIL();
  } catch (const EMaskException& e) {
    EXPECT_EQ(e.ClassName(), "EMaskException");
    EXPECT_EQ(e.Message(), Sjis("'/x[ab' は無効なマスクです (3 文字目)"));
  }
}

class ActionItemTest : public ::testing::Test {
 protected:
  TWebModule module_;
};

TEST_F(ActionItemTest, Defaults) {
  TWebActionItem& item = module_.Actions().Add();
  EXPECT_EQ(item.Name(), "");
  EXPECT_EQ(item.PathInfo(), "");
  EXPECT_EQ(item.MethodType(), TMethodType::mtAny);
  EXPECT_FALSE(item.Default());
  EXPECT_TRUE(item.Enabled());
  EXPECT_FALSE(item.OnAction);
  EXPECT_EQ(module_.Actions().Count(), 1u);
  EXPECT_EQ(module_.Actions().Dispatcher(), &module_);
}

TEST_F(ActionItemTest, PathInfoGetsSlashes) {
  TWebActionItem& item = module_.Actions().Add();
  item.SetPathInfo("a\\b\\c");
  EXPECT_EQ(item.PathInfo(), "/a/b/c");
  item.SetPathInfo("/x");
  EXPECT_EQ(item.PathInfo(), "/x");
  item.SetPathInfo("\\y");
  EXPECT_EQ(item.PathInfo(), "/y");
  item.SetPathInfo("");
  EXPECT_EQ(item.PathInfo(), "");
}

TEST_F(ActionItemTest, MaskFollowsPathInfo) {
  TWebActionItem& item = module_.Actions().Add();
  EXPECT_TRUE(item.Mask().Matches(""));
  item.SetPathInfo("/a*");
  EXPECT_TRUE(item.Mask().Matches("/abc"));
  EXPECT_FALSE(item.Mask().Matches(""));
  item.SetPathInfo("/b");
  EXPECT_FALSE(item.Mask().Matches("/abc"));
  item.SetPathInfo("/[x");
  EXPECT_THROW(item.Mask(), EMaskException);
}

TEST_F(ActionItemTest, OnlyOneDefault) {
  TWebActionItem& a = module_.Actions().Add();
  TWebActionItem& b = module_.Actions().Add();
  a.SetDefault(true);
  b.SetDefault(true);
  EXPECT_FALSE(a.Default());
  EXPECT_TRUE(b.Default());
  b.SetDefault(false);
  EXPECT_FALSE(b.Default());
}

TEST_F(ActionItemTest, NamesAreUniqueIgnoringCase) {
  TWebActionItem& a = module_.Actions().Add();
  TWebActionItem& b = module_.Actions().Add();
  TWebActionItem& c = module_.Actions().Add();
  a.SetName("WebActionItem1");
  a.SetName("webactionitem1");  // renaming itself is fine
  try {
    b.SetName("WEBACTIONITEM1");
    FAIL();
  } catch (const EWebException& e) {
    EXPECT_EQ(e.ClassName(), "EWebException");
    EXPECT_EQ(e.Message(), Sjis("アクション名が重複しています"));
  }
  EXPECT_EQ(b.Name(), "");
  // Empty names never clash.
  EXPECT_NO_THROW(c.SetName(""));
  EXPECT_EQ(module_.Actions().FindItem("WEBACTIONITEM1"), &a);
  EXPECT_EQ(module_.Actions().FindItem("none"), nullptr);
}

// A module of three items that record which of them ran.
class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* path : {"/one", "/two", ""}) {
      TWebActionItem& item = module_.Actions().Add();
      item.SetPathInfo(path);
      item.OnAction = [this](TWebActionItem* sender, frontend::TWebRequest&, frontend::TWebResponse& rs, bool&) {
        log_ += sender->PathInfo().empty() ? std::string("[empty]") : sender->PathInfo();
        rs.SetContent("by " + sender->PathInfo());
      };
    }
  }
  TWebActionItem& Item(std::size_t i) { return module_.Actions()[i]; }
  TWebModule module_;
  std::string log_;
};

TEST_F(DispatcherTest, FirstMatchingItemHandles) {
  FakeRequest request("HTTP/1.1", "/TWO");
  TCGIResponse response(request);
  EXPECT_TRUE(module_.DispatchAction(request, response));
  EXPECT_EQ(log_, "/two");
  EXPECT_EQ(module_.Request(), &request);
  EXPECT_EQ(module_.Response(), &response);
  EXPECT_EQ(request.out, "");  // the dispatcher never sends a handled response itself
}

TEST_F(DispatcherTest, MethodAndEnabledDecide) {
  Item(0).SetMethodType(TMethodType::mtPost);
  FakeRequest get("HTTP/1.1", "/one", TMethodType::mtGet);
  TCGIResponse r1(get);
  EXPECT_FALSE(module_.DispatchAction(get, r1));
  FakeRequest post("HTTP/1.1", "/one", TMethodType::mtPost);
  TCGIResponse r2(post);
  EXPECT_TRUE(module_.DispatchAction(post, r2));
  Item(0).SetEnabled(false);
  TCGIResponse r3(post);
  EXPECT_FALSE(module_.DispatchAction(post, r3));
  EXPECT_EQ(log_, "/one");
}

TEST_F(DispatcherTest, DefaultItemTakesWhatNobodyMatched) {
  Item(1).SetDefault(true);
  FakeRequest request("HTTP/1.1", "/nobody");
  TCGIResponse response(request);
  EXPECT_TRUE(module_.DispatchAction(request, response));
  EXPECT_EQ(log_, "/two");
  // A disabled default item still serves as the default.
  Item(1).SetEnabled(false);
  EXPECT_TRUE(module_.DispatchAction(request, response));
  EXPECT_EQ(log_, "/two/two");
}

TEST_F(DispatcherTest, MatchWithoutHandlerIsNotHandled) {
  Item(0).OnAction = nullptr;
  FakeRequest request("HTTP/1.1", "/one");
  TCGIResponse response(request);
  EXPECT_FALSE(module_.DispatchAction(request, response));
  EXPECT_EQ(log_, "");
}

TEST_F(DispatcherTest, HandlerDecidesTheResult) {
  Item(2).OnAction = [](TWebActionItem*, frontend::TWebRequest&, frontend::TWebResponse&, bool& handled) {
    EXPECT_TRUE(handled);
    handled = false;
  };
  FakeRequest request("HTTP/1.1", "");
  TCGIResponse response(request);
  EXPECT_FALSE(module_.DispatchAction(request, response));
}

TEST_F(DispatcherTest, BeforeDispatchCanTakeTheRequest) {
  module_.BeforeDispatch = [](TWebActionItem* sender, frontend::TWebRequest&, frontend::TWebResponse&, bool& handled) {
    EXPECT_EQ(sender, nullptr);
    EXPECT_FALSE(handled);
    handled = true;
  };
  FakeRequest request("HTTP/1.1", "/one");
  TCGIResponse response(request);
  EXPECT_TRUE(module_.DispatchAction(request, response));
  EXPECT_EQ(log_, "");
}

TEST_F(DispatcherTest, AfterDispatchHasTheLastWord) {
  int after_calls = 0;
  module_.AfterDispatch = [&](TWebActionItem*, frontend::TWebRequest&, frontend::TWebResponse&, bool& handled) {
    ++after_calls;
    EXPECT_TRUE(handled);
    handled = false;
  };
  FakeRequest request("HTTP/1.1", "/one");
  TCGIResponse response(request);
  EXPECT_FALSE(module_.DispatchAction(request, response));
  EXPECT_EQ(after_calls, 1);
  // A response sent by the handler skips AfterDispatch.
  Item(0).OnAction = [](TWebActionItem*, frontend::TWebRequest&, frontend::TWebResponse& rs, bool&) {
    rs.SendResponse();
  };
  TCGIResponse response2(request);
  EXPECT_TRUE(module_.DispatchAction(request, response2));
  EXPECT_EQ(after_calls, 1);
}

TEST_F(DispatcherTest, AlreadySentResponseIsHandledWithoutOffers) {
  FakeRequest request("HTTP/1.1", "/one");
  TCGIResponse response(request);
  response.SendResponse();
  EXPECT_TRUE(module_.DispatchAction(request, response));
  EXPECT_EQ(log_, "");
}

TEST_F(DispatcherTest, HandleExceptionSendsTheApplicationErrorPage) {
  FakeRequest request("HTTP/1.1", "/p");
  TCGIResponse response(request);
  bool handled = false;
  module_.HandleException(platform::Exception("none yet"), handled);
  EXPECT_FALSE(handled);  // no request dispatched, no response to answer with
  module_.DispatchAction(request, response);
  response.SetContent("partial");
  module_.HandleException(platform::Exception("oops"), handled);
  EXPECT_TRUE(handled);
  EXPECT_EQ(response.StatusCode(), 500);
  const std::string page = frontend::ApplicationErrorPage("oops", "/p");
  EXPECT_EQ(request.out, "Status: 500 Internal Server Error\r\nContent-Type: text/html\r\nContent-Length: " +
                             std::to_string(page.size()) + "\r\nContent:\r\n\r\n" + page);
}

TEST_F(DispatcherTest, OnExceptionAnswersInstead) {
  module_.OnException = [](frontend::TCustomWebDispatcher* sender, const platform::Exception& e, bool& handled) {
    EXPECT_TRUE(handled);
    sender->Response()->SetContent("sorry: " + e.Message());
  };
  FakeRequest request("HTTP/1.1", "");
  TCGIResponse response(request);
  module_.DispatchAction(request, response);
  bool handled = false;
  module_.HandleException(platform::Exception("x"), handled);
  EXPECT_TRUE(handled);
  EXPECT_EQ(request.out,
            "Status: 500 Internal Server Error\r\nContent-Type: text/html\r\nContent-Length: 8\r\nContent:\r\n\r\nsorry: x");
}
