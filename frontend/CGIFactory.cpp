#include "frontend/CGIFactory.h"

#include "frontend/ExceptionHook.h"

namespace frontend {

TCGIFactory::TCGIFactory(void* object) noexcept { SetExceptionHook(&CGIExceptionHook, object); }

std::unique_ptr<TCGIRequest> TCGIFactory::NewRequest(TConnection& connection) {
  return std::make_unique<TCGIRequest>(connection);
}

std::unique_ptr<TCGIResponse> TCGIFactory::NewResponse(TCGIRequest& request) {
  return std::make_unique<TCGIResponse>(request);
}

}  // namespace frontend
