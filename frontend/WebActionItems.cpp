#include "frontend/WebActionItems.h"

#include "platform/Sjis.h"

namespace frontend {

TWebActionItem& TWebActionItems::Add() {
  items_.push_back(std::make_unique<TWebActionItem>(*this));
  return *items_.back();
}

TWebActionItem* TWebActionItems::FindItem(std::string_view name) noexcept {
  for (auto& item : items_)
    if (platform::SameTextSjis(item->Name(), name)) return item.get();
  return nullptr;
}

}  // namespace frontend
