// Threshold tests shared by rule conditions and Petri-net guards, and the
// text-keyed index both use to resolve names once at construction.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace qor {

enum class CompareOp : std::uint8_t { Gt, Ge, Lt, Le, Eq };

// Two values closer than this count as equal for CompareOp::Eq.
inline constexpr double compare_eq_tolerance = 1e-12;

// ">", ">=", "<", "<=", "==", matched exactly (no surrounding blanks).
inline std::optional<CompareOp> compare_op_from_text(std::string_view text) noexcept {
    if (text == ">") return CompareOp::Gt;
    if (text == ">=") return CompareOp::Ge;
    if (text == "<") return CompareOp::Lt;
    if (text == "<=") return CompareOp::Le;
    if (text == "==") return CompareOp::Eq;
    return std::nullopt;
}

// value `op` threshold; a non-finite value never satisfies a test.
inline bool compare(CompareOp op, double value, double threshold) noexcept {
    if (!std::isfinite(value)) return false;
    switch (op) {
        case CompareOp::Gt: return value > threshold;
        case CompareOp::Ge: return value >= threshold;
        case CompareOp::Lt: return value < threshold;
        case CompareOp::Le: return value <= threshold;
        case CompareOp::Eq: return std::fabs(value - threshold) < compare_eq_tolerance;
    }
    return false;
}

// Hash of owned strings that also accepts string_view lookups.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// Name -> slot index, looked up by string_view without a copy.
using TextIndex = std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>>;

}  // namespace qor
