#include "qor/supervisor/petri_net.hpp"

#include <charconv>
#include <cmath>
#include <limits>

#include "qor/types/format.hpp"
#include "qor/types/text.hpp"

namespace qor {
namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view a, std::string_view lower) noexcept {
    if (a.size() != lower.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

std::string guard_error(std::string message) { return "guard parse error: " + std::move(message); }

}  // namespace

std::optional<double> parse_float_literal(std::string_view text) noexcept {
    constexpr double inf = std::numeric_limits<double>::infinity();
    std::string_view body = text;
    bool negative = false;
    if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
        negative = body.front() == '-';
        body.remove_prefix(1);
    }
    if (equals_ignoring_case(body, "inf") || equals_ignoring_case(body, "infinity")) return negative ? -inf : inf;
    if (equals_ignoring_case(body, "nan")) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return negative ? -nan : nan;
    }

    // digits [. digits] [(e|E) [sign] digits], with at least one mantissa digit.
    std::size_t i = 0;
    const std::size_t n = body.size();
    std::size_t int_digits = 0, frac_digits = 0;
    // Decimal position of the leading non-zero digit, for out-of-range results.
    long long magnitude = 0;
    bool seen_nonzero = false;
    long long leading_fraction_zeros = 0;
    while (i < n && is_digit(body[i])) {
        if (seen_nonzero || body[i] != '0') {
            seen_nonzero = true;
            ++magnitude;
        }
        ++i;
        ++int_digits;
    }
    if (i < n && body[i] == '.') {
        ++i;
        while (i < n && is_digit(body[i])) {
            if (!seen_nonzero) {
                if (body[i] == '0')
                    ++leading_fraction_zeros;
                else
                    seen_nonzero = true;
            }
            ++i;
            ++frac_digits;
        }
    }
    if (int_digits + frac_digits == 0) return std::nullopt;
    long long exponent = 0;
    if (i < n && (body[i] == 'e' || body[i] == 'E')) {
        ++i;
        bool exp_negative = false;
        if (i < n && (body[i] == '+' || body[i] == '-')) {
            exp_negative = body[i] == '-';
            ++i;
        }
        if (i == n || !is_digit(body[i])) return std::nullopt;
        while (i < n && is_digit(body[i])) {
            // Saturate: any exponent this large is out of range either way.
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (body[i] - '0');
            ++i;
        }
        if (exp_negative) exponent = -exponent;
    }
    if (i != n) return std::nullopt;

    // from_chars takes a leading '-' but not '+'.
    const char* first = negative ? text.data() + (text.size() - body.size() - 1) : body.data();
    const char* last = body.data() + body.size();
    double value = 0.0;
    const auto res = std::from_chars(first, last, value, std::chars_format::general);
    if (res.ec == std::errc::result_out_of_range) {
        // Only an overflow to infinity or an underflow to zero is reported so.
        const long long decimal_exponent = (magnitude > 0 ? magnitude : -leading_fraction_zeros) + exponent;
        value = decimal_exponent > 0 ? inf : 0.0;
        return negative ? -value : value;
    }
    if (res.ec != std::errc{} || res.ptr != last) return std::nullopt;
    return value;
}

std::variant<Guard, std::string> parse_guard(std::string_view text) {
    const std::vector<std::string_view> tokens = split_whitespace(text);
    if (tokens.size() != 3) return guard_error("guard must be 'metric op threshold', got " + quoted(text));
    const std::optional<CompareOp> op = compare_op_from_text(tokens[1]);
    if (!op) return guard_error("unknown guard operator: " + quoted(tokens[1]));
    const std::optional<double> threshold = parse_float_literal(tokens[2]);
    if (!threshold) return guard_error("invalid threshold: invalid float literal");
    if (!std::isfinite(*threshold)) return guard_error("guard threshold must be finite, got " + fmt_num(*threshold));
    return Guard{std::string(tokens[0]), *op, *threshold};
}

bool Guard::test(const double* value) const noexcept {
    return value && compare(op, *value, threshold);
}

// ---- marking -------------------------------------------------------------

void Marking::set(std::string_view place, std::uint32_t count) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].place != place) continue;
        if (count == 0)
            entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
        else
            entries_[i].count = count;
        return;
    }
    if (count != 0) entries_.push_back(Entry{std::string(place), count});
}

void Marking::add_distinct(std::string place, std::uint32_t count) {
    if (count != 0) entries_.push_back(Entry{std::move(place), count});
}

std::uint32_t Marking::count(std::string_view place) const noexcept {
    for (const Entry& e : entries_)
        if (e.place == place) return e.count;
    return 0;
}

// ---- net -----------------------------------------------------------------

std::variant<PetriNet, std::string> PetriNet::create(std::vector<std::string> places,
                                                     std::vector<Transition> transitions) {
    PetriNet net;
    for (const std::string& p : places)
        if (p.empty()) return std::string("place names must not be empty");
    net.place_slot_.resize(places.size());
    for (std::size_t i = 0; i < places.size(); ++i)
        net.place_slot_[i] = net.place_index_.try_emplace(places[i], i).first->second;

    net.resolved_.resize(transitions.size());
    for (std::size_t t = 0; t < transitions.size(); ++t) {
        const Transition& tr = transitions[t];
        if (tr.name.empty()) return std::string("transition names must not be empty");
        Resolved& r = net.resolved_[t];
        if (tr.guard) {
            if (trim(tr.guard->metric).empty() || !std::isfinite(tr.guard->threshold))
                return "transition " + quoted(tr.name) + " has invalid guard metric/threshold";
            const std::size_t next = net.metric_index_.size();
            r.metric = static_cast<std::int64_t>(net.metric_index_.try_emplace(tr.guard->metric, next).first->second);
        }
        for (int side = 0; side < 2; ++side) {
            const std::vector<Arc>& arcs = side == 0 ? tr.inputs : tr.outputs;
            std::vector<ResolvedArc>& out = side == 0 ? r.inputs : r.outputs;
            out.reserve(arcs.size());
            for (const Arc& a : arcs) {
                if (a.weight == 0)
                    return "transition " + quoted(tr.name) + " has zero-weight arc for place " + quoted(a.place);
                const auto it = net.place_index_.find(std::string_view(a.place));
                if (it == net.place_index_.end())
                    return "transition " + quoted(tr.name) + " references unknown place " + quoted(a.place);
                out.push_back(ResolvedArc{it->second, a.weight});
            }
        }
    }
    net.places_ = std::move(places);
    net.transitions_ = std::move(transitions);
    return net;
}

std::vector<std::uint32_t> PetriNet::slot_counts(const Marking& marking) const {
    std::vector<std::uint32_t> counts(places_.size(), 0);
    for (const Marking::Entry& e : marking.entries()) {
        const auto it = place_index_.find(std::string_view(e.place));
        if (it != place_index_.end()) counts[it->second] = e.count;
    }
    return counts;
}

std::vector<const double*> PetriNet::metric_values(MetricContext ctx) const {
    std::vector<const double*> values(metric_index_.size(), nullptr);
    if (values.empty()) return values;
    for (const auto& [name, value] : ctx) {
        const auto it = metric_index_.find(std::string_view(name));
        if (it != metric_index_.end()) values[it->second] = &value;
    }
    return values;
}

bool PetriNet::is_enabled(std::size_t t, std::span<const std::uint32_t> counts,
                          std::span<const double* const> metrics) const noexcept {
    const Resolved& r = resolved_[t];
    if (r.metric >= 0 && !transitions_[t].guard->test(metrics[static_cast<std::size_t>(r.metric)])) return false;
    // Each arc is compared with the full count of its place, even when two
    // arcs draw from the same place.
    for (const ResolvedArc& a : r.inputs)
        if (counts[a.slot] < a.weight) return false;
    return true;
}

std::vector<std::uint32_t> PetriNet::counts_by_place(std::span<const std::uint32_t> slots) const {
    std::vector<std::uint32_t> out(places_.size());
    for (std::size_t i = 0; i < places_.size(); ++i) out[i] = slots[place_slot_[i]];
    return out;
}

std::vector<std::uint32_t> PetriNet::place_counts(const Marking& marking) const {
    return counts_by_place(slot_counts(marking));
}

std::vector<std::size_t> PetriNet::enabled(const Marking& marking, MetricContext ctx) const {
    const std::vector<std::uint32_t> counts = slot_counts(marking);
    const std::vector<const double*> metrics = metric_values(ctx);
    std::vector<std::size_t> out;
    for (std::size_t t = 0; t < transitions_.size(); ++t)
        if (is_enabled(t, counts, metrics)) out.push_back(t);
    return out;
}

PetriNet::StepResult PetriNet::step(const Marking& marking, MetricContext ctx) const {
    std::vector<std::uint32_t> counts = slot_counts(marking);
    const std::vector<const double*> metrics = metric_values(ctx);
    StepResult result;
    for (std::size_t t = 0; t < transitions_.size(); ++t) {
        if (!is_enabled(t, counts, metrics)) continue;
        constexpr std::uint32_t max_count = std::numeric_limits<std::uint32_t>::max();
        for (const ResolvedArc& a : resolved_[t].inputs) {
            std::uint32_t& c = counts[a.slot];
            c = c > a.weight ? c - a.weight : 0;
        }
        for (const ResolvedArc& a : resolved_[t].outputs) {
            std::uint32_t& c = counts[a.slot];
            c = c > max_count - a.weight ? max_count : c + a.weight;
        }
        result.fired = t;
        break;
    }
    result.counts = counts_by_place(counts);
    return result;
}

std::vector<std::string_view> PetriNet::active_places(const Marking& marking) {
    std::vector<std::string_view> out;
    out.reserve(marking.entries().size());
    for (const Marking::Entry& e : marking.entries())
        if (e.count != 0) out.push_back(e.place);
    return out;
}

}  // namespace qor
