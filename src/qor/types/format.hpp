// Number and text forms used inside error and supervisor messages. Messages
// reach users verbatim, so these forms are part of the interface.
#pragma once

#include <string>
#include <string_view>

namespace qor {

// Shortest decimal text that reads back as the same double, never in
// exponent notation and without ".0" for integral values:
// 0.01 -> "0.01", 1e-6 -> "0.000001", -1.0 -> "-1", NaN -> "NaN", inf -> "inf".
std::string fmt_num(double x);

// Debugging form: shortest round-trip digits, ".0" on integral values, and
// exponent notation for magnitudes below 1e-4 or from 1e16 on:
// 1.0 -> "1.0", 0.25 -> "0.25", 1e-7 -> "1e-7", 1e16 -> "1e16", NaN -> "NaN".
std::string fmt_debug(double x);

// A user-supplied name in double quotes, with backslash, double quote and
// control characters escaped: ab"c -> "ab\"c", a newline -> "\n".
std::string quoted(std::string_view text);

}  // namespace qor
