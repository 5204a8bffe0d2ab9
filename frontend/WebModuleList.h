// A module set: the modules made for one request, one slot per factory of
// the application. A set may be pooled and serve a later request; its
// modules then keep their state.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "frontend/WebModuleFactory.h"

namespace frontend {

using TWebModuleFactoryList = std::vector<std::unique_ptr<TAbstractWebModuleFactory>>;

class TWebModuleList {
 public:
  // The factory list belongs to the application and outlives the set.
  explicit TWebModuleList(const TWebModuleFactoryList& factories);
  TWebModuleList(const TWebModuleList&) = delete;
  TWebModuleList& operator=(const TWebModuleList&) = delete;
  ~TWebModuleList();

  // Makes the module of every factory that always creates, unless the set
  // has it already.
  void AutoCreateModules();
  // The modules made so far, in factory order.
  std::size_t ItemCount() const noexcept;
  TWebModule& Items(std::size_t index);
  // Forgets the request and response in every module's dispatcher.
  void ClearContexts() noexcept;

 private:
  const TWebModuleFactoryList& factories_;
  std::vector<std::unique_ptr<TWebModule>> modules_;  // one slot per factory, empty until made
};

}  // namespace frontend
