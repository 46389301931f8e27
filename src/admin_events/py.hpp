// Reference types, the error style and argument binding shared by every
// subsystem of the module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cassert>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace zelta {

// Thrown when a C API call failed and the Python error is already set.
// Entry points catch it at the boundary and return NULL.
struct PyError {};

// A reference that the holder does not own.
class Borrowed {
public:
    constexpr Borrowed() noexcept = default;
    constexpr Borrowed(PyObject* p) noexcept : p_(p) {}
    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is(Borrowed other) const noexcept { return p_ == other.p_; }
    bool is_none() const noexcept { return p_ == Py_None; }

private:
    PyObject* p_ = nullptr;
};

// An owning reference: released in the destructor, move-only. Ownership
// leaves only through release().
class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference; a NULL result means the error is set.
    static Ref steal(PyObject* p) {
        if (!p) {
            assert(PyErr_Occurred() && "a failed call sets an error");
            throw PyError{};
        }
        return Ref(p);
    }
    // Takes over a new reference that may legitimately be NULL.
    static Ref steal_or_null(PyObject* p) noexcept { return Ref(p); }
    // Takes a new reference to a borrowed object.
    static Ref borrow(Borrowed b) noexcept {
        Py_XINCREF(b.get());
        return Ref(b.get());
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    operator Borrowed() const noexcept { return Borrowed(p_); }
    Borrowed view() const noexcept { return Borrowed(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    Ref copy() const noexcept { return borrow(p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Result checks: a failure means the Python error is set.
inline void check(int rc) {
    if (rc < 0) throw PyError{};
}
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyError{};
}
// Raises type with a message formatted as PyErr_Format does (%U, %R, %S, ...).
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// Sets the Python error for the C++ exception being handled (call it in a
// catch block): a PyError keeps the error already set, std::bad_alloc
// becomes MemoryError and anything else SystemError with its text, so that
// no C++ exception ever crosses into the interpreter.
void set_error_from_current_exception() noexcept;

// The raised exception, normalised and taken out of the error indicator
// (null when none is raised).
inline Ref take_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal_or_null(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return Ref();
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type = Ref::steal_or_null(type), owned_traceback = Ref::steal_or_null(traceback);
    Ref exception = Ref::steal_or_null(value);
    if (exception && owned_traceback) PyException_SetTraceback(exception.get(), owned_traceback.get());
    return exception;
#endif
}

// Raises an exception taken by take_exception() again.
inline void restore_exception(Ref exception) noexcept {
    if (!exception) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())));
    Ref traceback = Ref::steal_or_null(PyException_GetTraceback(exception.get()));
    PyErr_Restore(type.release(), exception.release(), traceback.release());
#endif
}

// Holds the raised exception aside so that cleanup code may call into
// Python, and raises it again when the scope ends unless discard() was
// called; errors of the cleanup itself are dropped.
class PendingError {
public:
    PendingError() noexcept : exception_(take_exception()) {}
    ~PendingError() {
        PyErr_Clear();
        restore_exception(std::move(exception_));
    }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

    Borrowed exception() const noexcept { return exception_; }
    bool matches(Borrowed exception_type) const noexcept {
        return exception_ && PyErr_GivenExceptionMatches(exception_.get(), exception_type.get());
    }
    void discard() noexcept { exception_ = Ref(); }

private:
    Ref exception_;
};

// Runs a body that Python calls, turning any C++ exception into the Python
// error and the NULL (or -1) that the C API expects.
template <typename F>
PyObject* guarded(F&& body) noexcept {
    try {
        PyObject* result = body().release();
        assert(result && !PyErr_Occurred() && "a result comes without an error set");
        return result;
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}
template <typename F>
int guarded_int(F&& body) noexcept {
    try {
        body();
        return 0;
    } catch (...) {
        set_error_from_current_exception();
        return -1;
    }
}

// Leaves a Py_EnterRecursiveCall() when the scope ends.
struct RecursionGuard {
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where)) throw PyError{};
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// Small wrappers over the C API, each returning an owned reference or
// throwing with the error set.
inline Ref str(std::string_view s) {
    return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
// A new empty dict with room for `size` items, so that filling it never
// resizes its table (the constructor the interpreter uses for dict displays).
inline Ref presized_dict(Py_ssize_t size) { return Ref::steal(_PyDict_NewPresized(size)); }
inline Ref integer(long v) { return Ref::steal(PyLong_FromLong(v)); }
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
inline Ref getattr(Borrowed o, Borrowed name) { return Ref::steal(PyObject_GetAttr(o.get(), name.get())); }
inline Ref getattr(Borrowed o, const char* name) { return Ref::steal(PyObject_GetAttrString(o.get(), name)); }
inline void setattr(Borrowed o, Borrowed name, Borrowed v) { check(PyObject_SetAttr(o.get(), name.get(), v.get())); }
// dict[key] as an owned reference, or an empty Ref when the key is absent.
inline Ref dict_get(Borrowed dict, Borrowed key) {
    PyObject* found = PyDict_GetItemWithError(dict.get(), key.get());  // borrowed
    if (!found && PyErr_Occurred()) throw PyError{};
    return Ref::borrow(found);
}
inline void append(Borrowed list, Borrowed item) { check(PyList_Append(list.get(), item.get())); }
inline void set_item(Borrowed dict, const char* key, Borrowed value) {
    check(PyDict_SetItemString(dict.get(), key, value.get()));
}
inline Ref add(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_Add(a.get(), b.get())); }
inline Ref to_str(Borrowed o) { return Ref::steal(PyObject_Str(o.get())); }
inline Ref to_list(Borrowed o) { return Ref::steal(PySequence_List(o.get())); }
inline bool truth(Borrowed o) {
    int r = PyObject_IsTrue(o.get());
    check(r);
    return r == 1;
}
inline bool contains(Borrowed container, Borrowed item) {
    int r = PySequence_Contains(container.get(), item.get());
    check(r);
    return r == 1;
}
inline bool equal(Borrowed a, Borrowed b) {
    int r = PyObject_RichCompareBool(a.get(), b.get(), Py_EQ);
    check(r);
    return r == 1;
}
inline Ref import(const char* name) { return Ref::steal(PyImport_ImportModule(name)); }

// Runs body(item) on every item of an iterable, as a for loop does, and
// raises the error the iteration ends with. A body that returns bool ends
// the loop early by returning false.
template <typename F>
void for_each(Borrowed iterable, F&& body) {
    Ref iterator = Ref::steal(PyObject_GetIter(iterable.get()));
    while (Ref item = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
        if constexpr (std::is_same_v<std::invoke_result_t<F&, Borrowed>, bool>) {
            if (!body(item.view())) return;
        } else {
            body(item.view());
        }
    }
    if (PyErr_Occurred()) throw PyError{};
}

// A new list of the items in a list attribute of an object; None lists none.
inline Ref list_field(Borrowed object, Borrowed name) {
    Ref value = getattr(object, name);
    return value.view().is_none() ? Ref::steal(PyList_New(0)) : to_list(value);
}

// Calls a callable with positional arguments given as borrowed views.
template <typename... A>
Ref call(Borrowed callable, const A&... args) {
    std::array<PyObject*, sizeof...(A) + 1> argv{nullptr, Borrowed(args).get()...};
    return Ref::steal(
        PyObject_Vectorcall(callable.get(), argv.data() + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// Calls obj.name(args...) through ordinary attribute lookup.
template <typename... A>
Ref call_method(Borrowed obj, Borrowed name, const A&... args) {
    std::array<PyObject*, sizeof...(A) + 1> argv{obj.get(), Borrowed(args).get()...};
    return Ref::steal(PyObject_VectorcallMethod(name.get(), argv.data(),
                                                (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*args, **keywords) and obj.name(*args, **keywords), the keywords
// given as (name, value) pairs.
using Keywords = std::initializer_list<std::pair<Borrowed, Borrowed>>;
Ref call_keywords(Borrowed callable, std::initializer_list<Borrowed> args, Keywords keywords);
Ref call_method_keywords(Borrowed obj, Borrowed name, std::initializer_list<Borrowed> args, Keywords keywords);

// Calls obj.close() when the scope ends early, keeping the error that ended
// it; close_now() closes with errors raised.
class Closing {
public:
    Closing(Borrowed object, Borrowed close_name) : object_(Ref::borrow(object)), close_name_(close_name) {}
    ~Closing() {
        if (!object_) return;
        PendingError saved;
        Ref closed = Ref::steal_or_null(PyObject_CallMethodNoArgs(object_.get(), close_name_.get()));
    }
    Closing(const Closing&) = delete;
    Closing& operator=(const Closing&) = delete;
    void close_now() {
        Ref object = std::move(object_);
        call_method(object, close_name_);
    }

private:
    Ref object_;
    Borrowed close_name_;
};

// Text of a str object as UTF-8; surrogates raise.
inline std::string_view utf8(Borrowed s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s.get(), &n);
    if (!p) throw PyError{};
    return {p, static_cast<size_t>(n)};
}

// A piece of concat(): a str, or ASCII text.
struct TextPiece {
    TextPiece(Borrowed s) : object(s) {}
    TextPiece(const Ref& s) : object(s.view()) {}
    TextPiece(PyObject* s) : object(s) {}
    TextPiece(std::string_view ascii) : ascii(ascii) {}
    TextPiece(const char* ascii) : ascii(ascii) {}
    Borrowed object;
    std::string_view ascii;
};
// The pieces joined into one new str, built in one allocation.
Ref concat(std::initializer_list<TextPiece> pieces);

// Writes one line to the current sys.stdout, as print(text) does.
void print_line(Borrowed text);

// ---- Argument binding -----------------------------------------------------

// What an argument must be. None passes the check for List and Str, as the
// host binding of these operations allows.
enum class Expect { Any, List, Str, Dict, Int };

struct Param {
    const char* name = nullptr;
    Expect expect = Expect::Any;
    bool required = true;
    const char* default_text = nullptr;  // shown in the signature of an optional one
};

// The type name an Expect stands for in the binding's messages.
const char* expected_name(Expect e);

// Binds fast-call arguments (positional, or by name unless positional_only)
// to the parameters and applies the type checks with the binding's exact
// messages; fname names the operation in them. Unfilled optional parameters
// are left empty (a null Borrowed).
void bind_arguments(const char* fname, const Param* params, size_t nparams, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Borrowed* out, bool positional_only);

}  // namespace zelta
