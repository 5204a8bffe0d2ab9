// The resident mode, on the FastCGI kit's reentrant interface. One request
// at a time: the process manager starts as many processes as it wants
// requests served at once, and each request's files are locked as in CGI.
#include <fcgiapp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "frontend/Connection.h"
#include "platform/System.h"

namespace frontend {
namespace {

// The kit counts in int; larger pieces go in several calls.
constexpr std::size_t kMaxPiece = INT_MAX / 2;

class TFastCgiConnection final : public TConnection {
 public:
  explicit TFastCgiConnection(FCGX_Request& request) : request_(request) {}

  std::string Variable(const std::string& name) override {
    const char* value = FCGX_GetParam(name.c_str(), request_.envp);
    return value != nullptr ? std::string(value) : std::string();
  }

  std::size_t Read(char* buffer, std::size_t count) override {
    const int want = static_cast<int>(std::min(count, kMaxPiece));
    const int got = FCGX_GetStr(buffer, want, request_.in);
    return got > 0 ? static_cast<std::size_t>(got) : 0;
  }

  bool Write(std::string_view bytes) override {
    while (!bytes.empty()) {
      const int piece = static_cast<int>(std::min(bytes.size(), kMaxPiece));
      // A web server whose client went away makes this fail (SIGPIPE is
      // ignored): the rest of the answer is dropped, the process goes on.
      if (FCGX_PutStr(bytes.data(), piece, request_.out) != piece) return false;
      bytes.remove_prefix(static_cast<std::size_t>(piece));
    }
    return true;
  }

 private:
  FCGX_Request& request_;
};

// A listening socket has no peer, and accepts connections.
bool IsListeningSocket(int fd) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  errno = 0;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 || errno != ENOTCONN) return false;
  int accepting = 0;
  socklen_t size = sizeof accepting;
  return ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &size) == 0 && accepting != 0;
}

// The FastCGI standard's listening socket on standard input (spawn-fcgi,
// web servers that start the processes), else the one systemd passes.
int ListeningSocket() {
  if (IsListeningSocket(0)) return 0;
  const int passed = platform::PassedListenSocket();
  return passed >= 0 && IsListeningSocket(passed) ? passed : -1;
}

// Accepted requests are finished (the answer flushed, the connection
// closed) on every way out of a loop turn, and the kit's buffers freed at
// the end.
class TAcceptedRequests {
 public:
  explicit TAcceptedRequests(int socket) { ready_ = FCGX_InitRequest(&request_, socket, 0) == 0; }
  TAcceptedRequests(const TAcceptedRequests&) = delete;
  TAcceptedRequests& operator=(const TAcceptedRequests&) = delete;
  ~TAcceptedRequests() {
    FCGX_Finish_r(&request_);
    FCGX_Free(&request_, 1);
  }
  // Finishes the previous request, then waits for the next; false once
  // the socket is closed or failing.
  bool Next() { return ready_ && FCGX_Accept_r(&request_) >= 0; }
  void Finish() {
    // The kit's orderly close waits (up to 2 s) for the web server to hang
    // up first, so that input still on its way cannot turn the close into a
    // reset that discards the answer; meanwhile this process serves no one.
    // Once the server has ended the request's input and nothing is left
    // unread, there is nothing to reset: the connection closes at once.
    int unread = 0;
    if (request_.ipcFd >= 0 && request_.keepConnection == 0 && InputEnded() &&
        ::ioctl(request_.ipcFd, FIONREAD, &unread) == 0 && unread == 0) {
      FCGX_Detach(&request_);
    }
    FCGX_Finish_r(&request_);
  }
  FCGX_Request& Current() { return request_; }

 private:
  // True when the server has sent the end of the request's input. A body
  // the request never read (or one over the limit) answers false at its
  // first byte, so this never reads more than one byte of it.
  bool InputEnded() {
    if (FCGX_HasSeenEOF(request_.in) == EOF) return true;
    char byte = 0;
    return FCGX_GetStr(&byte, 1, request_.in) == 0 && FCGX_HasSeenEOF(request_.in) == EOF;
  }

  FCGX_Request request_{};
  bool ready_ = false;
};

}  // namespace

bool ServeFastCgi(const std::function<void(TConnection&)>& serve) {
  const int socket = ListeningSocket();
  if (socket < 0 || FCGX_Init() != 0) return false;
  // The kit puts a handler of its own on SIGPIPE; a client gone away must
  // stay a failing write, nothing more.
  platform::IgnoreBrokenPipe();
  TAcceptedRequests requests(socket);
  while (requests.Next()) {
    {
      TFastCgiConnection connection(requests.Current());
      serve(connection);
    }
    // The answer leaves now, not when the next request arrives.
    requests.Finish();
  }
  return true;
}

}  // namespace frontend
