// What a module class is to the framework: a function that makes a new
// instance of that module. Kept apart so the module machinery needs no more
// of the module than its name.
#pragma once

#include <memory>

namespace frontend {

class TWebModule;

// Two registrations of the same function are the same class.
using TWebModuleClass = std::unique_ptr<TWebModule> (*)();

}  // namespace frontend
