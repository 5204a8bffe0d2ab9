// The dispatcher, its action items and the web module base class. A module
// is its own dispatcher; each action item has a path mask and an OnAction
// handler that fills the response.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "frontend/WebRequest.h"
#include "frontend/WebResponse.h"
#include "platform/Exception.h"

namespace frontend {

class TWebActionItem;

using THTTPMethodEvent =
    std::function<void(TWebActionItem* sender, TWebRequest& request, TWebResponse& response, bool& handled)>;

class TWebModule;
// A module class: makes a new instance of that module.
using TWebModuleClass = std::unique_ptr<TWebModule> (*)();

}  // namespace frontend
