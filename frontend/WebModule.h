// The web module base class. A module is its own dispatcher: a program's
// module class derives from TWebModule, adds its action items in its
// constructor and is registered with the application by its factory
// function, a TWebModuleClass.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "frontend/WebActionItem.h"
#include "frontend/WebActionItems.h"
#include "frontend/WebDispatcher.h"
#include "frontend/WebException.h"
#include "frontend/WebRequest.h"
#include "frontend/WebResponse.h"
#include "platform/Exception.h"

namespace frontend {

class TWebModule;
class TDefaultWebAppServices;

// A module class: makes a new instance of that module. Two registrations of
// the same function are the same class.
using TWebModuleClass = std::unique_ptr<TWebModule> (*)();

class TWebModule : public TCustomWebDispatcher {
 public:
  TWebModule() = default;
  ~TWebModule() override = default;

  // A module may bring its own request services; the application then uses
  // the first module's that does. None by default.
  virtual TDefaultWebAppServices* AppServices() noexcept { return nullptr; }
};

}  // namespace frontend
