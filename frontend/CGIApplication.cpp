#include "frontend/CGIApplication.h"

#include <exception>
#include <new>

#include "frontend/ErrorPages.h"
#include "platform/Exception.h"

namespace frontend {
namespace {

// The last resort must not fail in turn: with no memory left even the page
// may not be built, and then the process ends without output.
void ServerError(std::string_view class_name, std::string_view message) noexcept {
  try {
    WriteServerErrorPage(class_name, message);
  } catch (...) {
  }
}

}  // namespace

TCGIApplication::~TCGIApplication() = default;

TCGIFactory& TCGIApplication::Factory() {
  if (!factory_) factory_ = std::make_unique<TCGIFactory>(this);
  return *factory_;
}

std::unique_ptr<TCGIRequest> TCGIApplication::NewRequest() { return Factory().NewRequest(); }

std::unique_ptr<TCGIResponse> TCGIApplication::NewResponse(TCGIRequest& request) {
  return Factory().NewResponse(request);
}

void TCGIApplication::Run() {
  // The request and response are freed (response first) before a server
  // error page is written, which also gives back the memory they held.
  try {
    std::unique_ptr<TCGIRequest> request = NewRequest();
    std::unique_ptr<TCGIResponse> response = NewResponse(*request);
    HandleRequest(*request, *response);
  } catch (const platform::Exception& e) {
    ServerError(e.ClassName(), e.Message());
  } catch (const std::bad_alloc&) {
    const platform::EOutOfMemory e;
    ServerError(e.ClassName(), e.Message());
  } catch (const std::exception&) {
    ServerError("std::exception", "");
  } catch (...) {
    ServerError("TObject", "");
  }
}

TCGIApplication& Application() {
  static TCGIApplication application;
  return application;
}

}  // namespace frontend
