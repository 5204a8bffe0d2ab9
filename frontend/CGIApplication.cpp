#include "frontend/CGIApplication.h"

#include <exception>
#include <new>

#include "frontend/ErrorPages.h"
#include "platform/Exception.h"

namespace frontend {
namespace {

// The last resort must not fail in turn: with no memory left even the page
// may not be built, and then the process ends without output.
void ServerError(TConnection& connection, std::string_view class_name, std::string_view message) noexcept {
  try {
    WriteServerErrorPage(class_name, message, connection);
  } catch (...) {
  }
}

}  // namespace

TCGIApplication::~TCGIApplication() = default;

TCGIFactory& TCGIApplication::Factory() {
  if (!factory_) factory_ = std::make_unique<TCGIFactory>(this);
  return *factory_;
}

std::unique_ptr<TCGIRequest> TCGIApplication::NewRequest(TConnection& connection) {
  return Factory().NewRequest(connection);
}

std::unique_ptr<TCGIResponse> TCGIApplication::NewResponse(TCGIRequest& request) {
  return Factory().NewResponse(request);
}

void TCGIApplication::Run() {
  const bool resident = ServeFastCgi([this](TConnection& connection) {
    // A pooled module would carry one request's fields into the next.
    SetCacheConnections(false);
    RunOne(connection);
  });
  if (!resident) RunOne(StandardConnection());
}

void TCGIApplication::RunOne(TConnection& connection) noexcept {
  // The request and response are freed (response first) before a server
  // error page is written, which also gives back the memory they held.
  try {
    std::unique_ptr<TCGIRequest> request = NewRequest(connection);
    std::unique_ptr<TCGIResponse> response = NewResponse(*request);
    HandleRequest(*request, *response);
  } catch (const platform::Exception& e) {
    ServerError(connection, e.ClassName(), e.Message());
  } catch (const std::bad_alloc&) {
    const platform::EOutOfMemory e;
    ServerError(connection, e.ClassName(), e.Message());
  } catch (const std::exception&) {
    ServerError(connection, "std::exception", "");
  } catch (...) {
    ServerError(connection, "TObject", "");
  }
}

TCGIApplication& Application() {
  static TCGIApplication application;
  return application;
}

}  // namespace frontend
