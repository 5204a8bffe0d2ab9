// Makes the request and response objects of a CGI process. Making the
// factory installs the CGI exception hook, so the hook is in force before
// the request object (and its reading of the body) exists.
#pragma once

#include <memory>

#include "frontend/WebRequest.h"
#include "frontend/WebResponse.h"

namespace frontend {

class TCGIFactory {
 public:
  // object: the application, kept as the hook's object.
  explicit TCGIFactory(void* object) noexcept;
  TCGIFactory(const TCGIFactory&) = delete;
  TCGIFactory& operator=(const TCGIFactory&) = delete;

  // Reads the body from the connection (the process's standard input by
  // default) before it returns.
  std::unique_ptr<TCGIRequest> NewRequest(TConnection& connection = StandardConnection());
  std::unique_ptr<TCGIResponse> NewResponse(TCGIRequest& request);
};

}  // namespace frontend
