#include "qor/types/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace qor {
namespace {

// Shortest round-trip digits of a finite, non-zero |x| and its decimal
// exponent: x = 0.d1d2d3... * 10^(exp + 1), i.e. d1.d2d3... * 10^exp.
struct Digits {
    char digits[32];
    int count = 0;
    int exp = 0;
};

Digits shortest_digits(double magnitude) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
    Digits d;
    const char* p = buf;
    for (; p < res.ptr && *p != 'e'; ++p)
        if (*p >= '0' && *p <= '9') d.digits[d.count++] = *p;
    // Trailing zeros of the mantissa carry no information.
    while (d.count > 1 && d.digits[d.count - 1] == '0') --d.count;
    // to_chars does not terminate its output, so the exponent is read within
    // [p, res.ptr) only (from_chars takes a '-' but not a '+').
    if (p < res.ptr) {
        const char* e = p + 1;
        if (e < res.ptr && *e == '+') ++e;
        std::from_chars(e, res.ptr, d.exp);
    }
    return d;
}

void append_positional(std::string& out, const Digits& d, bool force_fraction) {
    if (d.exp >= 0) {
        const int int_digits = d.exp + 1;
        for (int i = 0; i < int_digits; ++i) out += i < d.count ? d.digits[i] : '0';
        if (d.count > int_digits) {
            out += '.';
            out.append(d.digits + int_digits, d.digits + d.count);
        } else if (force_fraction) {
            out += ".0";
        }
    } else {
        out += "0.";
        out.append(static_cast<std::size_t>(-d.exp - 1), '0');
        out.append(d.digits, d.digits + d.count);
    }
}

bool special(double x, std::string& out) {
    if (std::isnan(x)) { out = "NaN"; return true; }
    if (std::isinf(x)) { out = x > 0 ? "inf" : "-inf"; return true; }
    return false;
}

}  // namespace

std::string fmt_num(double x) {
    std::string out;
    if (special(x, out)) return out;
    if (std::signbit(x)) out += '-';
    if (x == 0.0) return out += '0';
    append_positional(out, shortest_digits(std::fabs(x)), false);
    return out;
}

std::string fmt_debug(double x) {
    std::string out;
    if (special(x, out)) return out;
    if (std::signbit(x)) out += '-';
    if (x == 0.0) return out += "0.0";
    const double m = std::fabs(x);
    const Digits d = shortest_digits(m);
    if (m >= 1e-4 && m < 1e16) {
        append_positional(out, d, true);
    } else {
        out += d.digits[0];
        if (d.count > 1) {
            out += '.';
            out.append(d.digits + 1, d.digits + d.count);
        }
        out += 'e';
        out += std::to_string(d.exp);
    }
    return out;
}

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    char hex[16];
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '\\': out += "\\\\"; continue;
            case '"': out += "\\\""; continue;
            case '\n': out += "\\n"; continue;
            case '\r': out += "\\r"; continue;
            case '\t': out += "\\t"; continue;
            case '\0': out += "\\0"; continue;
            default: break;
        }
        if (c < 0x20 || c == 0x7f) {
            std::snprintf(hex, sizeof hex, "\\u{%x}", c);
            out += hex;
        } else if (c == 0xc2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
            // C1 control characters U+0080..U+009F (two bytes in UTF-8).
            std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned char>(text[i + 1]));
            out += hex;
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

}  // namespace qor
