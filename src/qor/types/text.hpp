// Unicode-aware text helpers on UTF-8 strings: white space (the Unicode
// White_Space property), trimming, splitting and full upper-casing
// (one-to-many mappings included, e.g. "ß" -> "SS").
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qor {

bool is_unicode_space(char32_t c) noexcept;

// `text` without leading and trailing Unicode white space.
std::string_view trim(std::string_view text) noexcept;

// The pieces of `text` between runs of Unicode white space (leading and
// trailing white space ignored).
std::vector<std::string_view> split_whitespace(std::string_view text);

// Full Unicode upper-casing.
std::string to_upper(std::string_view text);

}  // namespace qor
