// The services that carry one request through a module set: find the
// dispatcher and let it dispatch.
#pragma once

#include "frontend/ExceptionHook.h"
#include "frontend/WebDispatcher.h"
#include "frontend/WebModuleList.h"
#include "frontend/WebRequest.h"
#include "frontend/WebResponse.h"

namespace frontend {

class TDefaultWebAppServices {
 public:
  TDefaultWebAppServices() = default;
  TDefaultWebAppServices(const TDefaultWebAppServices&) = delete;
  TDefaultWebAppServices& operator=(const TDefaultWebAppServices&) = delete;
  virtual ~TDefaultWebAppServices() = default;

  virtual void InitContext(TWebModuleList& modules, TWebRequest& request, TWebResponse& response);
  // The dispatcher's result. Throws EWebException when no module is a
  // dispatcher.
  virtual bool HandleRequest();
  virtual void FinishContext() {}
  // The dispatcher found by HandleRequest, which answers its exceptions; null
  // before one was found.
  virtual IWebExceptionHandler* ExceptionHandler() noexcept { return dispatcher_; }

 private:
  TWebModuleList* modules_ = nullptr;
  TWebRequest* request_ = nullptr;
  TWebResponse* response_ = nullptr;
  TCustomWebDispatcher* dispatcher_ = nullptr;
};

}  // namespace frontend
