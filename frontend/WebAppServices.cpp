#include "frontend/WebAppServices.h"

#include "FrontendTexts.h"
#include "frontend/WebException.h"
#include "frontend/WebModule.h"

namespace frontend {

void TDefaultWebAppServices::InitContext(TWebModuleList& modules, TWebRequest& request, TWebResponse& response) {
  modules_ = &modules;
  request_ = &request;
  response_ = &response;
  dispatcher_ = nullptr;
}

bool TDefaultWebAppServices::HandleRequest() {
  // Every module is a dispatcher of its own, so the first module is the one.
  if (modules_ != nullptr && modules_->ItemCount() > 0) dispatcher_ = &modules_->Items(0);
  if (dispatcher_ == nullptr) throw EWebException(std::string(texts::NoDispatcher));
  return dispatcher_->DispatchAction(*request_, *response_);
}

}  // namespace frontend
