// Entry points: the C functions CPython calls, generated from a plain C++
// function and its Signature. A call runs
//   bind (names, defaults) -> [object borrow] -> load each argument in
//   signature order -> finalize arrays in signature order -> call -> cast
// and every exception is translated at the entry point.
#pragma once

#include <tuple>
#include <type_traits>
#include <utility>

#include "frame/array.hpp"
#include "frame/convert.hpp"
#include "frame/signature.hpp"

namespace qor::py {

template <class A>
using Stored = std::remove_cvref_t<A>;

// Loads arguments of types A... from the bound slots (offset by `first`
// parameters), finalizes the arrays, then returns cast(call(arguments...)).
template <class... A, class Call, std::size_t... I>
PyObject* invoke_loaded(const Signature& sig, PyObject** slots, Call&& call, std::index_sequence<I...>) {
    // Braced initialisation converts the arguments in signature order.
    std::tuple<Stored<A>...> values{Caster<Stored<A>>::load(slots[I], Where{sig.param(I).name.c_str()})...};
    CallBorrows borrows;
    (finalize_argument(std::get<I>(values), borrows, sig.param(I)), ...);
    (void)borrows;
    using R = decltype(call(static_cast<A&&>(std::get<I>(values))...));
    if constexpr (std::is_void_v<R>) {
        call(static_cast<A&&>(std::get<I>(values))...);
        Py_RETURN_NONE;
    } else {
        return Caster<Stored<R>>::cast(call(static_cast<A&&>(std::get<I>(values))...));
    }
}

template <auto F>
struct FunctionEntry;

template <class R, class... A, R (*F)(A...)>
struct FunctionEntry<F> {
    static constexpr std::size_t arity = sizeof...(A);
    static inline const Signature* signature = nullptr;

    static PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
        try {
            PyObject* slots[arity + 1];
            signature->bind(args, nargs, kwnames, slots);
            return invoke_loaded<A...>(*signature, slots, F, std::index_sequence_for<A...>{});
        } catch (...) {
            translate_current_exception();
            return nullptr;
        }
    }
};

}  // namespace qor::py
