// The ordered list of a dispatcher's action items. Items are owned by the
// list and keep their address for the list's life.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "frontend/WebActionItem.h"

namespace frontend {

class TCustomWebDispatcher;

class TWebActionItems {
 public:
  explicit TWebActionItems(TCustomWebDispatcher* dispatcher = nullptr) : dispatcher_(dispatcher) {}
  TWebActionItems(const TWebActionItems&) = delete;
  TWebActionItems& operator=(const TWebActionItems&) = delete;

  // A new item with the defaults: no name, empty PathInfo, mtAny, enabled.
  TWebActionItem& Add();
  std::size_t Count() const noexcept { return items_.size(); }
  TWebActionItem& Items(std::size_t index) { return *items_.at(index); }
  TWebActionItem& operator[](std::size_t index) { return *items_.at(index); }
  const TWebActionItem& operator[](std::size_t index) const { return *items_.at(index); }
  // The item of that name, compared without regard to letter case; null if none.
  TWebActionItem* FindItem(std::string_view name) noexcept;
  TCustomWebDispatcher* Dispatcher() const noexcept { return dispatcher_; }

 private:
  TCustomWebDispatcher* dispatcher_;
  std::vector<std::unique_ptr<TWebActionItem>> items_;
};

}  // namespace frontend
