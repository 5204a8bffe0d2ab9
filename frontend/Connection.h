// Where one request comes from and where its answer goes: the CGI
// variables, the body and the output side. A CGI process has exactly one,
// its own environment and standard streams; a resident FastCGI process gets
// a new one for every request it accepts. Only the request object and the
// last-resort error page talk to it, so nothing above them can tell the
// two kinds of process apart.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace frontend {

class TConnection {
 public:
  virtual ~TConnection() = default;
  // The variable of exactly that name; unset and empty both give "".
  virtual std::string Variable(const std::string& name) = 0;
  // Up to count bytes of the body; 0 at its end and on a failing read, so a
  // broken connection ends the body instead of looping.
  virtual std::size_t Read(char* buffer, std::size_t count) = 0;
  // All of bytes, or false.
  virtual bool Write(std::string_view bytes) = 0;
};

// The process's environment, standard input and standard output.
TConnection& StandardConnection();

// True when a person (or a script) started the process, not a web server
// or a process manager: no CGI request variable and no passed socket is
// set, whatever standard input is. A web server may pass a query's words
// as arguments (an ISINDEX query), so a CGI request never counts as this.
bool StartedByHand();

// When standard input is a listening socket (the process was started by a
// FastCGI process manager), or systemd passed one (socket activation),
// accepts requests on it one after another and
// calls serve for each with a connection of its own, until the manager
// closes the socket; then returns true. Returns false at once otherwise,
// and always in a build without FastCGI: the process is a CGI program.
bool ServeFastCgi(const std::function<void(TConnection&)>& serve);

}  // namespace frontend
