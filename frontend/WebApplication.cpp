#include "frontend/WebApplication.h"

#include <algorithm>

#include "FrontendTexts.h"
#include "frontend/ExceptionHook.h"
#include "frontend/WebAppServices.h"
#include "frontend/WebException.h"
#include "frontend/WebModule.h"

namespace frontend {

TWebApplication::TWebApplication() {
  // Until the CGI factory installs its own hook, exceptions are offered to
  // the dispatcher and otherwise raised again, the same policy: nothing may
  // be swallowed without a page.
  SetExceptionHook(&CGIExceptionHook, this);
}

TWebApplication::~TWebApplication() {
  ClearExceptionHook(this);
  std::lock_guard<std::mutex> guard(lock_);
  active_.clear();
  inactive_.clear();
}

void TWebApplication::Initialize() {
  if (InitProc) InitProc();
}

void TWebApplication::RegisterModuleClass(TWebModuleClass module_class) {
  std::lock_guard<std::mutex> guard(lock_);
  if (module_class_ == nullptr) {
    module_class_ = module_class;
  } else if (module_class_ != module_class) {
    throw platform::Exception(std::string(texts::OnlyOneDataModule));
  }
}

std::size_t TWebApplication::ActiveCount() {
  std::lock_guard<std::mutex> guard(lock_);
  return active_.size();
}

std::size_t TWebApplication::InactiveCount() {
  std::lock_guard<std::mutex> guard(lock_);
  return inactive_.size();
}

TWebModuleList& TWebApplication::ActivateWebModules() {
  std::lock_guard<std::mutex> guard(lock_);
  if (max_connections_ > 0 && active_.size() >= static_cast<std::size_t>(max_connections_))
    throw EWebException(std::string(texts::MaxConnectionsReached));
  std::unique_ptr<TWebModuleList> modules;
  if (!inactive_.empty()) {
    modules = std::move(inactive_.back());
    inactive_.pop_back();
  } else {
    if (factories_.empty() && module_class_ != nullptr)
      factories_.push_back(std::make_unique<TDefaultWebModuleFactory>(module_class_));
    if (factories_.empty()) throw EWebException(std::string(texts::NoModuleRegistered));
    modules = std::make_unique<TWebModuleList>(factories_);
  }
  active_.push_back(std::move(modules));
  return *active_.back();
}

void TWebApplication::DeactivateWebModules(TWebModuleList& modules) noexcept {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = std::find_if(active_.begin(), active_.end(), [&](const auto& p) { return p.get() == &modules; });
  if (it == active_.end()) return;
  std::unique_ptr<TWebModuleList> owned = std::move(*it);
  active_.erase(it);
  if (cache_connections_ && owned->ItemCount() > 0) {
    owned->ClearContexts();
    try {
      inactive_.push_back(std::move(owned));
    } catch (...) {
      // no room to pool it: it is freed instead
    }
  }
}

bool TWebApplication::HandleRequest(TWebRequest& request, TWebResponse& response) {
  TWebModuleList& modules = ActivateWebModules();
  bool handled = false;
  try {
    modules.AutoCreateModules();
    if (modules.ItemCount() == 0) throw EWebException(std::string(texts::NoAutoCreateModule));
    try {
      TDefaultWebAppServices default_services;
      TDefaultWebAppServices* services = &default_services;
      for (std::size_t i = 0; i < modules.ItemCount(); ++i) {
        if (TDefaultWebAppServices* own = modules.Items(i).AppServices()) {
          services = own;
          break;
        }
      }
      services->InitContext(modules, request, response);
      try {
        handled = services->HandleRequest();
      } catch (...) {
        // The dispatcher answers with the application error page; anything
        // it cannot answer is raised again by the hook.
        handled = false;
        CallExceptionHook(std::current_exception(), services->ExceptionHandler());
      }
      services->FinishContext();
      if (handled && !response.Sent()) response.SendResponse();
    } catch (...) {
      CallExceptionHook(std::current_exception(), nullptr);
    }
  } catch (...) {
    DeactivateWebModules(modules);
    throw;
  }
  DeactivateWebModules(modules);
  return handled;
}

}  // namespace frontend
