// Conversion of arguments from Python objects and of results to them: one
// Caster per C++ type. Caster<T>::load(obj, where) converts an argument;
// Caster<T>::cast(value) returns a new reference. Every conversion error
// names the argument first ("dt: must be real number, not str").
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "frame/errors.hpp"
#include "frame/ref.hpp"

namespace qor::py {

// Where a value came from, rendered only when an error is reported:
// "rules", "rules[2]", "rules[2][4]", "ctx['R']".
struct Where {
    const char* name = nullptr;
    const Where* parent = nullptr;
    Py_ssize_t index = -1;
    PyObject* key = nullptr;

    Where item(Py_ssize_t i) const { return Where{nullptr, this, i, nullptr}; }
    Where entry(PyObject* k) const { return Where{nullptr, this, -1, k}; }
    std::string str() const;
};

// Re-raises the pending error with `where` in front of its message when it is
// a TypeError or OverflowError (other errors, such as a RuntimeError from a
// re-entrant call, pass unchanged), then throws ErrorAlreadySet.
[[noreturn]] void rethrow_with_context(const Where& where);
// TypeError "<where>: expected <what>, got <type of obj>".
[[noreturn]] void expected_error(const Where& where, const char* what, PyObject* obj);

template <class T, class Enable = void>
struct Caster;

// ---- scalars -------------------------------------------------------------

template <>
struct Caster<double> {
    static double load(PyObject* o, const Where& w) {
        if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
        const double v = PyFloat_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) rethrow_with_context(w);
        return v;
    }
    static PyObject* cast(double v) { return check(PyFloat_FromDouble(v)); }
};

template <>
struct Caster<bool> {
    static bool load(PyObject* o, const Where& w) {
        if (o == Py_True) return true;
        if (o == Py_False) return false;
        if (PyArray_IsScalar(o, Bool)) return PyObject_IsTrue(o) == 1;
        expected_error(w, "bool", o);
    }
    static PyObject* cast(bool v) { return Py_NewRef(v ? Py_True : Py_False); }
};

// Unsigned integers of the given width: a Python int or an object with
// __index__; negative or too large values raise OverflowError, floats TypeError.
unsigned long long load_unsigned(PyObject* o, const Where& w, unsigned long long max_value, int bits);
long long load_signed(PyObject* o, const Where& w);

template <class T>
struct Caster<T, std::enable_if_t<std::is_integral_v<T> && std::is_unsigned_v<T> && !std::is_same_v<T, bool>>> {
    static T load(PyObject* o, const Where& w) {
        return static_cast<T>(load_unsigned(o, w, std::numeric_limits<T>::max(), std::numeric_limits<T>::digits));
    }
    static PyObject* cast(T v) { return check(PyLong_FromUnsignedLongLong(v)); }
};

template <class T>
struct Caster<T, std::enable_if_t<std::is_integral_v<T> && std::is_signed_v<T>>> {
    static T load(PyObject* o, const Where& w) {
        const long long v = load_signed(o, w);
        if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) {
            PyErr_SetString(PyExc_OverflowError, "value out of range");
            rethrow_with_context(w);
        }
        return static_cast<T>(v);
    }
    static PyObject* cast(T v) { return check(PyLong_FromLongLong(v)); }
};

template <>
struct Caster<std::string> {
    static std::string load(PyObject* o, const Where& w) {
        if (!PyUnicode_Check(o)) expected_error(w, "str", o);
        Py_ssize_t size = 0;
        const char* s = PyUnicode_AsUTF8AndSize(o, &size);
        if (!s) {
            // Lone surrogates cannot be encoded as UTF-8.
            PyErr_Clear();
            value_error(w.str() + ": str is not encodable as UTF-8");
        }
        return std::string(s, static_cast<std::size_t>(size));
    }
    static PyObject* cast(const std::string& v) {
        return check(PyUnicode_DecodeUTF8(v.data(), static_cast<Py_ssize_t>(v.size()), "replace"));
    }
};

// An owned object passes through unchanged.
template <>
struct Caster<Ref> {
    static Ref load(PyObject* o, const Where&) { return Ref::borrow(o); }
    static PyObject* cast(Ref v) {
        if (!v) throw_current();
        return v.release();
    }
};

// ---- None / optional -----------------------------------------------------

template <class T>
struct Caster<std::optional<T>> {
    static std::optional<T> load(PyObject* o, const Where& w) {
        if (o == Py_None) return std::nullopt;
        return Caster<T>::load(o, w);
    }
    template <class U>
    static PyObject* cast(U&& v) {
        if (!v) Py_RETURN_NONE;
        return Caster<T>::cast(std::move(*v));
    }
};

// ---- tuples --------------------------------------------------------------

template <class... T>
struct Caster<std::tuple<T...>> {
    static std::tuple<T...> load(PyObject* o, const Where& w) {
        constexpr Py_ssize_t n = sizeof...(T);
        if (!PyTuple_Check(o) || PyTuple_GET_SIZE(o) != n) {
            static const std::string what = "a tuple of " + std::to_string(n) + " items";
            if (PyTuple_Check(o))
                type_error(w.str() + ": expected " + what + ", got a tuple of " + std::to_string(PyTuple_GET_SIZE(o)) + " items");
            expected_error(w, what.c_str(), o);
        }
        return load_items(o, w, std::index_sequence_for<T...>{});
    }
    template <class Tuple>
    static PyObject* cast(Tuple&& v) {
        Ref out = Ref::steal(check(PyTuple_New(sizeof...(T))));
        cast_items(out.get(), std::forward<Tuple>(v), std::index_sequence_for<T...>{});
        return out.release();
    }

private:
    template <std::size_t... I>
    static std::tuple<T...> load_items(PyObject* o, const Where& w, std::index_sequence<I...>) {
        // Braced initialisation converts the items in order.
        return std::tuple<T...>{Caster<T>::load(PyTuple_GET_ITEM(o, I), w.item(I))...};
    }
    template <class Tuple, std::size_t... I>
    static void cast_items(PyObject* out, Tuple&& v, std::index_sequence<I...>) {
        (PyTuple_SET_ITEM(out, I, Caster<T>::cast(std::get<I>(std::forward<Tuple>(v)))), ...);
    }
};

template <class A, class B>
struct Caster<std::pair<A, B>> {
    static std::pair<A, B> load(PyObject* o, const Where& w) {
        auto t = Caster<std::tuple<A, B>>::load(o, w);
        return {std::move(std::get<0>(t)), std::move(std::get<1>(t))};
    }
    template <class P>
    static PyObject* cast(P&& v) {
        return Caster<std::tuple<A, B>>::cast(std::forward_as_tuple(std::forward<P>(v).first, std::forward<P>(v).second));
    }
};

// ---- sequences -----------------------------------------------------------

// A Python list as a result (std::vector of numbers becomes an ndarray, see
// array.hpp; List<T> is for lists of str, tuples, dicts, ...).
template <class T>
struct List {
    std::vector<T> items;
};

// Calls fn(item, where) for every item of a sequence argument (list, tuple,
// one-dimensional array, or any other sequence except str), holding a
// reference to each item while it is converted.
template <class Fn>
void for_each_item(PyObject* o, const Where& w, Fn&& fn) {
    if (PyUnicode_Check(o)) type_error(w.str() + ": expected a sequence, got str");
    if (PyList_Check(o)) {
        // Re-read the size: converting an item may run Python code.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(o, i));
            fn(item.get(), w.item(i));
        }
        return;
    }
    if (PyTuple_Check(o)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o); ++i) fn(PyTuple_GET_ITEM(o, i), w.item(i));
        return;
    }
    if (!PySequence_Check(o) || PyDict_Check(o)) expected_error(w, "a sequence", o);
    Ref snapshot = Ref::steal(PySequence_Tuple(o));
    if (!snapshot) rethrow_with_context(w);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(snapshot.get()); ++i) fn(PyTuple_GET_ITEM(snapshot.get(), i), w.item(i));
}

// Room for every item of a list or tuple up front (the common arguments),
// so that converting a sequence does not regrow the vector item by item.
template <class V>
void reserve_items(PyObject* o, V& out) {
    if (PyList_Check(o) || PyTuple_Check(o)) out.reserve(static_cast<std::size_t>(Py_SIZE(o)));
}

// Reads a one-dimensional float64 array's values directly; false when `o`
// is not such an array.
bool load_float64_array(PyObject* o, std::vector<double>& out);

template <class T>
struct Caster<std::vector<T>, std::enable_if_t<!std::is_arithmetic_v<T>>> {
    static std::vector<T> load(PyObject* o, const Where& w) {
        std::vector<T> out;
        reserve_items(o, out);
        for_each_item(o, w, [&](PyObject* item, const Where& iw) { out.push_back(Caster<T>::load(item, iw)); });
        return out;
    }
};

template <class T>
struct Caster<List<T>> {
    static List<T> load(PyObject* o, const Where& w) { return {Caster<std::vector<T>>::load(o, w)}; }
    static PyObject* cast(List<T>&& v) {
        Ref out = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(v.items.size()))));
        for (std::size_t i = 0; i < v.items.size(); ++i)
            PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), Caster<T>::cast(std::move(v.items[i])));
        return out.release();
    }
};

// ---- dicts ---------------------------------------------------------------

// Entries in the dict's iteration order.
template <class K, class V>
struct Dict {
    std::vector<std::pair<K, V>> entries;
    void add(K k, V v) { entries.emplace_back(std::move(k), std::move(v)); }
};

template <class K, class V>
struct Caster<Dict<K, V>> {
    static Dict<K, V> load(PyObject* o, const Where& w) {
        if (!PyDict_Check(o)) expected_error(w, "a dict", o);
        Dict<K, V> out;
        out.entries.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(o)));
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(o, &pos, &key, &value)) {
            Ref k = Ref::borrow(key);
            Ref v = Ref::borrow(value);
            const Where ew = w.entry(key);
            K ck = Caster<K>::load(k.get(), w);
            out.entries.emplace_back(std::move(ck), Caster<V>::load(v.get(), ew));
        }
        return out;
    }
    static PyObject* cast(Dict<K, V>&& d) {
        Ref out = Ref::steal(check(PyDict_New()));
        for (auto& [k, v] : d.entries) {
            Ref key = Ref::steal(Caster<K>::cast(std::move(k)));
            Ref value = Ref::steal(Caster<V>::cast(std::move(v)));
            if (PyDict_SetItem(out.get(), key.get(), value.get()) < 0) throw_current();
        }
        return out.release();
    }
};

// ---- engine results ------------------------------------------------------

template <class T>
struct Caster<Result<T>> {
    static PyObject* cast(Result<T>&& r) {
        if (!r.ok()) raise_qor(std::move(r).error());
        if constexpr (std::is_same_v<T, Ok>)
            Py_RETURN_NONE;
        else
            return Caster<T>::cast(std::move(r).value());
    }
};

}  // namespace qor::py
