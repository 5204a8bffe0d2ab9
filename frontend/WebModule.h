// The web module base class. A module is its own dispatcher: a program's
// module class derives from TWebModule, adds its action items in its
// constructor and is registered with the application by its factory
// function, a TWebModuleClass. This header is all a program needs: it also
// brings the application (Application(), TCGIApplication).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "frontend/CGIApplication.h"
#include "frontend/WebActionItem.h"
#include "frontend/WebActionItems.h"
#include "frontend/WebDispatcher.h"
#include "frontend/WebException.h"
#include "frontend/WebModuleClass.h"
#include "frontend/WebRequest.h"
#include "frontend/WebResponse.h"
#include "platform/Exception.h"

namespace frontend {

class TDefaultWebAppServices;

class TWebModule : public TCustomWebDispatcher {
 public:
  TWebModule() = default;
  ~TWebModule() override = default;

  // A module may bring its own request services; the application then uses
  // the first module's that does. None by default.
  virtual TDefaultWebAppServices* AppServices() noexcept { return nullptr; }
};

}  // namespace frontend
