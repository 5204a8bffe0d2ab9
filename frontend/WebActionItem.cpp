#include "frontend/WebActionItem.h"

#include "FrontendTexts.h"
#include "frontend/WebActionItems.h"
#include "frontend/WebException.h"
#include "platform/Sjis.h"

namespace frontend {

void TWebActionItem::SetName(std::string_view name) {
  if (!name.empty()) {
    for (std::size_t i = 0; i < collection_.Count(); ++i) {
      const TWebActionItem& other = collection_[i];
      if (&other != this && platform::SameTextSjis(other.Name(), name))
        throw EWebException(std::string(texts::DuplicateActionName));
    }
  }
  name_ = name;
}

void TWebActionItem::SetPathInfo(std::string_view path_info) {
  std::string value(path_info);
  for (char& c : value)
    if (c == '\\') c = '/';
  if (!value.empty() && value.front() != '/') value.insert(value.begin(), '/');
  path_info_ = std::move(value);
}

void TWebActionItem::SetDefault(bool value) {
  if (value) {
    for (std::size_t i = 0; i < collection_.Count(); ++i) {
      TWebActionItem& other = collection_[i];
      if (&other != this) other.default_ = false;
    }
  }
  default_ = value;
}

const TMask& TWebActionItem::Mask() {
  if (!mask_ || !platform::SameTextSjis(mask_text_, path_info_)) {
    mask_.reset();
    mask_.emplace(path_info_);
    mask_text_ = path_info_;
  }
  return *mask_;
}

bool TWebActionItem::DispatchAction(TWebRequest& request, TWebResponse& response, bool use_default) {
  const bool matches =
      (default_ && use_default) ||
      (enabled_ && (method_type_ == TMethodType::mtAny || method_type_ == request.MethodType()) &&
       Mask().Matches(request.InternalPathInfo()));
  if (!matches) return false;
  bool result = false;
  if (OnAction) {
    result = true;
    OnAction(this, request, response, result);
  }
  return result;
}

}  // namespace frontend
