// Argument binding with the host binding's messages, and line output.
#include "py.hpp"

#include <algorithm>
#include <cstdarg>
#include <exception>
#include <new>
#include <vector>

namespace zelta {

void raise_format(PyObject* type, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(type, format, arguments);
    va_end(arguments);
    throw PyError{};
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PyError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

// One vectorcall with keywords; self, when given, is the method's receiver.
static Ref vectorcall_keywords(Borrowed callable, Borrowed method_name, Borrowed self,
                               std::initializer_list<Borrowed> args, Keywords keywords) {
    std::vector<PyObject*> argv{self.get()};
    for (Borrowed a : args) argv.push_back(a.get());
    Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    Py_ssize_t k = 0;
    for (const auto& [name, value] : keywords) {
        PyTuple_SET_ITEM(names.get(), k++, Ref::borrow(name).release());
        argv.push_back(value.get());
    }
    if (method_name)
        return Ref::steal(PyObject_VectorcallMethod(method_name.get(), argv.data(),
                                                    (args.size() + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
    return Ref::steal(PyObject_Vectorcall(callable.get(), argv.data() + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          names.get()));
}

Ref call_keywords(Borrowed callable, std::initializer_list<Borrowed> args, Keywords keywords) {
    return vectorcall_keywords(callable, {}, {}, args, keywords);
}

Ref call_method_keywords(Borrowed obj, Borrowed name, std::initializer_list<Borrowed> args, Keywords keywords) {
    return vectorcall_keywords({}, name, obj, args, keywords);
}

void print_line(Borrowed text) {
    // Owned for the whole line, as print() holds it: a write() that rebinds
    // sys.stdout may free the stream the line started on.
    Ref out = Ref::borrow(PySys_GetObject("stdout"));
    if (!out) raise(PyExc_RuntimeError, "lost sys.stdout");
    if (out.view().is_none()) return;  // print() writes nothing then either
    check(PyFile_WriteObject(text.get(), out.get(), Py_PRINT_RAW));
    check(PyFile_WriteString("\n", out.get()));
}

Ref concat(std::initializer_list<TextPiece> pieces) {
    Py_ssize_t length = 0;
    Py_UCS4 widest = 127;
    for (const TextPiece& piece : pieces) {
        if (!piece.object) {
            length += static_cast<Py_ssize_t>(piece.ascii.size());
            continue;
        }
        PyObject* s = piece.object.get();
        if (!PyUnicode_Check(s)) {
            PyErr_Format(PyExc_TypeError, "expected str instance, %.80s found", Py_TYPE(s)->tp_name);
            throw PyError{};
        }
        length += PyUnicode_GET_LENGTH(s);
        if (!PyUnicode_IS_ASCII(s)) widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(s));
    }
    Ref result = Ref::steal(PyUnicode_New(length, widest));
    Py_ssize_t at = 0;
    for (const TextPiece& piece : pieces) {
        if (!piece.object) {
            void* data = PyUnicode_DATA(result.get());
            const auto* begin = reinterpret_cast<const unsigned char*>(piece.ascii.data());
            const auto* end = begin + piece.ascii.size();
            switch (PyUnicode_KIND(result.get())) {
                case PyUnicode_1BYTE_KIND:
                    std::copy(begin, end, static_cast<Py_UCS1*>(data) + at);
                    break;
                case PyUnicode_2BYTE_KIND:
                    std::copy(begin, end, static_cast<Py_UCS2*>(data) + at);
                    break;
                default:
                    std::copy(begin, end, static_cast<Py_UCS4*>(data) + at);
                    break;
            }
            at += static_cast<Py_ssize_t>(piece.ascii.size());
            continue;
        }
        Py_ssize_t n = PyUnicode_GET_LENGTH(piece.object.get());
        if (PyUnicode_CopyCharacters(result.get(), at, piece.object.get(), 0, n) < 0) throw PyError{};
        at += n;
    }
    return result;
}

const char* expected_name(Expect e) {
    switch (e) {
        case Expect::List:
            return "list";
        case Expect::Str:
            return "str";
        case Expect::Dict:
            return "dict";
        case Expect::Int:
            return "int";
        case Expect::Any:
            break;
    }
    return "object";
}

static void check_type(const Param& param, Borrowed value) {
    bool ok = true;
    switch (param.expect) {
        case Expect::Any:
            break;
        case Expect::List:
            ok = value.is_none() || PyList_Check(value.get());
            break;
        case Expect::Str:
            ok = value.is_none() || PyUnicode_Check(value.get());
            break;
        case Expect::Dict:
            ok = PyDict_Check(value.get());
            break;
        case Expect::Int:
            ok = PyLong_Check(value.get());
            break;
    }
    if (!ok)
        raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param.name,
                     expected_name(param.expect), Py_TYPE(value.get())->tp_name);
}

void bind_arguments(const char* fname, const Param* params, size_t nparams, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Borrowed* out, bool positional_only) {
    if (nargs > static_cast<Py_ssize_t>(nparams))
        raise_format(PyExc_TypeError, "%s() takes at most %zd positional argument%s (%zd given)", fname,
                     static_cast<Py_ssize_t>(nparams), nparams == 1 ? "" : "s", nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw && positional_only) raise_format(PyExc_TypeError, "%s() takes no keyword arguments", fname);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        size_t slot = nparams;
        for (size_t i = 0; i < nparams; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, params[i].name) == 0) {
                slot = i;
                break;
            }
        }
        if (slot == nparams) raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
        if (out[slot])
            raise_format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)", fname,
                         params[slot].name, static_cast<Py_ssize_t>(slot + 1));
        out[slot] = args[nargs + k];
    }
    for (size_t i = 0; i < nparams; ++i) {
        if (!out[i]) {
            if (params[i].required)
                raise_format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", fname, params[i].name,
                             static_cast<Py_ssize_t>(i + 1));
            continue;
        }
        check_type(params[i], out[i]);
    }
}

}  // namespace zelta
