// Fills the framework's message and page templates. The templates come from
// the texts file and use "%s" and "%d" for the next argument, "%0:s", "%1:s"
// ... for an argument by position and "%%" for one "%". Arguments are
// inserted as they are: a "%" inside an argument is never read as a format.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace frontend {

// Any other "%" sequence, and a position with no argument, is copied or left
// empty rather than reported: the templates are the framework's own.
std::string FormatText(std::string_view pattern, std::initializer_list<std::string_view> args);

}  // namespace frontend
