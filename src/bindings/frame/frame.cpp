// Non-template parts of the binding frame.
#include <cstring>
#include <deque>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "frame/frame.hpp"

namespace qor::py {

// ---- errors --------------------------------------------------------------

namespace {
PyObject* g_internal_fault = nullptr;
}

void raise(PyObject* type, std::string_view message) {
    PyErr_SetObject(type, Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace")).get());
    throw ErrorAlreadySet{};
}

std::size_t checked_mul(std::size_t a, std::size_t b, std::string_view what) {
    std::size_t out = 0;
    if (__builtin_mul_overflow(a, b, &out)) value_error(std::string(what) + " is too large");
    return out;
}

PyObject* internal_fault_type() noexcept { return g_internal_fault; }

int init_internal_fault_type() noexcept {
    if (g_internal_fault) return 0;
    g_internal_fault = PyErr_NewExceptionWithDoc(
        "qor_kernel.InternalFault",
        "An unexpected internal condition of qor_kernel. Derives from BaseException, so that "
        "`except Exception` does not swallow it.",
        PyExc_BaseException, nullptr);
    return g_internal_fault ? 0 : -1;
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_Occurred()) PyErr_SetString(g_internal_fault, "error reported without an exception set");
    } catch (const QorException& e) {
        const std::string text = e.error.display();
        PyErr_SetObject(PyExc_ValueError,
                        Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace")).get());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked for more than it can ever hold: an allocation failure too.
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(g_internal_fault ? g_internal_fault : PyExc_SystemError, "internal fault: %s", e.what());
    } catch (...) {
        PyErr_SetString(g_internal_fault ? g_internal_fault : PyExc_SystemError, "internal fault: unknown exception");
    }
}

std::string type_name(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    if (PyArray_Check(o)) return "numpy.ndarray";
    const char* name = t->tp_name;
    const char* dot = std::strrchr(name, '.');
    if (dot && std::strncmp(name, "numpy.", 6) != 0) return dot + 1;
    return name;
}

// ---- where ---------------------------------------------------------------

std::string Where::str() const {
    if (!parent) return name ? name : "argument";
    std::string out = parent->str();
    if (key) {
        Ref r = Ref::steal(PyObject_Repr(key));
        const char* s = r ? PyUnicode_AsUTF8(r.get()) : nullptr;
        if (!s) PyErr_Clear();
        out += '[';
        out += s ? s : "?";
        out += ']';
    } else {
        out += '[' + std::to_string(index) + ']';
    }
    return out;
}

void rethrow_with_context(const Where& where) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        Ref t = Ref::steal(type), v = Ref::steal(value), trace = Ref::steal(tb);
        Ref text = Ref::steal(v ? PyObject_Str(v.get()) : nullptr);
        const char* s = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (!s) PyErr_Clear();
        raise(t.get(), where.str() + ": " + (s ? s : "conversion failed"));
    }
    throw ErrorAlreadySet{};
}

void expected_error(const Where& where, const char* what, PyObject* obj) {
    type_error(where.str() + ": expected " + what + ", got " + type_name(obj));
}

// ---- integers ------------------------------------------------------------

namespace {

// `o` itself when it is an int, else its __index__ (kept alive in `holder`);
// floats are refused rather than truncated.
PyObject* as_int(PyObject* o, const Where& w, Ref& holder) {
    if (PyLong_Check(o)) return o;
    if (PyFloat_Check(o)) type_error(w.str() + ": 'float' object cannot be interpreted as an integer");
    holder = Ref::steal(PyNumber_Index(o));
    if (!holder) rethrow_with_context(w);
    return holder.get();
}

}  // namespace

unsigned long long load_unsigned(PyObject* o, const Where& w, unsigned long long max_value, int bits) {
    Ref index;
    o = as_int(o, w, index);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) rethrow_with_context(w);
    if (overflow < 0 || (overflow == 0 && v < 0))
        overflow_error(w.str() + ": can't convert negative int to unsigned");
    unsigned long long u = static_cast<unsigned long long>(v);
    if (overflow > 0) {
        u = PyLong_AsUnsignedLongLong(o);
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            u = max_value;
            if (bits >= 64) overflow_error(w.str() + ": int too large for an unsigned 64-bit integer");
        }
    }
    if (u > max_value || (overflow > 0 && bits < 64)) {
        Ref text = Ref::steal(PyObject_Str(o));
        const char* s = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (!s) PyErr_Clear();
        overflow_error(w.str() + ": " + (s ? s : "value") + " does not fit in an unsigned " + std::to_string(bits) +
                       "-bit integer");
    }
    return u;
}

long long load_signed(PyObject* o, const Where& w) {
    Ref index;
    o = as_int(o, w, index);
    const long long v = PyLong_AsLongLong(o);
    if (v == -1 && PyErr_Occurred()) rethrow_with_context(w);
    return v;
}

// ---- arrays --------------------------------------------------------------

bool load_float64_array(PyObject* o, std::vector<double>& out) {
    if (!PyArray_Check(o)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_NDIM(a) != 1 || PyArray_TYPE(a) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(a) || !PyArray_ISALIGNED(a))
        return false;
    const npy_intp n = PyArray_DIM(a, 0);
    const npy_intp stride = PyArray_STRIDE(a, 0);
    const char* base = static_cast<const char*>(PyArray_DATA(a));
    out.resize(static_cast<std::size_t>(n));
    for (npy_intp i = 0; i < n; ++i) out[static_cast<std::size_t>(i)] = *reinterpret_cast<const double*>(base + i * stride);
    return true;
}

namespace {

bool dtype_matches(PyArrayObject* a, int type_num) {
    const int t = PyArray_TYPE(a);
    if (t != type_num && !PyArray_EquivTypenums(t, type_num)) return false;
    return PyArray_ISNOTSWAPPED(a);
}

[[noreturn]] void array_type_error(PyObject* o, const std::string& where, const char* dtype_name) {
    std::string got;
    if (PyArray_Check(o)) {
        auto* a = reinterpret_cast<PyArrayObject*>(o);
        Ref dt = Ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(a))));
        const char* s = dt ? PyUnicode_AsUTF8(dt.get()) : nullptr;
        if (!s) PyErr_Clear();
        got = "a " + std::to_string(PyArray_NDIM(a)) + "-dimensional numpy.ndarray of dtype " + (s ? s : "?");
    } else {
        got = type_name(o);
    }
    type_error(where + ": expected a one-dimensional numpy.ndarray of dtype " + dtype_name + ", got " + got);
}

}  // namespace

PyArrayObject* check_array_type(PyObject* o, const Where& w, int type_num, const char* dtype_name) {
    if (!PyArray_Check(o)) array_type_error(o, w.str(), dtype_name);
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_NDIM(a) != 1 || !dtype_matches(a, type_num)) array_type_error(o, w.str(), dtype_name);
    return a;
}

void CallBorrows::add(const char* name, const char* begin, const char* end, bool writable) {
    if (begin == end) return;  // an empty array borrows no memory
    for (int i = 0; i < count_; ++i) {
        const Entry& e = entries_[i];
        if (!(writable || e.writable) || e.end <= begin || end <= e.begin) continue;
        if (writable)
            value_error(std::string(name) + ": this call writes into the array, so it must not share memory with argument '" +
                        e.name + "'");
        value_error(std::string(name) + ": the array shares memory with argument '" + e.name +
                    "', which this call writes into");
    }
    if (count_ == capacity) return;  // more arrays than any signature has: nothing left to conflict with
    entries_[count_++] = Entry{name, begin, end, writable};
}

std::size_t finalize_array(PyArrayObject* a, CallBorrows& borrows, const Param& p, int type_num,
                           const char* dtype_name, bool writable, bool allow_strided) {
    // Converting a later argument may have run Python code that reshaped this array.
    if (PyArray_NDIM(a) != 1 || !dtype_matches(a, type_num))
        array_type_error(reinterpret_cast<PyObject*>(a), p.name, dtype_name);
    const npy_intp n = PyArray_DIM(a, 0);
    const npy_intp stride = PyArray_STRIDE(a, 0);
    const npy_intp item = PyArray_ITEMSIZE(a);
    const char* data = static_cast<const char*>(PyArray_DATA(a));
    if (writable && !PyArray_ISWRITEABLE(a))
        value_error(p.name + ": the array is read-only, but this call writes into it");
    if (n > 0) {
        const char* first = stride >= 0 ? data : data + (n - 1) * stride;
        const char* last = (stride >= 0 ? data + (n - 1) * stride : data) + item;
        borrows.add(p.name.c_str(), first, last, writable);
        if (!allow_strided) {
            const bool contiguous = PyArray_IS_C_CONTIGUOUS(a) || PyArray_IS_F_CONTIGUOUS(a);
            if (!contiguous || !PyArray_ISALIGNED(a))
                value_error(p.noncontiguous_message ? p.noncontiguous_message : not_contiguous_message);
        }
    }
    return static_cast<std::size_t>(n);
}

namespace {

void release_capsule(PyObject* capsule) {
    auto* release = reinterpret_cast<void (*)(void*)>(PyCapsule_GetContext(capsule));
    void* owner = PyCapsule_GetPointer(capsule, "qor_kernel.buffer");
    if (release && owner) release(owner);
}

}  // namespace

PyObject* ndarray_from_buffer(void* data, std::size_t size, int type_num, void* owner, void (*release)(void*)) {
    npy_intp dims[1] = {static_cast<npy_intp>(size)};
    if (size == 0 || !data) {
        release(owner);
        return check(PyArray_SimpleNew(1, dims, type_num));
    }
    Ref capsule = Ref::steal(PyCapsule_New(owner, "qor_kernel.buffer", &release_capsule));
    if (!capsule) {
        release(owner);
        throw_current();
    }
    if (PyCapsule_SetContext(capsule.get(), reinterpret_cast<void*>(release)) < 0) throw_current();
    Ref array = Ref::steal(PyArray_SimpleNewFromData(1, dims, type_num, data));
    if (!array) throw_current();
    // SetBaseObject takes the capsule's reference even when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0) throw_current();
    return array.release();
}

// ---- signatures ----------------------------------------------------------

Signature::Signature(std::string function_name, std::initializer_list<Arg> args) : name_(std::move(function_name)) {
    for (const Arg& a : args) {
        Param p;
        p.name = a.name;
        p.name_object = Ref::steal(PyUnicode_InternFromString(a.name));
        p.noncontiguous_message = a.noncontiguous_message;
        std::visit(
            [&](const auto& d) {
                using D = std::decay_t<decltype(d)>;
                if constexpr (std::is_same_v<D, double>)
                    p.default_object = Ref::steal(PyFloat_FromDouble(d));
                else if constexpr (std::is_same_v<D, long long>)
                    p.default_object = Ref::steal(PyLong_FromLongLong(d));
                else if constexpr (std::is_same_v<D, unsigned long long>)
                    p.default_object = Ref::steal(PyLong_FromUnsignedLongLong(d));
                else if constexpr (std::is_same_v<D, bool>)
                    p.default_object = Ref::borrow(d ? Py_True : Py_False);
                else if constexpr (std::is_same_v<D, const char*>)
                    p.default_object = Ref::steal(PyUnicode_FromString(d));
                else if constexpr (std::is_same_v<D, NoneDefault>)
                    p.default_object = Ref::borrow(Py_None);
            },
            a.default_value);
        params_.push_back(std::move(p));
    }
}

void Signature::fill_defaults(PyObject** out) const {
    for (std::size_t i = 0; i < params_.size(); ++i) {
        if (out[i]) continue;
        if (!params_[i].default_object)
            type_error(name_ + "() missing required argument '" + params_[i].name + "' (pos " + std::to_string(i + 1) + ")");
        out[i] = params_[i].default_object.get();
    }
}

void Signature::bind_keyword(PyObject* key, PyObject* value, Py_ssize_t nargs, PyObject** out) const {
    std::size_t found = params_.size();
    for (std::size_t i = 0; i < params_.size(); ++i)
        if (params_[i].name_object.get() == key) { found = i; break; }
    if (found == params_.size()) {
        for (std::size_t i = 0; i < params_.size(); ++i) {
            const int eq = PyUnicode_Check(key) ? PyUnicode_Compare(key, params_[i].name_object.get()) : 1;
            if (eq == -1 && PyErr_Occurred()) PyErr_Clear();
            if (eq == 0) { found = i; break; }
        }
    }
    if (found == params_.size()) {
        Ref r = Ref::steal(PyObject_Str(key));
        const char* s = r ? PyUnicode_AsUTF8(r.get()) : nullptr;
        if (!s) PyErr_Clear();
        type_error(name_ + "() got an unexpected keyword argument '" + (s ? s : "?") + "'");
    }
    if (static_cast<Py_ssize_t>(found) < nargs || out[found])
        type_error(name_ + "() got multiple values for argument '" + params_[found].name + "'");
    out[found] = value;
}

namespace {
[[noreturn]] void too_many(const std::string& name, std::size_t max, Py_ssize_t given) {
    type_error(name + "() takes " + (max == 0 ? std::string("no") : std::to_string(max)) + " positional argument" +
               (max == 1 ? "" : "s") + " but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given");
}
}  // namespace

void Signature::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const {
    const std::size_t n = params_.size();
    if (nargs > static_cast<Py_ssize_t>(n)) too_many(name_, n, nargs);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
    if (kwnames) {
        const Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nk; ++k) bind_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out);
    }
    fill_defaults(out);
}

void Signature::bind(PyObject* args, PyObject* kwargs, PyObject** out) const {
    const std::size_t n = params_.size();
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > static_cast<Py_ssize_t>(n)) too_many(name_, n, nargs);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<Py_ssize_t>(i) < nargs ? PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i)) : nullptr;
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(key, value, nargs, out);
    }
    fill_defaults(out);
}

std::string Signature::text(const char* self_marker) const {
    std::string out = "(";
    bool first = true;
    if (self_marker && *self_marker) {
        out += self_marker;
        first = false;
    }
    for (const Param& p : params_) {
        if (!first) out += ", ";
        first = false;
        out += p.name;
        if (p.default_object) {
            Ref r = Ref::steal(PyObject_Repr(p.default_object.get()));
            const char* s = r ? PyUnicode_AsUTF8(r.get()) : nullptr;
            if (!s) PyErr_Clear();
            out += '=';
            out += s ? s : "...";
        }
    }
    return out + ")";
}

std::string make_doc(const std::string& name, const std::string& sig_text, const char* doc) {
    std::string out = name + sig_text + "\n--\n\n";
    if (doc) out += doc;
    return out;
}

// ---- module and classes --------------------------------------------------

const char* keep_string(std::string s) {
    static std::deque<std::string> kept;
    kept.push_back(std::move(s));
    return kept.back().c_str();
}

Module::Module(PyObject* module) : module_(module), all_(Ref::steal(check(PyList_New(0)))) {}

void Module::publish(const char* name, PyObject* object) {
    Ref owned = Ref::steal(object);
    if (!owned) throw_current();
    if (PyModule_AddObjectRef(module_, name, owned.get()) < 0) throw_current();
    Ref n = Ref::steal(check(PyUnicode_FromString(name)));
    if (PyList_Append(all_.get(), n.get()) < 0) throw_current();
}

void Module::finish() {
    if (PyModule_AddObjectRef(module_, "__all__", all_.get()) < 0) throw_current();
}

void Module::add_function(const char* name, FastFunction f, const std::string& sig_text, const char* doc) {
    auto* def = new PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)),
                                METH_FASTCALL | METH_KEYWORDS, keep_string(make_doc(name, sig_text, doc))};
    Ref module_name = Ref::steal(check(PyModule_GetNameObject(module_)));
    publish(name, PyCFunction_NewEx(def, module_, module_name.get()));
}

PyObject* create_class(Module& m, const char* name, const std::string& doc, std::size_t basicsize,
                       destructor dealloc, newfunc tp_new, PyMethodDef* methods, PyGetSetDef* getsets) {
    std::vector<PyType_Slot> slots;
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
    slots.push_back({Py_tp_doc, const_cast<char*>(keep_string(doc))});
    slots.push_back({Py_tp_methods, methods});
    slots.push_back({Py_tp_getset, getsets});
    if (tp_new) slots.push_back({Py_tp_new, reinterpret_cast<void*>(tp_new)});
    slots.push_back({0, nullptr});
    unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
    if (!tp_new) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    PyType_Spec spec{keep_string(std::string("qor_kernel.") + name), static_cast<int>(basicsize), 0, flags, slots.data()};
    PyObject* type = PyType_FromModuleAndSpec(m.get(), &spec, nullptr);
    if (!type) throw_current();
    Py_INCREF(type);  // one reference stays with the C++ side (class_type<T>)
    m.publish(name, type);
    return type;
}

}  // namespace qor::py
