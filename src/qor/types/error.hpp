// The engine's single error type and the result type every engine operation
// returns. Engine code never throws for data problems: it returns a QorError,
// which the binding layer turns into a ValueError carrying the kind's prefix.
#pragma once

#include <cassert>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace qor {

enum class ErrorKind {
    InvalidDimension,
    SingularMatrix,
    IntegrationDiverged,
    InvalidConfig,
    BoundaryViolation,
};

// Prefix of the display form, e.g. "invalid dimension: ".
std::string_view error_prefix(ErrorKind kind) noexcept;

struct QorError {
    ErrorKind kind;
    std::string message;

    // Prefix followed directly by the message text.
    std::string display() const;

    static QorError invalid_dimension(std::string m) { return {ErrorKind::InvalidDimension, std::move(m)}; }
    static QorError singular_matrix(std::string m) { return {ErrorKind::SingularMatrix, std::move(m)}; }
    static QorError integration_diverged(std::string m) { return {ErrorKind::IntegrationDiverged, std::move(m)}; }
    static QorError invalid_config(std::string m) { return {ErrorKind::InvalidConfig, std::move(m)}; }
    static QorError boundary_violation(std::string m) { return {ErrorKind::BoundaryViolation, std::move(m)}; }
};

// Either a value or a QorError. Construct from either; test with ok() or bool.
template <class T>
class [[nodiscard]] Result {
public:
    using value_type = T;
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(QorError error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { assert(ok()); return std::get<0>(v_); }
    const T& value() const& { assert(ok()); return std::get<0>(v_); }
    T&& value() && { assert(ok()); return std::get<0>(std::move(v_)); }
    T& operator*() & { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }

    QorError& error() & { assert(!ok()); return std::get<1>(v_); }
    QorError&& error() && { assert(!ok()); return std::get<1>(std::move(v_)); }

private:
    std::variant<T, QorError> v_;
};

// Success without a value.
struct Ok {};
using Status = Result<Ok>;
inline Status ok_status() { return Ok{}; }

}  // namespace qor

// Propagate a failed Result/Status from the enclosing function, which must
// itself return a Result or Status.
#define QOR_TRY(expr)                                         \
    do {                                                      \
        auto&& qor_try_result_ = (expr);                      \
        if (!qor_try_result_.ok())                            \
            return std::move(qor_try_result_).error();        \
    } while (0)
