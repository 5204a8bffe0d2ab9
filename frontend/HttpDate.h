// HTTP dates in the framework's date-time form: days since 1899-12-30 with
// the time of day as the fraction, taken and written as they stand, without
// any time-zone conversion.
#pragma once

#include <string>
#include <string_view>

namespace frontend {

// Accepts "Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT"
// and "Sun Nov  6 08:49:37 1994"; the day name and the zone are not checked.
// Anything else gives -1.0, the value of "no date".
double ParseHttpDate(std::string_view text);

// "Sun, 06 Nov 1994 08:49:37 GMT".
std::string FormatHttpDate(double value);

}  // namespace frontend
