// Event changes: enabling and disabling, daemon restart, syslog message
// parameters, event properties and the audit rules of the file-watching events.
#include "module.hpp"

namespace zelta {

// ---- Audit rule builders ---------------------------------------------------

// The system-call rule that watches openings of path P on one architecture;
// aarch64 has no open system call, only openat.
std::string audit_syscall_rule(std::string_view arch, std::string_view path) {
    std::string line = "-a always,exit -F arch=";
    line.append(arch).append(" -F path=").append(path);
    line.append(arch == "aarch64" ? " -S openat -k " : " -S open,openat -k ").append(path);
    return line;
}

// A builder: the architecture key is the function's bound self, its one
// argument the path, converted to text.
static PyObject* audit_rule_builder(PyObject* arch, PyObject* path) {
    return guarded([&] {
        Ref text = to_str(path);
        return str(audit_syscall_rule(utf8(arch), utf8(text)));
    });
}

static PyMethodDef audit_builder_def = {
    "audit_rule", audit_rule_builder, METH_O,
    "audit_rule(path, /)\n--\n\nReturn the audit rule line that records openings of path."};

Ref make_audit_rule_builders(Borrowed module) {
    Ref table = Ref::steal(PyDict_New());
    Ref module_name = getattr(module, "__name__");
    for (const char* arch : {"b64", "x86_64", "aarch64", "armv7l"}) {
        Ref key = str(arch);
        Ref builder = Ref::steal(PyCFunction_NewEx(&audit_builder_def, key.get(), module_name.get()));
        check(PyDict_SetItem(table.get(), key.get(), builder.get()));
    }
    return table;
}

// ---- Syslog message parameters -----------------------------------------------

// json.dumps(value, ensure_ascii=False): quotes, backslashes and control
// characters escaped as JSON requires, every other character kept as it is.
static Ref json_text(Ctx c, Borrowed value) {
    Ref dumps = getattr(lazy_module(c, LazyModule::json), c.st.dumps);
    Ref kwnames = Ref::steal(PyTuple_Pack(1, c.st.ensure_ascii.get()));
    PyObject* argv[] = {nullptr, value.get(), Py_False};
    return Ref::steal(
        PyObject_Vectorcall(dumps.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

// zelta_events.set_event_param, looked up at the moment of the call.
static void store_event_param(Ctx c, Borrowed event_id, Borrowed section, Borrowed parameter, Borrowed value) {
    call(library(c, c.st.set_event_param), event_id, section, parameter, value);
}

// Runs body on every item of an iterable, as a for loop would.
template <typename F>
static void each_item(Borrowed iterable, F&& body) {
    Ref iterator = Ref::steal(PyObject_GetIter(iterable.get()));
    while (Ref item = Ref::steal_or_null(PyIter_Next(iterator.get()))) body(item.view());
    if (PyErr_Occurred()) throw PyError{};
}

// "ID<tab>TYPE: VALUE", echoed once per named event and once per named group.
static void print_syslog_param_line(Borrowed id, Borrowed param_type, Borrowed param_value) {
    print_line(Ref::steal(PyUnicode_FromFormat("%S\t%U: %U", id.get(), param_type.get(), param_value.get())));
}

ZELTA_ENTRY(set_syslog_message_param) {
    return guarded([&] {
        static const std::array<Param, 2> params{{{"param_type", Expect::Str}, {"param_value", Expect::Str}}};
        Bound<2> a = bind("_ZeltaAdminEvents__set_syslog_message_param", params, args, nargs, kwnames);
        Ctx c = ctx_from_object(self);
        Borrowed param_type = a[0], param_value = a[1];
        // Parameter name and value text are formed before the first write, so
        // a None that slipped through the binding fails with nothing written.
        Ref parameter = add(c.st.message_syslog_prefix, param_type);
        if (!PyUnicode_Check(param_value.get())) {
            PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                         Py_TYPE(param_value.get())->tp_name);
            throw PyError{};
        }
        // A well-formed JSON string even when the value holds quotes,
        // backslashes or control characters.
        Ref value = json_text(c, param_value);

        Ref events = getattr(self, c.st.event_id_list);
        if (!events.view().is_none()) {
            each_item(events, [&](Borrowed event_id) {
                store_event_param(c, event_id, c.st.empty, parameter, value);
                print_syslog_param_line(event_id, param_type, param_value);
            });
        }
        Ref groups = getattr(self, c.st.group_id_list);
        if (!groups.view().is_none()) {
            each_item(groups, [&](Borrowed group_id) {
                Ref members = call_method(self, c.st.get_events_by_group_id, group_id);
                each_item(members,
                          [&](Borrowed event_id) { store_event_param(c, event_id, c.st.empty, parameter, value); });
                print_syslog_param_line(group_id, param_type, param_value);
            });
        }
        setattr(self, c.st.need_daemon_restart, Py_True);
        return none();
    });
}

ZELTA_ENTRY(set_facility) {
    return guarded([&] {
        static const std::array<Param, 1> params{{{"facility", Expect::Str}}};
        Bound<1> a = bind("set_facility", params, args, nargs, kwnames);
        Ctx c = ctx_from_object(self);
        call_method(self, c.st.set_syslog_message_param, c.st.facility, a[0]);
        return none();
    });
}

ZELTA_ENTRY(set_priority) {
    return guarded([&] {
        static const std::array<Param, 1> params{{{"priority", Expect::Str}}};
        Bound<1> a = bind("set_priority", params, args, nargs, kwnames);
        Ctx c = ctx_from_object(self);
        call_method(self, c.st.set_syslog_message_param, c.st.priority, a[0]);
        return none();
    });
}

PyMethodDef changes_methods[] = {
    {"set_facility", ZELTA_FASTCALL(set_facility), METH_FASTCALL | METH_KEYWORDS,
     "set_facility($self, facility)\n--\n\nSet the facility of specified IDs."},
    {"set_priority", ZELTA_FASTCALL(set_priority), METH_FASTCALL | METH_KEYWORDS,
     "set_priority($self, priority)\n--\n\nSet the priority of specified IDs."},
    {"_ZeltaAdminEvents__set_syslog_message_param", ZELTA_FASTCALL(set_syslog_message_param),
     METH_FASTCALL | METH_KEYWORDS,
     "_ZeltaAdminEvents__set_syslog_message_param($self, param_type, param_value)\n--\n\n"
     "Set the parameter message-syslog-PARAM_TYPE of specified IDs to PARAM_VALUE."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zelta
