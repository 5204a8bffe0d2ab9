#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "MemberTexts.h"
#include "PipelineTestSupport.h"
#include "member/WebModule1.h"
#include "pages/Pages.h"
#include "text/NameValueList.h"

namespace {

using namespace pipeline_test;

// The query string of the requests a test makes next.
std::string g_query;

// A request whose body arrives partly at construction (Content) and partly
// through later reads, chunk by chunk.
class FakeRequest : public frontend::TWebRequest {
 public:
  FakeRequest(std::string content, std::int32_t declared_length, std::deque<std::string> later = {})
      : declared_length_(declared_length), later_(std::move(later)) {
    content_ = std::move(content);
  }
  std::string StringVariable(int) override { return {}; }
  double DateVariable(int) override { return -1.0; }
  std::int32_t IntegerVariable(int index) override {
    return index == frontend::rvContentLength ? declared_length_ : -1;
  }
  std::size_t ReadBytes(char* buffer, std::size_t count) override {
    requested.push_back(static_cast<std::int64_t>(count));
    if (later_.empty()) return 0;
    const std::string chunk = later_.front().substr(0, count);
    later_.pop_front();
    chunk.copy(buffer, chunk.size());
    return chunk.size();
  }
  std::string ReadText(std::int64_t) override { return {}; }
  std::string TranslateUri(const std::string& uri) override { return uri; }
  std::size_t WriteBytes(const char*, std::size_t count) override { return count; }
  bool WriteText(std::string_view) override { return true; }
  bool WriteHeaderBlock(int, std::string_view, std::string_view) override { return true; }
  std::string FieldByName(const std::string&) override { return {}; }
  std::string CgiVariable(const std::string& name) override { return name == "QUERY_STRING" ? g_query : ""; }

  std::vector<std::int64_t> requested;

 private:
  std::int32_t declared_length_;
  std::deque<std::string> later_;
};

class FakeResponse : public frontend::TWebResponse {
 public:
  explicit FakeResponse(frontend::TWebRequest& request) : TWebResponse(request) {}
  std::string StringVariable(int index) const override {
    auto it = strings_.find(index);
    return it == strings_.end() ? std::string() : it->second;
  }
  void SetStringVariable(int index, std::string_view value) override { strings_[index] = std::string(value); }
  double DateVariable(int) const override { return -1.0; }
  void SetDateVariable(int, double) override {}
  std::int32_t IntegerVariable(int) const override { return 0; }
  void SetIntegerVariable(int, std::int32_t) override {}
  const std::string& Content() const override { return content_; }
  void SetContent(std::string content) override {
    content_ = std::move(content);
    ++content_sets;
  }
  std::int32_t StatusCode() const override { return 200; }
  void SetStatusCode(std::int32_t) override {}
  void SendResponse() override { ADD_FAILURE() << "the handler must not send"; }

  bool ContentTypeSet() const { return strings_.count(frontend::rsContentType) != 0; }
  int content_sets = 0;

 private:
  std::map<int, std::string> strings_;
  std::string content_;
};

class PipelineTest : public ::testing::Test {
 protected:
  PipelineTest() {
    g_query.clear();
    for (const char* d : {"sessions", "upload", "members", "dumps"}) std::filesystem::create_directories(dir_.Path(d));
  }
  ~PipelineTest() override { g_query.clear(); }

  void Configure(bool with_dump) const {
    std::string config = "sessiondb=" + dir_.Path("sessions") + "\r\n";
    if (with_dump) config += "dumppath=" + dir_.Path("dumps") + "\r\n";
    WriteBytes(files_.Config(), config);
    Session("s1", "path=" + dir_.Path("upload") + "\r\nmembersdb=" + dir_.Path("members") + "\r\n");
  }
  void Session(std::string_view name, std::string_view bytes) const {
    WriteBytes(dir_.Path("sessions/") + std::string(name) + ".txt", bytes);
  }
  // Runs the handler on a request whose whole body is there at once.
  std::string Post(std::string_view body) {
    FakeRequest request{std::string(body), static_cast<std::int32_t>(body.size())};
    FakeResponse response{request};
    Run(request, response);
    EXPECT_EQ(response.StringVariable(frontend::rsContentType), "text/html");
    return response.Content();
  }
  void Run(FakeRequest& request, FakeResponse& response) {
    bool handled = true;
    module_.WebModule1WebActionItem1Action(nullptr, request, response, handled);
    EXPECT_TRUE(handled);
  }

  ProgramDirFiles files_;
  ScratchDir dir_;
  member::TWebModule1 module_;
};

TEST_F(PipelineTest, WithoutSessionDbOnlyTheLogIsWritten) {
  WriteBytes(files_.Config(), "sessiondb=" + dir_.Path("nowhere") + "\r\ndumppath=" + dir_.Path("dumps") + "\r\n");
  FakeRequest request{"session=s1&command=registration", 31};
  FakeResponse response{request};
  Run(request, response);
  EXPECT_FALSE(response.ContentTypeSet());
  EXPECT_EQ(response.content_sets, 0);
  const std::string log = ReadBytes(files_.ErrorLog());
  ASSERT_GE(log.size(), 17u);
  EXPECT_EQ(log.substr(17), "\r\nsessiondb error\r\n");
  EXPECT_TRUE(FilesBelow(dir_.Path("dumps")).empty());
}

TEST_F(PipelineTest, ProfileViewDecodesShowuserTwiceAndSkipsBodyAndDump) {
  Configure(true);
  WriteBytes(dir_.Path("members/a b.txt"), "realname=Ann\r\n");
  g_query = "showuser=a%2520b&session=s1";
  FakeRequest request{"session=s1&command=changepw", 100, {"more"}};
  FakeResponse response{request};
  Run(request, response);
  EXPECT_EQ(response.StringVariable(frontend::rsContentType), "text/html");
  EXPECT_EQ(response.Content(), pages::ProfilePage(dir_.Path("members/"), "a b"));
  EXPECT_NE(response.Content(), "");
  EXPECT_TRUE(request.requested.empty());
  EXPECT_TRUE(FilesBelow(dir_.Path("dumps")).empty());
}

TEST_F(PipelineTest, ProfileViewOfUnknownOrUnusableSessionIsEmpty) {
  Configure(false);
  WriteBytes(dir_.Path("members/a.txt"), "realname=Ann\r\n");
  // Settings outside the sessions directory that would name the members.
  WriteBytes(dir_.Path("x.txt"), "path=" + dir_.Path("upload") + "\r\nmembersdb=" + dir_.Path("members") + "\r\n");
  for (const char* query : {"showuser=a&session=nosuch", "showuser=a&session=..%2Fx", "showuser=a&session=%00"}) {
    g_query = query;
    FakeRequest request{"", -1};
    FakeResponse response{request};
    Run(request, response);
    EXPECT_EQ(response.StringVariable(frontend::rsContentType), "text/html") << query;
    EXPECT_EQ(response.Content(), "") << query;
  }
}

TEST_F(PipelineTest, HalfAQueryIsAPost) {
  Configure(false);
  WriteBytes(dir_.Path("members/a.txt"), "realname=Ann\r\n");
  g_query = "showuser=a";
  EXPECT_EQ(Post(""), pages::ErrorPage(member::texts::NoData));
  g_query = "session=s1&showuser=";
  EXPECT_EQ(Post(""), pages::ErrorPage(member::texts::NoData));
}

TEST_F(PipelineTest, LateBodyBytesAreReadAndDumped) {
  Configure(true);
  const std::string first = "session=s1&com";
  FakeRequest request{first, 30, {"mand=x", "&a=1234", "5678"}};
  FakeResponse response{request};
  Run(request, response);
  // Each read asks for exactly what is still missing.
  EXPECT_EQ(request.requested, (std::vector<std::int64_t>{16, 10, 3}));
  const std::string body = "session=s1&command=x&a=1234567";
  EXPECT_EQ(request.Content(), body);
  EXPECT_EQ(ReadBytes(dir_.Path("dumps/") + module_.Day + "/" + module_.Stamp + ".txt"), body);
  EXPECT_EQ(response.Content(), "");  // command "x" runs nothing
}

TEST_F(PipelineTest, InputEndingEarlyKeepsWhatArrived) {
  Configure(true);
  FakeRequest request{"session=s1", 1000, {"&command=y"}};
  FakeResponse response{request};
  Run(request, response);
  EXPECT_EQ(request.requested, (std::vector<std::int64_t>{990, 980}));
  EXPECT_EQ(ReadBytes(dir_.Path("dumps/") + module_.Day + "/" + module_.Stamp + ".txt"), "session=s1&command=y");
}

TEST_F(PipelineTest, EmptyBodyIsDumpedBeforeTheNoDataAnswer) {
  Configure(true);
  EXPECT_EQ(Post(""), pages::ErrorPage(member::texts::NoData));
  ASSERT_EQ(module_.Stamp.size(), 19u);
  EXPECT_EQ(module_.Stamp.substr(0, 8), module_.Day);
  EXPECT_EQ(FilesBelow(dir_.Path("dumps")), std::vector<std::string>{module_.Day + "/" + module_.Stamp + ".txt"});
  EXPECT_EQ(ReadBytes(dir_.Path("dumps/") + module_.Day + "/" + module_.Stamp + ".txt"), "");
}

TEST_F(PipelineTest, SessionChecksInOrder) {
  Configure(false);
  EXPECT_EQ(Post("session=nosuch&command=registration"), pages::ErrorPage(member::texts::SessionMissing));
  Session("nopath", "path=" + dir_.Path("missing") + "\r\nmembersdb=" + dir_.Path("members") + "\r\n");
  EXPECT_EQ(Post("session=nopath&command=registration"), pages::ErrorPage(member::texts::SessionMissing));
  Session("nomembers", "path=" + dir_.Path("upload") + "\r\n");
  EXPECT_EQ(Post("session=nomembers&command=registration"), pages::ErrorPage(member::texts::MembersDbMissing));
  // A session name that would leave the sessions directory is no session.
  WriteBytes(dir_.Path("x.txt"), "path=" + dir_.Path("upload") + "\r\nmembersdb=" + dir_.Path("members") + "\r\n");
  EXPECT_EQ(Post("session=..%2Fx&command=nope"), pages::ErrorPage(member::texts::SessionMissing));
  EXPECT_EQ(Post("session=s1&command=nope"), "");
}

TEST_F(PipelineTest, OnlyExactCommandNamesRun) {
  Configure(false);
  for (const char* body : {"session=s1&command=Registration", "session=s1&command=registration+",
                           "session=s1&command=CHANGEPW", "session=s1&command=", "session=s1&x=1"}) {
    EXPECT_EQ(Post(body), "") << body;
    EXPECT_EQ(module_.PostedFields.find("command="), std::string::npos) << module_.PostedFields;
    EXPECT_EQ(module_.SessionName, "s1");
  }
}

TEST_F(PipelineTest, AttachedFileViewsTheRequestBody) {
  Configure(false);
  const std::string body =
      "--B\r\nContent-Disposition: form-data; name=\"session\"\r\n\r\ns1\r\n"
      "--B\r\nContent-Disposition: form-data; name=\"command\"\r\n\r\nnone\r\n"
      "--B\r\nContent-Disposition: form-data; name=\"file\"; filename=\"C:\\pics\\leaf.jpg\"\r\n"
      "Content-Type: image/jpeg\r\n\r\nJPEGDATA\r\n--B--\r\n";
  FakeRequest request{body, static_cast<std::int32_t>(body.size())};
  FakeResponse response{request};
  Run(request, response);
  EXPECT_EQ(module_.PostedFileName, "leaf.jpg");
  EXPECT_EQ(module_.PostedFileData, "JPEGDATA");
  const std::string& held = request.Content();
  EXPECT_GE(module_.PostedFileData.data(), held.data());
  EXPECT_LE(module_.PostedFileData.data() + module_.PostedFileData.size(), held.data() + held.size());
  EXPECT_EQ(text::FieldValue(module_.PostedFields, "session"), "s1");
  EXPECT_EQ(text::FieldValue(module_.PostedFields, "command"), "");
}

}  // namespace
