// Module setup, the ZeltaAdminEvents class with its constants, the
// constructor and the validation of the named IDs.
#include "module.hpp"

#include <structmember.h>

#include <new>

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
    static const char* const names[] = {"json", "tarfile", "pydoc", "os", "tempfile", "gzip"};
    Ref& slot = c.st.lazy[static_cast<int>(which)];
    if (!slot) slot = import(names[static_cast<int>(which)]);
    return slot;
}

Ref translate(Ctx c, const char* msgid) { return call(global(c, c.st.underscore), str(msgid)); }

void print_message(Ctx c, const char* msgid, Borrowed value) {
    Ref text = translate(c, msgid);
    if (value) text = add(add(text, c.st.colon_space), value);
    print_line(text);
}

Ref known_event_ids(Ctx c) {
    Ref ids = call(library(c, c.st.get_event_ids));
    // The library usually hands out the same ID objects call after call;
    // comparing item identities is far cheaper than hashing every ID again.
    State& st = c.st;
    if (PyList_CheckExact(ids.get()) && st.known_events_items) {
        Py_ssize_t n = PyList_GET_SIZE(ids.get());
        PyObject* cached = st.known_events_items.get();
        if (PyTuple_GET_SIZE(cached) == n) {
            PyObject** now = reinterpret_cast<PyListObject*>(ids.get())->ob_item;
            PyObject** before = reinterpret_cast<PyTupleObject*>(cached)->ob_item;
            bool same = true;
            for (Py_ssize_t i = 0; i < n && same; ++i) same = now[i] == before[i];
            if (same) return st.known_events_set.copy();
        }
    }
    Ref set = Ref::steal(PyFrozenSet_New(ids.get()));
    if (PyList_CheckExact(ids.get())) {
        st.known_events_items = Ref::steal(PyList_AsTuple(ids.get()));
        st.known_events_set = set.copy();
    }
    return set;
}

// ---- Validation of the named IDs --------------------------------------------

// Removes the IDs the library does not list from the list in the field,
// reporting each; the caller's own list object is edited in place.
static void prepare_ids(Ctx c, Borrowed self, Borrowed field, Borrowed list_ids_function, const char* message) {
    Ref ids = getattr(self, field);
    if (ids.view().is_none() || !truth(ids)) return;
    Ref known = Ref::steal(PySet_New(call(library(c, list_ids_function)).get()));
    Ref snapshot = to_list(ids);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i) {
        Borrowed id = PyList_GET_ITEM(snapshot.get(), i);
        int present = PySet_Contains(known.get(), id.get());
        check(present);
        if (present) continue;
        call_method(ids, c.st.remove, id);
        print_message(c, message, id);
    }
}

ZELTA_ENTRY(prepare_groups) {
    return guarded([&] {
        bind_none("_ZeltaAdminEvents__prepare_groups", nargs, kwnames);
        Ctx c = ctx_from_object(self);
        prepare_ids(c, self, c.st.group_id_list, c.st.get_group_ids, N_("Unknown group ID"));
        return none();
    });
}

ZELTA_ENTRY(prepare_events) {
    return guarded([&] {
        bind_none("_ZeltaAdminEvents__prepare_events", nargs, kwnames);
        Ctx c = ctx_from_object(self);
        prepare_ids(c, self, c.st.event_id_list, c.st.get_event_ids, N_("Unknown event ID"));
        return none();
    });
}

static PyMethodDef module_frame_methods[] = {
    {"_ZeltaAdminEvents__prepare_groups", ZELTA_FASTCALL(prepare_groups), METH_FASTCALL | METH_KEYWORDS,
     "_ZeltaAdminEvents__prepare_groups($self, /)\n--\n\nValidate specified group IDs."},
    {"_ZeltaAdminEvents__prepare_events", ZELTA_FASTCALL(prepare_events), METH_FASTCALL | METH_KEYWORDS,
     "_ZeltaAdminEvents__prepare_events($self, /)\n--\n\nValidate specified event IDs."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- The class ---------------------------------------------------------------

struct AdminObject {
    PyObject_HEAD PyObject* dict;  // instance __dict__, owned by the object
    PyObject* weakreflist;         // weak references to the object, as Python objects allow
};

static int admin_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<AdminObject*>(self)->dict);
    return 0;
}

static int admin_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<AdminObject*>(self)->dict);
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

static int admin_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_int([&] {
        static const std::array<Param, 2> params{{{"event_id_list", Expect::List}, {"group_id_list", Expect::List}}};
        // Bring the tuple-and-dict call into the fast-call form the binder takes.
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
        Bound<2> a = bind("ZeltaAdminEvents", params, argv.data(), nargs, kwnames.get());
        Ctx c = ctx_from_object(self);
        State& st = c.st;
        setattr(self, st.event_id_list, a[0]);
        setattr(self, st.group_id_list, a[1]);
        setattr(self, st.event_section_translations, Py_None);
        setattr(self, st.need_daemon_restart, Py_False);
        call_method(self, st.prepare_groups);
        call_method(self, st.prepare_events);
        setattr(self, st.event_description, call_method(self, st.get_all_event_description));
        setattr(self, st.group_description, call_method(self, st.get_all_group_description));
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

static std::vector<PyMethodDef>& all_methods() {
    static std::vector<PyMethodDef> methods = [] {
        std::vector<PyMethodDef> v;
        for (PyMethodDef* table :
             {module_frame_methods, catalogue_methods, changes_methods, display_methods, transfer_methods}) {
            for (PyMethodDef* m = table; m->ml_name; ++m) v.push_back(*m);
        }
        v.push_back({nullptr, nullptr, 0, nullptr});
        return v;
    }();
    return methods;
}

static const char class_doc[] =
    "ZeltaAdminEvents(event_id_list, group_id_list)\n--\n\n"
    "Administration of the events recorded by the syslog-ng zelta module.\n\n"
    "Construct one object per invocation from the event IDs and group IDs the\n"
    "user named; IDs that the events library does not list are removed from\n"
    "the lists and reported.";

static Ref make_class(Borrowed module) {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(class_doc)},
        {Py_tp_init, reinterpret_cast<void*>(admin_init)},
        {Py_tp_traverse, reinterpret_cast<void*>(admin_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(admin_clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(admin_dealloc)},
        {Py_tp_members, admin_members},
        {Py_tp_getset, admin_getset},
        {Py_tp_methods, all_methods().data()},
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
#undef ZELTA_INTERN
        // 1. The events library: loading fails when it cannot be imported.
        check(PyModule_AddObjectRef(m, "zelta_events", import("zelta_events").get()));

        // 2. Message translation.
        st.gettext_module = import("gettext");
        Ref domain = str("zelta_admin_events");
        call(getattr(st.gettext_module, "bindtextdomain"), domain, str("/usr/share/locale"));
        call(getattr(st.gettext_module, "textdomain"), domain);
        check(PyModule_AddObjectRef(m, "_", getattr(st.gettext_module, "gettext").get()));

        // 3. Display language, decided once.
        check(PyModule_AddObjectRef(m, "LANG", decide_lang(st).get()));

        // 4. Colour codes.
        check(PyModule_AddObjectRef(m, "Color", make_color().get()));

        // 5. The class and its constants, in their documented order.
        Ref cls = make_class(module);
        Ref pathlib = import("pathlib");
        Ref path_type = getattr(pathlib, "Path");
        set_constant(cls, st.default_config_dir, call(path_type, str("/usr/share/syslog-ng-mod-zelta/event-settings")));
        set_constant(cls, st.current_config_file, call(path_type, str("/etc/zelta-syslog.conf")));
        set_constant(cls, st.param_ru_translations_file,
                     call(path_type, str("/etc/wex-admin-events/eventsdictionary.json")));
        set_constant(cls, st.arch, call(getattr(import("platform"), "machine")));
        set_constant(cls, st.audit_rules, make_audit_rule_builders(module));
        Ref special = Ref::steal(PyFrozenSet_New(nullptr));
        for (const char* id : {"modifying-file", "modifying-directory", "file-opened"})
            check(PySet_Add(special.get(), str(id).get()));
        set_constant(cls, st.special_events, std::move(special));
        set_constant(cls, st.root_dir, call(path_type, str("/")));
        st.cls = cls.copy();
        check(PyModule_AddObjectRef(m, "ZeltaAdminEvents", cls.get()));
    });
}

static int module_traverse(PyObject* m, visitproc visit, void* arg) {
    State* st = static_cast<State*>(PyModule_GetState(m));
    if (!st) return 0;
    Py_VISIT(st->cls.get());
    Py_VISIT(st->gettext_module.get());
    for (auto& lazy : st->lazy) Py_VISIT(lazy.get());
    Py_VISIT(st->known_events_items.get());
    Py_VISIT(st->known_events_set.get());
    Py_VISIT(st->listing.path.get());
    Py_VISIT(st->listing.document.get());
    Py_VISIT(st->listing.taken.get());
    return 0;
}

static int module_clear(PyObject* m) {
    State* st = static_cast<State*>(PyModule_GetState(m));
    if (!st) return 0;
    st->cls = Ref();
    st->gettext_module = Ref();
    for (auto& lazy : st->lazy) lazy = Ref();
    st->known_events_items = Ref();
    st->known_events_set = Ref();
    st->listing = SettingsListing{};
    return 0;
}

static void module_free(void* m) {
    State* st = static_cast<State*>(PyModule_GetState(static_cast<PyObject*>(m)));
    if (st) st->~State();
}

static PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
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
