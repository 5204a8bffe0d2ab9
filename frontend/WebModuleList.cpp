#include "frontend/WebModuleList.h"

#include <stdexcept>

#include "frontend/WebModule.h"

namespace frontend {

TWebModuleList::TWebModuleList(const TWebModuleFactoryList& factories) : factories_(factories) {}

TWebModuleList::~TWebModuleList() = default;

std::unique_ptr<TWebModule> TDefaultWebModuleFactory::CreateModule() { return module_class_(); }

void TWebModuleList::AutoCreateModules() {
  if (modules_.size() < factories_.size()) modules_.resize(factories_.size());
  for (std::size_t i = 0; i < factories_.size(); ++i) {
    if (!modules_[i] && factories_[i]->CreateMode() == TWebModuleCreateMode::crAlways)
      modules_[i] = factories_[i]->CreateModule();
  }
}

std::size_t TWebModuleList::ItemCount() const noexcept {
  std::size_t count = 0;
  for (const auto& module : modules_)
    if (module) ++count;
  return count;
}

TWebModule& TWebModuleList::Items(std::size_t index) {
  for (auto& module : modules_) {
    if (!module) continue;
    if (index == 0) return *module;
    --index;
  }
  throw std::out_of_range("TWebModuleList::Items");
}

void TWebModuleList::ClearContexts() noexcept {
  for (auto& module : modules_)
    if (module) module->ClearContext();
}

}  // namespace frontend
