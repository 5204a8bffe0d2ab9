// Module factories: how the application makes the modules of a module set.
// The only one in use makes one module of the registered class, always.
#pragma once

#include <memory>

#include "frontend/WebModuleClass.h"

namespace frontend {

enum class TWebModuleCreateMode { crOnDemand, crAlways };

class TAbstractWebModuleFactory {
 public:
  virtual ~TAbstractWebModuleFactory() = default;
  virtual std::unique_ptr<TWebModule> CreateModule() = 0;
  virtual TWebModuleCreateMode CreateMode() const noexcept = 0;
};

class TDefaultWebModuleFactory : public TAbstractWebModuleFactory {
 public:
  explicit TDefaultWebModuleFactory(TWebModuleClass module_class) noexcept : module_class_(module_class) {}
  std::unique_ptr<TWebModule> CreateModule() override;
  TWebModuleCreateMode CreateMode() const noexcept override { return TWebModuleCreateMode::crAlways; }
  TWebModuleClass ModuleClass() const noexcept { return module_class_; }

 private:
  TWebModuleClass module_class_;
};

}  // namespace frontend
