// How failures travel through the binding layer. Conversion and validation
// code throws; the entry point of every function catches and turns the
// exception into the Python error:
//   ErrorAlreadySet  -> the Python error already set (TypeError, ...)
//   QorException     -> ValueError with the error kind's prefix
//   std::bad_alloc   -> MemoryError
//   anything else    -> the internal-fault exception (derives from BaseException)
#pragma once

#include <string>
#include <string_view>

#include "frame/python.hpp"
#include "qor/types/error.hpp"

namespace qor::py {

// A Python exception is set; unwind to the entry point.
struct ErrorAlreadySet {};

// An engine error on its way to Python.
struct QorException {
    QorError error;
};

[[noreturn]] void raise(PyObject* type, std::string_view message);
[[noreturn]] inline void type_error(std::string_view m) { raise(PyExc_TypeError, m); }
[[noreturn]] inline void value_error(std::string_view m) { raise(PyExc_ValueError, m); }
[[noreturn]] inline void overflow_error(std::string_view m) { raise(PyExc_OverflowError, m); }
[[noreturn]] inline void raise_qor(QorError e) { throw QorException{std::move(e)}; }
// Throws when a C API call has failed (returned null or -1).
[[noreturn]] inline void throw_current() { throw ErrorAlreadySet{}; }

inline PyObject* check(PyObject* p) {
    if (!p) throw_current();
    return p;
}

// Value or the engine error raised as ValueError.
template <class T>
T unwrap(Result<T>&& r) {
    if (!r.ok()) raise_qor(std::move(r).error());
    return std::move(r).value();
}
inline void unwrap(Status&& s) {
    if (!s.ok()) raise_qor(std::move(s).error());
}

// Validation helpers for the binding layer's own ValueErrors.
inline void require(bool condition, std::string_view message) {
    if (!condition) value_error(message);
}

// a*b for sizes, or a ValueError naming what overflowed.
std::size_t checked_mul(std::size_t a, std::size_t b, std::string_view what);

// Turns the exception in flight into the Python error; call from a catch(...).
void translate_current_exception() noexcept;

// The internal-fault exception type (created at module execution).
PyObject* internal_fault_type() noexcept;
int init_internal_fault_type() noexcept;

// Python type name of an object, for messages.
std::string type_name(PyObject* o);

}  // namespace qor::py
