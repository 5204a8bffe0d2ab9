// The failure class of the framework's module machinery: too many active
// module sets, no module registered or created, no dispatcher, a duplicate
// action name.
#pragma once

#include "platform/Exception.h"

namespace frontend {

class EWebException : public platform::Exception {
 public:
  using platform::Exception::Exception;
  std::string_view ClassName() const noexcept override { return "EWebException"; }
};

}  // namespace frontend
