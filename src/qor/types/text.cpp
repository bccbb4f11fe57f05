#include "qor/types/text.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace qor {
namespace {

struct UpperMapping {
    std::uint32_t code;
    std::uint32_t upper[3];
};

constexpr UpperMapping upper_table[] = {
#include "qor/types/unicode_upper_table.inc"
};

// Decodes the code point starting at text[i] and advances i. Bytes that do
// not start a valid sequence decode as themselves (never produced from a
// Python str, but kept safe).
char32_t decode(std::string_view text, std::size_t& i) noexcept {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b0 = byte(i);
    int len = 1;
    char32_t cp = b0;
    if (b0 >= 0xF0 && b0 < 0xF8) { len = 4; cp = b0 & 0x07; }
    else if (b0 >= 0xE0) { len = 3; cp = b0 & 0x0F; }
    else if (b0 >= 0xC0) { len = 2; cp = b0 & 0x1F; }
    if (len == 1 || i + static_cast<std::size_t>(len) > text.size()) {
        ++i;
        return b0;
    }
    for (int k = 1; k < len; ++k) {
        const unsigned char b = byte(i + static_cast<std::size_t>(k));
        if ((b & 0xC0) != 0x80) {
            ++i;
            return b0;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    i += static_cast<std::size_t>(len);
    return cp;
}

void encode(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

bool is_unicode_space(char32_t c) noexcept {
    switch (c) {
        case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20: case 0x85: case 0xA0:
        case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

std::string_view trim(std::string_view text) noexcept {
    std::size_t begin = 0;
    std::size_t end = text.size();
    // Leading white space.
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t at = i;
        if (!is_unicode_space(decode(text, i))) { begin = at; break; }
        begin = i;
    }
    // Trailing white space: scan forward, remembering the end of the last
    // non-space character.
    std::size_t last = begin;
    for (std::size_t i = begin; i < text.size();) {
        if (!is_unicode_space(decode(text, i))) last = i;
    }
    end = last;
    return text.substr(begin, end - begin);
}

std::vector<std::string_view> split_whitespace(std::string_view text) {
    std::vector<std::string_view> out;
    std::size_t start = std::string_view::npos;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t at = i;
        const bool space = is_unicode_space(decode(text, i));
        if (space && start != std::string_view::npos) {
            out.push_back(text.substr(start, at - start));
            start = std::string_view::npos;
        } else if (!space && start == std::string_view::npos) {
            start = at;
        }
    }
    if (start != std::string_view::npos) out.push_back(text.substr(start));
    return out;
}

std::string to_upper(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            out += (b >= 'a' && b <= 'z') ? static_cast<char>(b - 32) : static_cast<char>(b);
            ++i;
            continue;
        }
        const std::size_t at = i;
        const char32_t cp = decode(text, i);
        const auto* it = std::lower_bound(std::begin(upper_table), std::end(upper_table), cp,
                                          [](const UpperMapping& m, char32_t c) { return m.code < c; });
        if (it != std::end(upper_table) && it->code == cp) {
            for (std::uint32_t u : it->upper)
                if (u) encode(u, out);
        } else {
            out.append(text.substr(at, i - at));
        }
    }
    return out;
}

}  // namespace qor
