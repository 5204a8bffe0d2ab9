// The dispatcher: offers a request to its action items in list order, with
// Before/After events around them, and turns an exception raised while it
// dispatches into the application error page.
#pragma once

#include <functional>

#include "frontend/ExceptionHook.h"
#include "frontend/WebActionItems.h"
#include "frontend/WebRequest.h"
#include "frontend/WebResponse.h"
#include "platform/Exception.h"

namespace frontend {

class TCustomWebDispatcher;

using TWebExceptionEvent =
    std::function<void(TCustomWebDispatcher* sender, const platform::Exception& e, bool& handled)>;

class TCustomWebDispatcher : public IWebExceptionHandler {
 public:
  TCustomWebDispatcher() : actions_(this) {}
  TCustomWebDispatcher(const TCustomWebDispatcher&) = delete;
  TCustomWebDispatcher& operator=(const TCustomWebDispatcher&) = delete;
  ~TCustomWebDispatcher() override = default;

  TWebActionItems& Actions() noexcept { return actions_; }

  // Returns whether the request was handled. Remembers the request and the
  // response for HandleException. The Before and After events get no sender.
  bool DispatchAction(TWebRequest& request, TWebResponse& response);

  // With OnException: status 500, the event decides, and a handled response
  // is sent. Otherwise the current response gets the application error
  // page (message and path info) and is sent with status 500 unless it went
  // out already. Without a current response nothing is handled.
  void HandleException(const platform::Exception& e, bool& handled) override;

  TWebRequest* Request() const noexcept { return request_; }
  TWebResponse* Response() const noexcept { return response_; }
  // Forgets the request and the response, which live shorter than a pooled
  // module.
  void ClearContext() noexcept {
    request_ = nullptr;
    response_ = nullptr;
  }

  THTTPMethodEvent BeforeDispatch;
  THTTPMethodEvent AfterDispatch;
  TWebExceptionEvent OnException;

 private:
  TWebActionItems actions_;
  TWebRequest* request_ = nullptr;
  TWebResponse* response_ = nullptr;
};

}  // namespace frontend
