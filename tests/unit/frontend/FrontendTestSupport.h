// Helpers of the front-end tests: Shift_JIS expectations written in UTF-8, a
// request that records its output, scoped environment and standard input,
// and a forked run of a whole CGI process.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Cp932.h"
#include "frontend/WebModule.h"
#include "frontend/WebRequest.h"

namespace frontend_test {

// The expected bytes come from iconv, independently of the build's text
// generator, so a wrong texts file shows as a difference.
using testing_texts::Sjis;

// A request with variables set by the test; everything written to it is
// kept in `out`, and each header block is counted.
class FakeRequest : public frontend::TWebRequest {
 public:
  explicit FakeRequest(std::string protocol = "HTTP/1.1", std::string path_info = "",
                       frontend::TMethodType method = frontend::TMethodType::mtGet) {
    vars[frontend::rvProtocolVersion] = std::move(protocol);
    vars[frontend::rvPathInfo] = std::move(path_info);
    method_type_ = method;
  }
  std::string StringVariable(int index) override {
    if (index == frontend::rvContent) return content_;
    auto it = vars.find(index);
    return it == vars.end() ? std::string() : it->second;
  }
  double DateVariable(int) override { return -1.0; }
  std::int32_t IntegerVariable(int index) override { return frontend::StrToIntDef(StringVariable(index)); }
  std::size_t ReadBytes(char*, std::size_t) override { return 0; }
  std::string ReadText(std::int64_t) override { return {}; }
  std::string TranslateUri(const std::string& uri) override { return uri; }
  std::size_t WriteBytes(const char* buffer, std::size_t count) override {
    out.append(buffer, count);
    return count;
  }
  bool WriteText(std::string_view text) override {
    if (text.empty()) return false;
    out += text;
    return true;
  }
  bool WriteHeaderBlock(int, std::string_view status_line, std::string_view headers) override {
    ++header_blocks;
    if (fail_header) throw platform::Exception("write failed");
    return WriteText("Status: " + std::string(status_line) + "\r\n" + std::string(headers));
  }
  std::string FieldByName(const std::string&) override { return {}; }
  std::string CgiVariable(const std::string&) override { return {}; }

  std::map<int, std::string> vars;
  std::string out;
  int header_blocks = 0;
  bool fail_header = false;
};

// What the test modules' single action does; set by each test.
using Handler = std::function<void(frontend::TWebRequest&, frontend::TWebResponse&, bool&)>;
inline Handler& CurrentHandler() {
  static Handler handler;
  return handler;
}
inline int& ModulesCreated() {
  static int count = 0;
  return count;
}

// Set up like the program's module: one item "WebActionItem1" with the
// defaults, its OnAction calling the current handler.
class TestModule : public frontend::TWebModule {
 public:
  TestModule() {
    ++ModulesCreated();
    auto& item = Actions().Add();
    item.SetName("WebActionItem1");
    item.OnAction = [](frontend::TWebActionItem*, frontend::TWebRequest& rq, frontend::TWebResponse& rs, bool& h) {
      if (CurrentHandler()) CurrentHandler()(rq, rs, h);
    };
  }
  static std::unique_ptr<frontend::TWebModule> Create() { return std::make_unique<TestModule>(); }
};

class OtherModule : public frontend::TWebModule {
 public:
  static std::unique_ptr<frontend::TWebModule> Create() { return std::make_unique<OtherModule>(); }
};

// Sets or unsets environment variables for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second) ::setenv(it->first.c_str(), it->second->c_str(), 1);
      else ::unsetenv(it->first.c_str());
    }
  }
  void Set(const std::string& name, const std::string& value) {
    Save(name);
    ::setenv(name.c_str(), value.c_str(), 1);
  }
  void Unset(const std::string& name) {
    Save(name);
    ::unsetenv(name.c_str());
  }

 private:
  void Save(const std::string& name) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Replaces standard input by a file holding exactly `bytes` (end of input
// after them) for the life of the object.
class ScopedStdin {
 public:
  explicit ScopedStdin(const std::string& bytes) {
    char path[] = "/tmp/frontend-stdin-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) throw std::runtime_error("mkstemp");
    ::unlink(path);
    if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) throw std::runtime_error("write");
    ::lseek(fd, 0, SEEK_SET);
    Install(fd);
  }
  // Takes a descriptor (a pipe's reading end, say) as standard input.
  struct FromFd {};
  ScopedStdin(FromFd, int fd) { Install(fd); }
  ScopedStdin(const ScopedStdin&) = delete;
  ScopedStdin& operator=(const ScopedStdin&) = delete;
  ~ScopedStdin() {
    ::dup2(saved_, STDIN_FILENO);
    ::close(saved_);
  }

 private:
  void Install(int fd) {
    saved_ = ::dup(STDIN_FILENO);
    ::dup2(fd, STDIN_FILENO);
    ::close(fd);
  }
  int saved_ = -1;
};

// Runs `body` in a child process with a clean environment holding only
// `env`, standard input holding `input`, and returns what the child wrote to
// standard output. The child ends with _exit(0) after body returns.
inline std::string RunChild(const std::map<std::string, std::string>& env, const std::string& input,
                            const std::function<void()>& body, int* exit_code = nullptr) {
  int out_pipe[2];
  if (::pipe(out_pipe) != 0) throw std::runtime_error("pipe");
  char path[] = "/tmp/frontend-child-XXXXXX";
  const int in_fd = ::mkstemp(path);
  if (in_fd < 0) throw std::runtime_error("mkstemp");
  ::unlink(path);
  if (::write(in_fd, input.data(), input.size()) != static_cast<ssize_t>(input.size())) throw std::runtime_error("write");
  ::lseek(in_fd, 0, SEEK_SET);
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    ::clearenv();
    for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
    ::dup2(in_fd, STDIN_FILENO);
    ::dup2(out_pipe[1], STDOUT_FILENO);
    ::close(in_fd);
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    body();
    std::fflush(nullptr);
    ::_exit(0);
  }
  ::close(in_fd);
  ::close(out_pipe[1]);
  std::string out;
  char buf[4096];
  while (true) {
    const ssize_t n = ::read(out_pipe[0], buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(out_pipe[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (exit_code) *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

}  // namespace frontend_test
