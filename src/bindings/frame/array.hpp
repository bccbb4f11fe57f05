// NumPy arrays in and out.
//
// Array arguments are converted in two phases. load() checks the type (a
// one-dimensional ndarray of the element type, else TypeError naming the
// argument) while all arguments are converted in signature order. Once every
// argument is converted, finalize() runs for the arrays in signature order:
// it takes the borrow (writable borrows need a writeable array that shares no
// memory with any other array argument of the call) and checks contiguity.
// No Python code runs after finalize, so the data cannot change under the
// engine.
//
// Results: a std::vector of numbers becomes a new one-dimensional array that
// takes over the vector's buffer without copying.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "frame/convert.hpp"
#include "frame/signature.hpp"

namespace qor::py {

template <class T>
struct NpyType;
template <> struct NpyType<double> { static constexpr int value = NPY_DOUBLE; static constexpr const char* name = "float64"; };
template <> struct NpyType<std::int64_t> { static constexpr int value = NPY_INT64; static constexpr const char* name = "int64"; };
template <> struct NpyType<std::uint64_t> { static constexpr int value = NPY_UINT64; static constexpr const char* name = "uint64"; };
template <> struct NpyType<std::int32_t> { static constexpr int value = NPY_INT32; static constexpr const char* name = "int32"; };
template <> struct NpyType<std::uint8_t> { static constexpr int value = NPY_UINT8; static constexpr const char* name = "uint8"; };

// The memory ranges borrowed by one call, for conflict detection.
class CallBorrows {
public:
    // Registers a borrow of [begin, end); raises ValueError when it conflicts
    // with an earlier borrow of this call (a writable borrow conflicts with
    // any overlapping borrow, a read-only one with an overlapping writable one).
    void add(const char* name, const char* begin, const char* end, bool writable);

private:
    struct Entry {
        const char* name;
        const char* begin;
        const char* end;
        bool writable;
    };
    static constexpr int capacity = 32;
    Entry entries_[capacity];
    int count_ = 0;
};

// Type check of load(): a one-dimensional ndarray of `type_num` in native
// byte order. Raises TypeError naming the argument.
PyArrayObject* check_array_type(PyObject* o, const Where& w, int type_num, const char* dtype_name);

// The finalize() steps shared by all array kinds: re-check the type (an
// earlier argument's conversion may have run Python code), register the
// borrow, check contiguity (unless allow_strided). Returns the element count.
std::size_t finalize_array(PyArrayObject* a, CallBorrows& borrows, const Param& p, int type_num,
                           const char* dtype_name, bool writable, bool allow_strided);

// The generic contiguity message.
inline constexpr const char* not_contiguous_message = "The given array is not contiguous or is misaligned.";

template <class T, bool Writable>
class ArrayArg {
public:
    using element_type = std::conditional_t<Writable, T, const T>;

    static ArrayArg load(PyObject* o, const Where& w) {
        ArrayArg a;
        a.array_ = check_array_type(o, w, NpyType<T>::value, NpyType<T>::name);
        return a;
    }
    void finalize(CallBorrows& borrows, const Param& p) {
        size_ = finalize_array(array_, borrows, p, NpyType<T>::value, NpyType<T>::name, Writable, false);
        data_ = static_cast<element_type*>(PyArray_DATA(array_));
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    element_type* data() const noexcept { return data_; }
    element_type* begin() const noexcept { return data_; }
    element_type* end() const noexcept { return data_ + size_; }
    element_type& operator[](std::size_t i) const noexcept { return data_[i]; }
    std::span<element_type> span() const noexcept { return {data_, size_}; }
    operator std::span<const T>() const noexcept { return {data_, size_}; }  // NOLINT
    PyArrayObject* object() const noexcept { return array_; }

private:
    PyArrayObject* array_ = nullptr;
    element_type* data_ = nullptr;
    std::size_t size_ = 0;
};

// Read-only borrow of a contiguous one-dimensional array.
template <class T>
using ArrayIn = ArrayArg<T, false>;
// Writable borrow: the call writes into the caller's array.
template <class T>
using ArrayMut = ArrayArg<T, true>;

// Any one-dimensional array of the element type, contiguous or not; its
// values are copied.
template <class T>
class ArrayCopy {
public:
    static ArrayCopy load(PyObject* o, const Where& w) {
        ArrayCopy a;
        a.array_ = check_array_type(o, w, NpyType<T>::value, NpyType<T>::name);
        return a;
    }
    void finalize(CallBorrows& borrows, const Param& p) {
        const std::size_t n = finalize_array(array_, borrows, p, NpyType<T>::value, NpyType<T>::name, false, true);
        values.resize(n);
        const char* base = static_cast<const char*>(PyArray_DATA(array_));
        const npy_intp stride = n ? PyArray_STRIDES(array_)[0] : 0;
        for (std::size_t i = 0; i < n; ++i)
            std::memcpy(&values[i], base + static_cast<npy_intp>(i) * stride, sizeof(T));
    }
    std::vector<T> values;

private:
    PyArrayObject* array_ = nullptr;
};

template <class T, bool W>
struct Caster<ArrayArg<T, W>> {
    static ArrayArg<T, W> load(PyObject* o, const Where& w) { return ArrayArg<T, W>::load(o, w); }
};
template <class T>
struct Caster<ArrayCopy<T>> {
    static ArrayCopy<T> load(PyObject* o, const Where& w) { return ArrayCopy<T>::load(o, w); }
};

template <class T>
concept Finalizable = requires(T& t, CallBorrows& b, const Param& p) { t.finalize(b, p); };

template <class T>
void finalize_argument(T& value, CallBorrows& borrows, const Param& p) {
    if constexpr (Finalizable<T>) {
        value.finalize(borrows, p);
    } else if constexpr (requires { typename T::value_type; value.has_value(); }) {
        if constexpr (Finalizable<typename T::value_type>)
            if (value) value->finalize(borrows, p);
    }
}

// A new one-dimensional array that owns `values`' buffer (through a capsule
// as its base object); writable.
PyObject* ndarray_from_buffer(void* data, std::size_t size, int type_num, void* owner, void (*release)(void*));

template <class T>
PyObject* to_ndarray(std::vector<T>&& values) {
    auto* owner = new std::vector<T>(std::move(values));
    return ndarray_from_buffer(owner->data(), owner->size(), NpyType<T>::value, owner,
                               [](void* p) { delete static_cast<std::vector<T>*>(p); });
}

// std::vector of numbers: a sequence argument, an ndarray result.
template <class T>
struct Caster<std::vector<T>, std::enable_if_t<std::is_arithmetic_v<T> && !std::is_same_v<T, bool>>> {
    static std::vector<T> load(PyObject* o, const Where& w) {
        std::vector<T> out;
        if constexpr (std::is_same_v<T, double>)
            if (load_float64_array(o, out)) return out;
        reserve_items(o, out);
        for_each_item(o, w, [&](PyObject* item, const Where& iw) { out.push_back(Caster<T>::load(item, iw)); });
        return out;
    }
    static PyObject* cast(std::vector<T>&& v) { return to_ndarray(std::move(v)); }
};

}  // namespace qor::py
