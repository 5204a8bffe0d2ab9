#include "frontend/CGIFactory.h"

#include "frontend/ExceptionHook.h"

namespace frontend {

TCGIFactory::TCGIFactory(void* object) noexcept { SetExceptionHook(&CGIExceptionHook, object); }

std::unique_ptr<TCGIRequest> TCGIFactory::NewRequest() { return std::make_unique<TCGIRequest>(); }

std::unique_ptr<TCGIResponse> TCGIFactory::NewResponse(TCGIRequest& request) {
  return std::make_unique<TCGIResponse>(request);
}

}  // namespace frontend
