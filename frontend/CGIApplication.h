// The application of a CGI process: one request from the environment and
// standard input, one answer on standard output, and nothing ever escapes
// Run.
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
  // the server error page.
  void Run() override;

  // Both made by the factory, which is made on first use.
  std::unique_ptr<TCGIRequest> NewRequest();
  std::unique_ptr<TCGIResponse> NewResponse(TCGIRequest& request);
  TCGIFactory& Factory();

 private:
  std::unique_ptr<TCGIFactory> factory_;
};

// The process-wide application, made on first use and freed at process exit.
TCGIApplication& Application();

}  // namespace frontend
