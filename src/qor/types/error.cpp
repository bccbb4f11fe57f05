#include "qor/types/error.hpp"

namespace qor {

std::string_view error_prefix(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::InvalidDimension: return "invalid dimension: ";
        case ErrorKind::SingularMatrix: return "singular matrix: ";
        case ErrorKind::IntegrationDiverged: return "integration diverged: ";
        case ErrorKind::InvalidConfig: return "invalid config: ";
        case ErrorKind::BoundaryViolation: return "boundary violation: ";
    }
    return "";
}

std::string QorError::display() const {
    std::string out(error_prefix(kind));
    out += message;
    return out;
}

}  // namespace qor
