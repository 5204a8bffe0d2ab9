#include "frontend/WebDispatcher.h"

#include "frontend/ErrorPages.h"

namespace frontend {

bool TCustomWebDispatcher::DispatchAction(TWebRequest& request, TWebResponse& response) {
  request_ = &request;
  response_ = &response;
  if (response.Sent()) return true;

  bool result = false;
  if (BeforeDispatch) {
    bool handled = false;
    BeforeDispatch(nullptr, request, response, handled);
    result = handled || response.Sent();
  }

  TWebActionItem* default_item = nullptr;
  // Count() is read on every turn: a handler may add items to the list.
  for (std::size_t i = 0; !result && i < actions_.Count(); ++i) {
    TWebActionItem& item = actions_[i];
    result = item.DispatchAction(request, response, false);
    if (item.Default()) default_item = &item;
  }
  if (!result && default_item != nullptr) result = default_item->DispatchAction(request, response, true);

  if (result && !response.Sent()) {
    bool handled = true;
    if (AfterDispatch) AfterDispatch(nullptr, request, response, handled);
    result = handled;
  }
  return result;
}

void TCustomWebDispatcher::HandleException(const platform::Exception& e, bool& handled) {
  handled = false;
  if (OnException) {
    handled = true;
    if (response_ != nullptr) response_->SetStatusCode(500);
    OnException(this, e, handled);
    if (handled && response_ != nullptr) response_->SendResponse();
  }
  if (!handled && response_ != nullptr) {
    // Whatever the handler had put into the content is replaced.
    response_->SetContent(ApplicationErrorPage(e.Message(), request_->PathInfo()));
    if (!response_->Sent()) {
      response_->SetStatusCode(500);
      response_->SendResponse();
    }
    handled = true;
  }
}

}  // namespace frontend
