// Module setup, the ZeltaAdminEvents class with its constants, the
// constructor and the validation of the named IDs.
#include "module.hpp"
#include "changes.hpp"

#include <source_digest.h>
#include <structmember.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <tuple>
#include <vector>

namespace zelta {

extern PyModuleDef module_def;

Ctx ctx_from_type(PyTypeObject* type) {
    PyObject* module = PyType_GetModuleByDef(type, &module_def);  // borrowed
    if (!module) throw PyError{};
    return Ctx{module, *static_cast<State*>(PyModule_GetState(module))};
}

Ref global(Ctx c, Borrowed name) {
    Ref value = dict_get(PyModule_GetDict(c.module.get()), name);
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
        throw PyError{};
    }
    return value;
}

Ref library(Ctx c, Borrowed function_name) { return getattr(global(c, c.st.zelta_events), function_name); }

Borrowed lazy_module(Ctx c, LazyModule which) {
    static const char* const names[] = {"json", "tarfile", "os", "gzip", "hashlib"};
    Ref& slot = c.st.lazy[static_cast<int>(which)];
    if (!slot) slot = import(names[static_cast<int>(which)]);
    return slot;
}

Ref translate(Ctx c, const char* msgid) { return call(global(c, c.st.underscore), str(msgid)); }

Ref message_text(Ctx c, const char* msgid, Borrowed value) {
    Ref text = translate(c, msgid);
    if (value) text = add(add(text, c.st.colon_space), value);
    return text;
}

Ref translate_with(Ctx c, const char* msgid, std::initializer_list<std::pair<const char*, Borrowed>> values) {
    Ref text = translate(c, msgid);
    for (auto [name, value] : values)
        text = Ref::steal(PyUnicode_Replace(text.get(), str(name).get(), value.get(), -1));
    return text;
}

void print_message(Ctx c, const char* msgid, Borrowed value) { print_line(message_text(c, msgid, value)); }

// ---- Validation of the named IDs --------------------------------------------

struct AdminObject {
    PyObject_HEAD
    PyObject* dict;         // instance __dict__, owned by the object
    PyObject* weakreflist;  // weak references to the object, as Python objects allow
    // The IDs removed as unknown, kept outside __dict__ so that the object's
    // fields stay those the constructor documents.
    PyObject* unknown_groups;
    PyObject* unknown_events;
};

static PyObject*& unknown_slot(Borrowed self, bool groups) {
    AdminObject* object = reinterpret_cast<AdminObject*>(self.get());
    return groups ? object->unknown_groups : object->unknown_events;
}

Ref unknown_ids(Borrowed self, bool groups) {
    PyObject* ids = unknown_slot(self, groups);
    return ids ? to_list(ids) : Ref::steal(PyList_New(0));
}

static void remember_unknown(Borrowed self, bool groups, Borrowed id) {
    PyObject*& slot = unknown_slot(self, groups);
    if (!slot) slot = Ref::steal(PyList_New(0)).release();
    check(PyList_Append(slot, id.get()));
}

// Removes the IDs the library does not list from the list in the field,
// reporting each; the caller's own list object is edited in place.
static void prepare_ids(Ctx c, Borrowed self, Borrowed field, Borrowed list_ids_function, const char* message,
                        bool groups) {
    Ref ids = getattr(self, field);
    if (ids.view().is_none() || !truth(ids)) return;
    Ref known = Ref::steal(PySet_New(call(library(c, list_ids_function)).get()));
    Ref snapshot = to_list(ids);
    Ref heading;  // _(message) + ": ", translated once per call: a catalogue lookup is costly
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i) {
        Borrowed id = PyList_GET_ITEM(snapshot.get(), i);
        int present = PySet_Contains(known.get(), id.get());
        check(present);
        if (present) continue;
        call_method(ids, c.st.remove, id);
        remember_unknown(self, groups, id);
        if (!heading) heading = add(translate(c, message), c.st.colon_space);
        print_line(add(heading, id));
    }
}

ZELTA_OPERATION(prepare_groups) {
    prepare_ids(c, self, c.st.group_id_list, c.st.get_group_ids, N_("Unknown group ID"), true);
    return none();
}

ZELTA_OPERATION(prepare_events) {
    prepare_ids(c, self, c.st.event_id_list, c.st.get_event_ids, N_("Unknown event ID"), false);
    return none();
}

ZELTA_OPERATION(init) {
    State& st = c.st;
    setattr(self, st.event_id_list, a.event_id_list);
    setattr(self, st.group_id_list, a.group_id_list);
    setattr(self, st.event_section_translations, Py_None);
    setattr(self, st.need_daemon_restart, Py_False);
    for (bool groups : {true, false}) Py_CLEAR(unknown_slot(self, groups));
    call_method(self, st.prepare_groups);
    call_method(self, st.prepare_events);
    setattr(self, st.event_description, call_method(self, st.get_all_event_description));
    setattr(self, st.group_description, call_method(self, st.get_all_group_description));
    return none();
}

// ---- Entry points --------------------------------------------------------------

namespace {

enum class Kind { method, class_method, class_method_positional, constructor };
constexpr bool on_class(Kind kind) { return kind == Kind::class_method || kind == Kind::class_method_positional; }

// What the method table and `_operations` say about one operation.
struct Operation {
    const char* name;
    Kind kind;
    const Param* params;
    size_t count;
    const char* doc;
    vectorcallfunc entry;
};

// The parameters of each operation, ended by an empty one.
namespace parameters {
#define ZELTA_REQUIRED(param, expect) Param{#param, Expect::expect},
#define ZELTA_OPTIONAL(param, expect, default_text) Param{#param, Expect::expect, false, default_text},
#define ZELTA_PARAMETERS(name, python_name, kind, params, doc) constexpr Param name[] = {params Param{}};
ZELTA_OPERATIONS(ZELTA_PARAMETERS, ZELTA_REQUIRED, ZELTA_OPTIONAL)
#undef ZELTA_PARAMETERS
#undef ZELTA_OPTIONAL
#undef ZELTA_REQUIRED
}  // namespace parameters

// The one entry point of every operation: binds the arguments, finds the
// module of the receiver and runs the body, whatever it throws.
template <Kind kind, const char* name, const auto& params, typename Args, Ref (*body)(Ctx, Borrowed, const Args&)>
PyObject* entry(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&] {
        constexpr size_t count = std::size(params) - 1;
        std::array<Borrowed, count> bound{};
        bind_arguments(name, params, count, args, PyVectorcall_NARGS(nargsf), kwnames, bound.data(),
                       kind == Kind::class_method_positional);
        Args arguments = std::apply([](auto... values) { return Args{values...}; }, bound);
        Ctx c = on_class(kind) ? ctx_from_class(self) : ctx_from_object(self);
        return body(c, self, arguments);
    });
}

#define ZELTA_OPERATION_ROW(name, python_name, kind, params, doc) \
    Operation{operation_names::name,                              \
              Kind::kind,                                         \
              parameters::name,                                   \
              std::size(parameters::name) - 1,                    \
              doc,                                                \
              entry<Kind::kind, operation_names::name, parameters::name, arguments::name, operations::name>},
constexpr Operation operation_table[] = {ZELTA_OPERATIONS(ZELTA_OPERATION_ROW, ZELTA_IGNORE, ZELTA_IGNORE)};
#undef ZELTA_OPERATION_ROW

const Operation& constructor_operation() {
    for (const Operation& op : operation_table)
        if (op.kind == Kind::constructor) return op;
    std::abort();  // the table declares one
}

// "name($self, a, b=None)\n--\n\ndoc": the signature line that
// inspect.signature reads, then the documentation.
std::string docstring(const Operation& op, const char* shown_name) {
    std::string text = std::string(shown_name) + "(";
    if (op.kind != Kind::constructor) text += on_class(op.kind) ? "$cls" : "$self";
    for (size_t i = 0; i < op.count; ++i) {
        if (i || op.kind != Kind::constructor) text += ", ";
        text += op.params[i].name;
        if (!op.params[i].required) text.append("=").append(op.params[i].default_text);
    }
    if (op.kind != Kind::constructor && (op.count == 0 || op.kind == Kind::class_method_positional)) text += ", /";
    return text + ")\n--\n\n" + op.doc;
}

// The class's method table, with the docstrings it points to.
const std::vector<PyMethodDef>& method_table() {
    static std::vector<std::string> docs;
    static const std::vector<PyMethodDef> methods = [] {
        docs.reserve(std::size(operation_table));  // the table points into these strings
        std::vector<PyMethodDef> table;
        for (const Operation& op : operation_table) {
            if (op.kind == Kind::constructor) continue;
            int flags = METH_FASTCALL | METH_KEYWORDS | (on_class(op.kind) ? METH_CLASS : 0);
            docs.push_back(docstring(op, op.name));
            table.push_back({op.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(op.entry)), flags,
                             docs.back().c_str()});
        }
        table.push_back({nullptr, nullptr, 0, nullptr});
        return table;
    }();
    return methods;
}

// `_operations`, one row per operation: (name, kind, parameters,
// positional_only, doc), each parameter (name, expected type, required,
// default text or None). Tests check the stub and their tables against it.
Ref operations_attribute() {
    static const char* const kinds[] = {"method", "classmethod", "classmethod", "constructor"};
    Ref rows = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(std::size(operation_table))));
    Py_ssize_t row = 0;
    for (const Operation& op : operation_table) {
        Ref params = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(op.count)));
        for (size_t i = 0; i < op.count; ++i) {
            const Param& p = op.params[i];
            Ref default_text = p.default_text ? str(p.default_text) : none();
            PyTuple_SET_ITEM(params.get(), static_cast<Py_ssize_t>(i),
                             Ref::steal(PyTuple_Pack(4, str(p.name).get(), str(expected_name(p.expect)).get(),
                                                     boolean(p.required).get(), default_text.get()))
                                 .release());
        }
        bool positional = op.kind == Kind::class_method_positional;
        Ref entry = Ref::steal(PyTuple_Pack(5, str(op.name).get(), str(kinds[static_cast<int>(op.kind)]).get(),
                                            params.get(), boolean(positional).get(), str(op.doc).get()));
        PyTuple_SET_ITEM(rows.get(), row++, entry.release());
    }
    return rows;
}

}  // namespace

// ---- The class ---------------------------------------------------------------

static int admin_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<AdminObject*>(self)->dict);
    Py_VISIT(reinterpret_cast<AdminObject*>(self)->unknown_groups);
    Py_VISIT(reinterpret_cast<AdminObject*>(self)->unknown_events);
    return 0;
}

static int admin_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<AdminObject*>(self)->dict);
    Py_CLEAR(reinterpret_cast<AdminObject*>(self)->unknown_groups);
    Py_CLEAR(reinterpret_cast<AdminObject*>(self)->unknown_events);
    return 0;
}

static void admin_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<AdminObject*>(self)->weakreflist) PyObject_ClearWeakRefs(self);
    admin_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// tp_init: the constructor's entry point, given the call in fast-call form.
static int admin_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_int([&] {
        std::vector<PyObject*> argv;
        Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        for (Py_ssize_t i = 0; i < nargs; ++i) argv.push_back(PyTuple_GET_ITEM(args, i));
        Ref kwnames;
        if (kwargs && PyDict_GET_SIZE(kwargs)) {
            kwnames = Ref::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
            Py_ssize_t pos = 0, k = 0;
            PyObject *key = nullptr, *value = nullptr;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                PyTuple_SET_ITEM(kwnames.get(), k++, Ref::borrow(key).release());
                argv.push_back(value);
            }
        }
        Ref::steal(constructor_operation().entry(self, argv.data(), static_cast<size_t>(nargs), kwnames.get()));
    });
}

static PyMemberDef admin_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(AdminObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(AdminObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

static PyGetSetDef admin_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

bool is_own_method(Borrowed bound, Borrowed self, const char* name) {
    if (!PyCFunction_Check(bound.get()) || PyCFunction_GET_SELF(bound.get()) != self.get()) return false;
    // A method bound from the class's table points at its row there.
    const PyMethodDef* row = reinterpret_cast<PyCFunctionObject*>(bound.get())->m_ml;
    const std::vector<PyMethodDef>& table = method_table();
    return row >= table.data() && row < table.data() + table.size() && std::strcmp(row->ml_name, name) == 0;
}

static Ref make_class(Borrowed module) {
    static const std::string class_doc = docstring(constructor_operation(), "ZeltaAdminEvents");
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(class_doc.c_str())},
        {Py_tp_init, reinterpret_cast<void*>(admin_init)},
        {Py_tp_traverse, reinterpret_cast<void*>(admin_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(admin_clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(admin_dealloc)},
        {Py_tp_members, admin_members},
        {Py_tp_getset, admin_getset},
        {Py_tp_methods, const_cast<PyMethodDef*>(method_table().data())},
        {0, nullptr},
    };
    PyType_Spec spec = {
        "zelta_admin_events.admin_events.ZeltaAdminEvents",
        sizeof(AdminObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
        slots,
    };
    return Ref::steal(PyType_FromModuleAndSpec(module.get(), &spec, nullptr));
}

// ---- Module setup ----------------------------------------------------------

static void set_constant(Borrowed cls, Borrowed name, Ref value) { setattr(cls, name, value); }

static Ref make_color() {
    Ref ns = Ref::steal(PyDict_New());
    check(PyDict_SetItemString(ns.get(), "__module__", str("zelta_admin_events.admin_events").get()));
    check(PyDict_SetItemString(ns.get(), "__doc__", str("Terminal escapes for grey text.").get()));
    check(PyDict_SetItemString(ns.get(), "END", str("\x1b[0m").get()));
    check(PyDict_SetItemString(ns.get(), "GREY", str("\x1b[90m").get()));
    Ref bases = Ref::steal(PyTuple_New(0));
    return call(reinterpret_cast<PyObject*>(&PyType_Type), str("Color"), bases, ns);
}

// "name_ru" when the character-classification locale is Russian-in-Russia.
static Ref decide_lang(State& st) {
    Ref locale = import("locale");
    Ref current =
        Ref::steal_or_null(PyObject_CallMethod(locale.get(), "getlocale", "O", getattr(locale, "LC_CTYPE").get()));
    if (!current) {
        // A locale name the locale module cannot parse has no code either.
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw PyError{};
        PyErr_Clear();
        return st.name_en.copy();
    }
    Ref code = Ref::steal(PySequence_GetItem(current.get(), 0));
    bool russian = PyUnicode_Check(code.get()) && PyUnicode_CompareWithASCIIString(code.get(), "ru_RU") == 0;
    return (russian ? st.name_ru : st.name_en).copy();
}

static int module_exec(PyObject* m) {
    return guarded_int([&] {
        Borrowed module = m;
        State& st = *new (PyModule_GetState(m)) State();
#define ZELTA_INTERN(field, text) st.field = Ref::steal(PyUnicode_InternFromString(text));
        ZELTA_NAMES(ZELTA_INTERN)
#define ZELTA_INTERN_OPERATION(name, python_name, ...) ZELTA_INTERN(name, python_name)
        ZELTA_OPERATIONS(ZELTA_INTERN_OPERATION, ZELTA_IGNORE, ZELTA_IGNORE)
#undef ZELTA_INTERN_OPERATION
#undef ZELTA_INTERN
        // The events library: loading fails when it cannot be imported.
        check(PyModule_AddObjectRef(m, "zelta_events", import("zelta_events").get()));

        // Messages through the gettext domain of the module.
        st.gettext_module = import("gettext");
        Ref domain = str("zelta_admin_events");
        call(getattr(st.gettext_module, "bindtextdomain"), domain, str("/usr/share/locale"));
        call(getattr(st.gettext_module, "textdomain"), domain);
        check(PyModule_AddObjectRef(m, "_", getattr(st.gettext_module, "gettext").get()));

        // The display language, decided once from the locale.
        check(PyModule_AddObjectRef(m, "LANG", decide_lang(st).get()));

        // The terminal escapes of the grey text.
        check(PyModule_AddObjectRef(m, "Color", make_color().get()));

        // The class and its constants, in their documented order.
        Ref cls = make_class(module);
        Ref pathlib = import("pathlib");
        Ref path_type = getattr(pathlib, "Path");
        set_constant(cls, st.default_config_dir, call(path_type, str("/usr/share/syslog-ng-mod-zelta/event-settings")));
        set_constant(cls, st.current_config_file, call(path_type, str("/etc/zelta-syslog.conf")));
        set_constant(cls, st.param_ru_translations_file,
                     call(path_type, str("/etc/wex-admin-events/eventsdictionary.json")));
        // The kernel's machine name, as platform.machine() gives it on Linux,
        // without importing platform for it.
        set_constant(cls, st.arch, getattr(call(getattr(import("os"), "uname")), "machine"));
        set_constant(cls, st.audit_rules, make_audit_rule_builders(module));
        Ref special = Ref::steal(PyFrozenSet_New(nullptr));
        for (const char* id : {"modifying-file", "modifying-directory", "file-opened"})
            check(PySet_Add(special.get(), str(id).get()));
        set_constant(cls, st.special_events, std::move(special));
        set_constant(cls, st.root_dir, call(path_type, str("/")));
        st.cls = cls.copy();
        check(PyModule_AddObjectRef(m, "ZeltaAdminEvents", cls.get()));
        check(PyModule_AddObjectRef(m, "_operations", operations_attribute().get()));
        check(PyModule_AddObjectRef(m, "__source_digest__", str(ZELTA_SOURCE_DIGEST).get()));
    });
}

static int module_traverse(PyObject* m, visitproc visit, void* arg) {
    State* st = static_cast<State*>(PyModule_GetState(m));
    if (!st) return 0;
    Py_VISIT(st->cls.get());
    Py_VISIT(st->gettext_module.get());
    for (auto& lazy : st->lazy) Py_VISIT(lazy.get());
    return 0;
}

static int module_clear(PyObject* m) {
    State* st = static_cast<State*>(PyModule_GetState(m));
    if (!st) return 0;
    st->cls = Ref();
    st->gettext_module = Ref();
    for (auto& lazy : st->lazy) lazy = Ref();
    return 0;
}

static void module_free(void* m) {
    State* st = static_cast<State*>(PyModule_GetState(static_cast<PyObject*>(m)));
    if (st) st->~State();
}

// All the module keeps lives in its state and its class, so every
// interpreter, one with its own GIL included, may load its own copy.
static PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "zelta_admin_events.admin_events",
    "Administration back end for the events of the syslog-ng zelta module.",
    sizeof(State),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace zelta

PyMODINIT_FUNC PyInit_admin_events(void) { return PyModuleDef_Init(&zelta::module_def); }
