// Argument binding with the host binding's messages, and line output.
#include "py.hpp"

namespace zelta {

void print_line(Borrowed text) {
    PyObject* out = PySys_GetObject("stdout");  // borrowed
    if (!out) raise(PyExc_RuntimeError, "lost sys.stdout");
    if (out == Py_None) return;  // print() writes nothing then either
    check(PyFile_WriteObject(text.get(), out, Py_PRINT_RAW));
    check(PyFile_WriteString("\n", out));
}

static const char* expected_name(Expect e) {
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

void check_type(const Param& param, Borrowed value) {
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
    if (!ok) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param.name,
                     expected_name(param.expect), Py_TYPE(value.get())->tp_name);
        throw PyError{};
    }
}

void bind_arguments(const char* fname, const Param* params, size_t nparams, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Borrowed* out, bool positional_only) {
    if (nargs > static_cast<Py_ssize_t>(nparams)) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd positional argument%s (%zd given)", fname,
                     static_cast<Py_ssize_t>(nparams), nparams == 1 ? "" : "s", nargs);
        throw PyError{};
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw && positional_only) {
        PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", fname);
        throw PyError{};
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        size_t slot = nparams;
        for (size_t i = 0; i < nparams; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, params[i].name) == 0) {
                slot = i;
                break;
            }
        }
        if (slot == nparams) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
            throw PyError{};
        }
        if (out[slot]) {
            PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)", fname,
                         params[slot].name, static_cast<Py_ssize_t>(slot + 1));
            throw PyError{};
        }
        out[slot] = args[nargs + k];
    }
    for (size_t i = 0; i < nparams; ++i) {
        if (!out[i]) {
            if (params[i].required) {
                PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", fname, params[i].name,
                             static_cast<Py_ssize_t>(i + 1));
                throw PyError{};
            }
            continue;
        }
        check_type(params[i], out[i]);
    }
}

void bind_none(const char* fname, Py_ssize_t nargs, PyObject* kwnames) {
    bind_arguments(fname, nullptr, 0, nullptr, nargs, kwnames, nullptr);
}

Borrowed bind_one_positional(const char* fname, const Param& param, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    Borrowed out;
    bind_arguments(fname, &param, 1, args, nargs, kwnames, &out, true);
    return out;
}

}  // namespace zelta
