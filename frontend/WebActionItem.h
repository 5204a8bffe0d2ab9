// One action of a dispatcher: a path mask, a method and an OnAction handler
// that fills the response.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "frontend/Mask.h"
#include "frontend/WebRequest.h"
#include "frontend/WebResponse.h"

namespace frontend {

class TWebActionItem;
class TWebActionItems;

// Called with the item as sender (none for a dispatcher's Before/After
// events) and handled already true for OnAction; what the handler leaves in
// handled is the dispatch result.
using THTTPMethodEvent =
    std::function<void(TWebActionItem* sender, TWebRequest& request, TWebResponse& response, bool& handled)>;

class TWebActionItem {
 public:
  explicit TWebActionItem(TWebActionItems& collection) : collection_(collection) {}
  TWebActionItem(const TWebActionItem&) = delete;
  TWebActionItem& operator=(const TWebActionItem&) = delete;

  const std::string& Name() const noexcept { return name_; }
  // Throws EWebException when another item of the list has this name,
  // compared without regard to letter case. Empty names never clash.
  void SetName(std::string_view name);

  const std::string& PathInfo() const noexcept { return path_info_; }
  // Backslashes become "/" and a missing leading "/" is added; an empty
  // value stays empty (and then matches only an empty path info).
  void SetPathInfo(std::string_view path_info);

  TMethodType MethodType() const noexcept { return method_type_; }
  void SetMethodType(TMethodType method) noexcept { method_type_ = method; }

  bool Default() const noexcept { return default_; }
  // At most one item of the list is the default one.
  void SetDefault(bool value);

  bool Enabled() const noexcept { return enabled_; }
  void SetEnabled(bool value) noexcept { enabled_ = value; }

  // The mask of PathInfo, compiled on first use and again whenever the text
  // changed other than in letter case. Throws EMaskException when malformed.
  const TMask& Mask();

  // Matches when use_default and Default are both set, or else when the
  // item is enabled, its method is mtAny or the request's, and its mask
  // matches the request's path info. A match without OnAction is not
  // handled.
  bool DispatchAction(TWebRequest& request, TWebResponse& response, bool use_default);

  TWebActionItems& Collection() noexcept { return collection_; }

  THTTPMethodEvent OnAction;

 private:
  TWebActionItems& collection_;
  std::string name_;
  std::string path_info_;
  TMethodType method_type_ = TMethodType::mtAny;
  bool default_ = false;
  bool enabled_ = true;
  std::optional<TMask> mask_;
  std::string mask_text_;  // the PathInfo mask_ was compiled from
};

}  // namespace frontend
