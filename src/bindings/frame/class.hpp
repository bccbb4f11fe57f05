// Python classes over engine state: one C++ value of type T per instance,
// with per-object borrowing. A method taking `T&` borrows the object
// exclusively, one taking `const T&` shares it; a call that finds the object
// borrowed in a conflicting way (for example re-entrantly, from the
// __float__ of one of its own arguments) raises RuntimeError.
//
//     auto c = m.cls<Stepper>("PyUPDEStepper", "doc");
//     c.constructor<&make_stepper>({"n", arg("dt", 0.01)});
//     c.method<&step>("step", {"phases", ...}, "doc");
//     c.property<&get_n>("n");
//     c.property<&get_target, &set_target>("target_r");
//     c.finish();
#pragma once

#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "frame/function.hpp"
#include "frame/module.hpp"

namespace qor::py {

template <class T>
struct Instance {
    PyObject_HEAD
    int borrow;  // 0 free, > 0 shared borrows, -1 exclusive
    T value;
};

// The registered Python type of T (set by ClassBuilder::finish).
template <class T>
inline PyTypeObject* class_type = nullptr;

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(int& state) : state_(state) {
        if (state_ != 0) raise(PyExc_RuntimeError, "Already borrowed");
        state_ = -1;
    }
    ~ExclusiveBorrow() { state_ = 0; }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    int& state_;
};

class SharedBorrow {
public:
    explicit SharedBorrow(int& state) : state_(state) {
        if (state_ < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
        ++state_;
    }
    ~SharedBorrow() { --state_; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    int& state_;
};

template <bool Exclusive>
using BorrowGuard = std::conditional_t<Exclusive, ExclusiveBorrow, SharedBorrow>;

template <class T>
Instance<T>* instance_of(PyObject* o) noexcept {
    return reinterpret_cast<Instance<T>*>(o);
}

// A new instance of `type` holding `value`.
template <class T>
PyObject* new_instance(PyTypeObject* type, T&& value) {
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) throw_current();
    auto* inst = instance_of<T>(o);
    inst->borrow = 0;
    new (&inst->value) T(std::move(value));
    return o;
}

// A new instance of T's registered class (for static factory methods).
template <class T>
Ref make_instance(T&& value) {
    return Ref::steal(new_instance<T>(class_type<T>, std::move(value)));
}

template <class T>
void dealloc_instance(PyObject* o) noexcept {
    instance_of<T>(o)->value.~T();
    PyTypeObject* type = Py_TYPE(o);
    type->tp_free(o);
    Py_DECREF(type);
}

template <class T, auto F>
struct MethodEntry;

template <class T, class R, class S, class... A, R (*F)(S, A...)>
struct MethodEntry<T, F> {
    static_assert(std::is_same_v<S, T&> || std::is_same_v<S, const T&>, "a method's first parameter is T& or const T&");
    static constexpr bool exclusive = !std::is_const_v<std::remove_reference_t<S>>;
    static inline const Signature* signature = nullptr;

    static PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
        try {
            PyObject* slots[sizeof...(A) + 1];
            signature->bind(args, nargs, kwnames, slots);
            Instance<T>* inst = instance_of<T>(self);
            BorrowGuard<exclusive> guard(inst->borrow);
            return invoke_loaded<A...>(
                *signature, slots,
                [inst](auto&&... a) -> decltype(auto) { return F(inst->value, std::forward<decltype(a)>(a)...); },
                std::index_sequence_for<A...>{});
        } catch (...) {
            translate_current_exception();
            return nullptr;
        }
    }
};

template <class T, auto F>
struct ConstructorEntry;

template <class T, class R, class... A, R (*F)(A...)>
struct ConstructorEntry<T, F> {
    static inline const Signature* signature = nullptr;

    static PyObject* call(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
        try {
            PyObject* slots[sizeof...(A) + 1];
            signature->bind(args, kwargs, slots);
            return invoke_loaded<A...>(
                *signature, slots,
                [type](auto&&... a) -> Ref {
                    if constexpr (std::is_same_v<R, T>)
                        return Ref::steal(new_instance<T>(type, F(std::forward<decltype(a)>(a)...)));
                    else
                        return Ref::steal(new_instance<T>(type, unwrap(F(std::forward<decltype(a)>(a)...))));
                },
                std::index_sequence_for<A...>{});
        } catch (...) {
            translate_current_exception();
            return nullptr;
        }
    }
};

template <class T, auto G>
struct GetterEntry;

template <class T, class R, R (*G)(const T&)>
struct GetterEntry<T, G> {
    static PyObject* get(PyObject* self, void*) noexcept {
        try {
            Instance<T>* inst = instance_of<T>(self);
            SharedBorrow guard(inst->borrow);
            return Caster<Stored<R>>::cast(G(inst->value));
        } catch (...) {
            translate_current_exception();
            return nullptr;
        }
    }
};

template <class T, auto S>
struct SetterEntry;

template <class T, class V, void (*S)(T&, V)>
struct SetterEntry<T, S> {
    static int set(PyObject* self, PyObject* value, void* closure) noexcept {
        try {
            const char* name = static_cast<const char*>(closure);
            if (!value) type_error(std::string("cannot delete attribute '") + name + "'");
            Instance<T>* inst = instance_of<T>(self);
            ExclusiveBorrow guard(inst->borrow);
            S(inst->value, Caster<Stored<V>>::load(value, Where{name}));
            return 0;
        } catch (...) {
            translate_current_exception();
            return -1;
        }
    }
};

// Creates the type from the accumulated members (see module.cpp for the
// shared part).
PyObject* create_class(Module& m, const char* name, const std::string& doc, std::size_t basicsize,
                       destructor dealloc, newfunc tp_new, PyMethodDef* methods, PyGetSetDef* getsets);

template <class T>
class ClassBuilder {
public:
    ClassBuilder(Module& m, const char* name, const char* doc)
        : module_(m), name_(name), doc_(doc ? doc : "") {}

    template <auto F>
    ClassBuilder& constructor(std::initializer_list<Arg> args) {
        auto* sig = new Signature(name_, args);
        ConstructorEntry<T, F>::signature = sig;
        tp_new_ = reinterpret_cast<newfunc>(&ConstructorEntry<T, F>::call);
        signature_text_ = sig->text("");
        return *this;
    }

    template <auto F>
    ClassBuilder& method(const char* name, std::initializer_list<Arg> args, const char* doc = nullptr) {
        auto* sig = new Signature(name, args);
        MethodEntry<T, F>::signature = sig;
        add_method(name, &MethodEntry<T, F>::call, METH_FASTCALL | METH_KEYWORDS, make_doc(name, sig->text("$self"), doc));
        return *this;
    }

    template <auto F>
    ClassBuilder& static_method(const char* name, std::initializer_list<Arg> args, const char* doc = nullptr) {
        auto* sig = new Signature(name, args);
        FunctionEntry<F>::signature = sig;
        add_method(name, &FunctionEntry<F>::call, METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
                   make_doc(name, sig->text(""), doc));
        return *this;
    }

    template <auto G>
    ClassBuilder& property(const char* name, const char* doc = nullptr) {
        getsets_.push_back(PyGetSetDef{name, &GetterEntry<T, G>::get, nullptr, doc, nullptr});
        return *this;
    }

    template <auto G, auto S>
    ClassBuilder& property(const char* name, const char* doc = nullptr) {
        getsets_.push_back(PyGetSetDef{name, &GetterEntry<T, G>::get, &SetterEntry<T, S>::set, doc,
                                       const_cast<char*>(name)});
        return *this;
    }

    // Creates the type and adds it to the module.
    void finish() {
        std::string doc = tp_new_ ? make_doc(name_, signature_text_, doc_.c_str()) : doc_;
        methods_.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
        getsets_.push_back(PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr});
        // CPython keeps pointers into the method and property tables.
        auto* methods = new std::vector<PyMethodDef>(std::move(methods_));
        auto* getsets = new std::vector<PyGetSetDef>(std::move(getsets_));
        PyObject* type = create_class(module_, name_, doc, sizeof(Instance<T>), &dealloc_instance<T>, tp_new_,
                                      methods->data(), getsets->data());
        class_type<T> = reinterpret_cast<PyTypeObject*>(type);
    }

private:
    using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
    void add_method(const char* name, FastFunction f, int flags, const std::string& doc) {
        methods_.push_back(PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), flags,
                                       keep_string(doc)});
    }

    Module& module_;
    const char* name_;
    std::string doc_;
    std::string signature_text_;
    newfunc tp_new_ = nullptr;
    std::vector<PyMethodDef> methods_;
    std::vector<PyGetSetDef> getsets_;
};

template <class T>
ClassBuilder<T> Module::cls(const char* name, const char* doc) {
    return ClassBuilder<T>(*this, name, doc);
}

}  // namespace qor::py
