// The application: keeps the registered module class, its factories and the
// module sets, and carries one request through a module set. Derived
// applications say where requests come from (Run).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "frontend/WebModuleClass.h"
#include "frontend/WebModuleFactory.h"
#include "frontend/WebModuleList.h"
#include "frontend/WebRequest.h"
#include "frontend/WebResponse.h"

namespace frontend {

class TWebApplication {
 public:
  // Installs the default exception hook with this application as its object.
  TWebApplication();
  TWebApplication(const TWebApplication&) = delete;
  TWebApplication& operator=(const TWebApplication&) = delete;
  // Frees the module sets and factories and uninstalls this application's hook.
  virtual ~TWebApplication();

  // Calls InitProc if one is set.
  virtual void Initialize();
  // Records the module class; no module is made here. The same class again
  // is accepted silently; a different one throws platform::Exception.
  void RegisterModuleClass(TWebModuleClass module_class);
  virtual void Run() = 0;

  // Activates a module set, makes its modules, lets the dispatcher handle the
  // request and sends the response once if it was handled and not sent yet.
  // An exception raised while dispatching goes to the exception hook with
  // the dispatcher; one raised elsewhere from module creation on goes to it
  // without. Returns whether the request was handled.
  bool HandleRequest(TWebRequest& request, TWebResponse& response);

  TWebModuleClass ModuleClass() const noexcept { return module_class_; }
  // Active module sets allowed at once; 0 or less means no limit.
  int MaxConnections() const noexcept { return max_connections_; }
  void SetMaxConnections(int value) noexcept { max_connections_ = value; }
  // Whether a set with modules is kept for the next request.
  bool CacheConnections() const noexcept { return cache_connections_; }
  void SetCacheConnections(bool value) noexcept { cache_connections_ = value; }
  std::size_t ActiveCount();
  std::size_t InactiveCount();

  // The start-up hook Initialize calls.
  std::function<void()> InitProc;

 private:
  TWebModuleList& ActivateWebModules();
  void DeactivateWebModules(TWebModuleList& modules) noexcept;

  std::mutex lock_;  // guards the factory list and the two set lists
  TWebModuleClass module_class_ = nullptr;
  int max_connections_ = 32;
  bool cache_connections_ = true;
  // Declared before the sets, which refer to it, so it is freed after them.
  TWebModuleFactoryList factories_;
  std::vector<std::unique_ptr<TWebModuleList>> active_;
  std::vector<std::unique_ptr<TWebModuleList>> inactive_;
};

}  // namespace frontend
