// The application of a CGI process: one request from the environment and
// standard input, one answer on standard output, and nothing ever escapes
// Run. Started by a FastCGI process manager instead, the same process
// serves request after request, each exactly as a CGI process would.
#pragma once

#include <memory>

#include "frontend/CGIFactory.h"
#include "frontend/WebApplication.h"

namespace frontend {

class TCGIApplication : public TWebApplication {
 public:
  TCGIApplication() = default;
  ~TCGIApplication() override;

  // Makes the request (reading the body), the response, and handles the
  // request. Any failure that escapes, of whatever type, is answered with
  // the server error page. A resident process does this for every request
  // it accepts, with a fresh module set each time, and returns once its
  // manager closes the socket.
  void Run() override;

  // Both made by the factory, which is made on first use.
  std::unique_ptr<TCGIRequest> NewRequest(TConnection& connection = StandardConnection());
  std::unique_ptr<TCGIResponse> NewResponse(TCGIRequest& request);
  TCGIFactory& Factory();

 private:
  void RunOne(TConnection& connection) noexcept;
  std::unique_ptr<TCGIFactory> factory_;
};

// The process-wide application, made on first use and freed at process exit.
TCGIApplication& Application();

}  // namespace frontend
