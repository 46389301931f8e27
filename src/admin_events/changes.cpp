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

// ---- Enabling and disabling -------------------------------------------------

// Whether an action switches events on: it is the library's enable_event.
static bool is_enabling(Ctx c, Borrowed action) { return equal(action, library(c, c.st.enable_event)); }

// self.__get_multiple_string(id_list, new_status=status)
static Ref status_block_with_status(Ctx c, Borrowed self, Borrowed id_list, Borrowed status) {
    Ref kwnames = Ref::steal(PyTuple_Pack(1, c.st.new_status.get()));
    PyObject* argv[] = {self.get(), id_list.get(), status.get()};
    return Ref::steal(PyObject_VectorcallMethod(c.st.get_multiple_string.get(), argv,
                                                2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

// Calls self.OPERATION(id, action) for each ID of a snapshot of the list.
static void for_each_id(Borrowed self, Borrowed operation, Borrowed ids, Borrowed action) {
    Ref snapshot = to_list(ids);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i)
        call_method(self, operation, PyList_GET_ITEM(snapshot.get(), i), action);
}

ZELTA_ENTRY(process_ids) {
    return guarded([&] {
        static const std::array<Param, 1> params{{{"action"}}};
        Bound<1> a = bind("_ZeltaAdminEvents__process_ids", params, args, nargs, kwnames);
        Ctx c = ctx_from_object(self);
        Ref events = getattr(self, c.st.event_id_list);
        if (!events.view().is_none() && truth(events)) {
            for_each_id(self, c.st.process_event, events, a[0]);
            // The events' block is out before any group is touched.
            print_line(call_method(self, c.st.get_multiple_string, events));
        }
        Ref groups = getattr(self, c.st.group_id_list);
        if (!groups.view().is_none() && truth(groups)) {
            for_each_id(self, c.st.process_group, groups, a[0]);
            Ref status = integer(is_enabling(c, a[0]) ? 1 : 0);
            print_line(status_block_with_status(c, self, groups, status));
        }
        return none();
    });
}

ZELTA_ENTRY(process_group) {
    return guarded([&] {
        static const std::array<Param, 2> params{{{"group_id", Expect::Str}, {"action"}}};
        Bound<2> a = bind("_ZeltaAdminEvents__process_group", params, args, nargs, kwnames);
        Ctx c = ctx_from_object(self);
        Ref events = call_method(self, c.st.get_events_by_group_id, a[0]);
        for_each_id(self, c.st.process_event, events, a[1]);
        return none();
    });
}

// Switches one event only when the library reports the other state; the
// restart is requested before the switch, so a failing switch still asks
// for it.
ZELTA_ENTRY(process_event) {
    return guarded([&] {
        static const std::array<Param, 2> params{{{"event_id", Expect::Str}, {"action"}}};
        Bound<2> a = bind("_ZeltaAdminEvents__process_event", params, args, nargs, kwnames);
        Ctx c = ctx_from_object(self);
        bool enabling = is_enabling(c, a[1]);
        Ref state = call(library(c, c.st.is_event_enabled), a[0]);
        Ref switch_from = integer(enabling ? 0 : 1);  // True and False compare equal to 1 and 0
        if (equal(state, switch_from)) {
            setattr(self, c.st.need_daemon_restart, Py_True);
            call(a[1], a[0]);
        }
        return none();
    });
}

// enable and disable: the library function named by the state member is the action.
static PyObject* switch_events(PyObject* self, const char* fname, Ref State::*library_function, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return guarded([&] {
        bind_none(fname, nargs, kwnames);
        Ctx c = ctx_from_object(self);
        Ref action = library(c, c.st.*library_function);
        call_method(self, c.st.process_ids, action);
        return none();
    });
}

ZELTA_ENTRY(enable) { return switch_events(self, "enable", &State::enable_event, nargs, kwnames); }

ZELTA_ENTRY(disable) { return switch_events(self, "disable", &State::disable_event, nargs, kwnames); }

// ---- Daemon restart ----------------------------------------------------------

// Runs both restart commands, logging daemon first, whenever the flag is
// set; their exit statuses are not looked at and the flag stays set.
ZELTA_ENTRY(restart_daemons) {
    return guarded([&] {
        bind_none("restart_daemons", nargs, kwnames);
        Ctx c = ctx_from_object(self);
        if (!truth(getattr(self, c.st.need_daemon_restart))) return none();
        for (const char* command : {"systemctl restart syslog-ng.service", "systemctl restart auditd"}) {
            Ref system = getattr(lazy_module(c, LazyModule::os), c.st.system);
            call(system, str(command));
        }
        return none();
    });
}

PyMethodDef changes_methods[] = {
    {"enable", ZELTA_FASTCALL(enable), METH_FASTCALL | METH_KEYWORDS,
     "enable($self, /)\n--\n\nEnable specified IDs."},
    {"disable", ZELTA_FASTCALL(disable), METH_FASTCALL | METH_KEYWORDS,
     "disable($self, /)\n--\n\nDisable specified IDs."},
    {"_ZeltaAdminEvents__process_ids", ZELTA_FASTCALL(process_ids), METH_FASTCALL | METH_KEYWORDS,
     "_ZeltaAdminEvents__process_ids($self, action)\n--\n\n"
     "Process specified events and groups using the provided action."},
    {"_ZeltaAdminEvents__process_group", ZELTA_FASTCALL(process_group), METH_FASTCALL | METH_KEYWORDS,
     "_ZeltaAdminEvents__process_group($self, group_id, action)\n--\n\n"
     "Process all events of the specified group using the provided action."},
    {"_ZeltaAdminEvents__process_event", ZELTA_FASTCALL(process_event), METH_FASTCALL | METH_KEYWORDS,
     "_ZeltaAdminEvents__process_event($self, event_id, action)\n--\n\n"
     "Process specified events using the provided action."},
    {"restart_daemons", ZELTA_FASTCALL(restart_daemons), METH_FASTCALL | METH_KEYWORDS,
     "restart_daemons($self, /)\n--\n\nRestart daemons if necessary."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zelta
