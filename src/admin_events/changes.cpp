// Event changes: enabling and disabling, daemon restart, syslog message
// parameters, event properties and the audit rules of the file-watching events.
#include "changes.hpp"
#include "catalogue.hpp"
#include "module.hpp"
#include "transfer.hpp"

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <span>
#include <vector>

namespace zelta {

// ---- Audit rule builders ---------------------------------------------------

// The system-call rule that watches openings of path P on one architecture;
// aarch64 has no open system call, only openat. Both are str.
static Ref audit_syscall_rule(Borrowed arch, Borrowed path) {
    static constexpr std::string_view only_openat = " -S openat -k ", both = " -S open,openat -k ";
    const bool aarch64 = PyUnicode_CompareWithASCIIString(arch.get(), "aarch64") == 0;
    return concat({"-a always,exit -F arch=", arch, " -F path=", path, aarch64 ? only_openat : both, path});
}

// A builder: the architecture key is the function's bound self, its one
// argument the path, converted to text.
static PyObject* audit_rule_builder(PyObject* arch, PyObject* path) {
    return guarded([&] { return audit_syscall_rule(arch, to_str(path)); });
}

// The rule line a builder makes for an escaped path: the module's own
// builders' lines are put together here without a call.
static Ref built_audit_rule(Borrowed builder, Borrowed escaped) {
    PyObject* b = builder.get();
    if (PyCFunction_Check(b) && PyCFunction_GET_FUNCTION(b) == audit_rule_builder &&
        PyUnicode_CheckExact(escaped.get()))
        return audit_syscall_rule(PyCFunction_GET_SELF(b), escaped);
    return call(builder, escaped);
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

// Calls self.OPERATION(id, action) for each ID of a snapshot of the list.
static void for_each_id(Borrowed self, Borrowed operation, Borrowed ids, Borrowed action) {
    Ref snapshot = to_list(ids);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i)
        call_method(self, operation, PyList_GET_ITEM(snapshot.get(), i), action);
}

// Applies the action to every event of a group.
static void switch_group(Ctx c, Borrowed self, Borrowed group_id, Borrowed action, EventIdMemo& memo) {
    Ref events = events_of_group(c, self, group_id, memo);
    for_each_id(self, c.st.process_event, events, action);
}

ZELTA_OPERATION(process_ids) {
    Ref events = getattr(self, c.st.event_id_list);
    if (!events.view().is_none() && truth(events)) {
        for_each_id(self, c.st.process_event, events, a.action);
        // The events' block is out before any group is touched.
        print_line(call_method(self, c.st.get_multiple_string, events));
    }
    Ref groups = getattr(self, c.st.group_id_list);
    if (!groups.view().is_none() && truth(groups)) {
        // Each group through self.__process_group; while that is the class's
        // own, its work is done here and the groups share one memo of the
        // library's event list.
        Ref snapshot = to_list(groups);
        EventIdMemo memo;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i) {
            Borrowed group_id = PyList_GET_ITEM(snapshot.get(), i);
            Ref method = getattr(self, c.st.process_group);
            if (PyUnicode_Check(group_id.get()) && is_own_method(method, self, operation_names::process_group)) {
                switch_group(c, self, group_id, a.action, memo);
            } else {
                call(method, group_id, a.action);
            }
        }
        Ref status = integer(is_enabling(c, a.action) ? 1 : 0);
        print_line(call_method_keywords(self, c.st.get_multiple_string, {groups}, {{c.st.new_status, status}}));
    }
    return none();
}

ZELTA_OPERATION(process_group) {
    EventIdMemo memo;
    switch_group(c, self, a.group_id, a.action, memo);
    return none();
}

// Switches one event only when the library reports the other state; the
// restart is requested before the switch, so a failing switch still asks
// for it.
ZELTA_OPERATION(process_event) {
    bool enabling = is_enabling(c, a.action);
    Ref state = event_state(c, a.event_id);
    Ref switch_from = integer(enabling ? 0 : 1);  // True and False compare equal to 1 and 0
    if (equal(state, switch_from)) {
        setattr(self, c.st.need_daemon_restart, Py_True);
        call(a.action, a.event_id);
    }
    return none();
}

// enable and disable: the library function is the action.
ZELTA_OPERATION(enable) {
    call_method(self, c.st.process_ids, library(c, c.st.enable_event));
    return none();
}

ZELTA_OPERATION(disable) {
    call_method(self, c.st.process_ids, library(c, c.st.disable_event));
    return none();
}

// ---- Daemon restart ----------------------------------------------------------

// The exit status of a command from the wait status os.system returns, as
// the shell reports it: 128 + N for a command killed by signal N.
static long exit_status(long wait_status) {
    if (wait_status == -1) return -1;  // no shell could be started
    auto status = static_cast<int>(wait_status);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return wait_status;
}

// "Restart of UNIT failed with exit status N", translated.
static void report_failed_restart(Ctx c, std::string_view unit, long status) {
    std::string line{utf8(translate(c, "Restart of {unit} failed with exit status {status}"))};
    for (auto [placeholder, value] : {std::pair<std::string_view, std::string>{"{unit}", std::string(unit)},
                                      {"{status}", std::to_string(status)}}) {
        if (auto at = line.find(placeholder); at != std::string::npos) line.replace(at, placeholder.size(), value);
    }
    print_line(str(line));
}

// Runs both restart commands, logging daemon first, whenever the flag is
// set, the second also when the first failed; the flag stays set. Each
// command that fails is reported on a line of its own, and its unit is in
// the returned list, so that a caller can tell the administrator's change
// did not take effect. A result of os.system that is not an int tells nothing.
ZELTA_OPERATION(restart_daemons) {
    Ref failed = Ref::steal(PyList_New(0));
    if (!truth(getattr(self, c.st.need_daemon_restart))) return failed;
    static constexpr std::pair<const char*, std::string_view> restarts[] = {
        {"systemctl restart syslog-ng.service", "syslog-ng.service"}, {"systemctl restart auditd", "auditd"}};
    for (auto [command, unit] : restarts) {
        Ref system = getattr(lazy_module(c, LazyModule::os), c.st.system);
        Ref result = call(system, str(command));
        if (!PyLong_Check(result.get())) continue;
        long wait_status = PyLong_AsLong(result.get());
        if (wait_status == -1 && PyErr_Occurred()) throw PyError{};
        if (wait_status == 0) continue;
        report_failed_restart(c, unit, exit_status(wait_status));
        check(PyList_Append(failed.get(), str(unit).get()));
    }
    return failed;
}

// ---- Syslog message parameters -----------------------------------------------

// json.dumps(value, ensure_ascii=False): quotes, backslashes and control
// characters escaped as JSON requires, every other character kept as it is.
static Ref json_text(Ctx c, Borrowed value) {
    Ref dumps = getattr(lazy_module(c, LazyModule::json), c.st.dumps);
    return call_keywords(dumps, {value}, {{c.st.ensure_ascii, Py_False}});
}

// zelta_events.set_event_param, looked up at the moment of the call.
static void store_event_param(Ctx c, Borrowed event_id, Borrowed section, Borrowed parameter, Borrowed value) {
    call(library(c, c.st.set_event_param), event_id, section, parameter, value);
}

// "ID<tab>TYPE: VALUE", echoed once per named event and once per named group.
static void print_syslog_param_line(Borrowed id, Borrowed param_type, Borrowed param_value) {
    print_line(Ref::steal(PyUnicode_FromFormat("%S\t%U: %U", id.get(), param_type.get(), param_value.get())));
}

ZELTA_OPERATION(set_syslog_message_param) {
    Borrowed param_type = a.param_type, param_value = a.param_value;
    // Parameter name and value text are formed before the first write, so
    // a None that slipped through the binding fails with nothing written.
    Ref parameter = add(c.st.message_syslog_prefix, param_type);
    if (!PyUnicode_Check(param_value.get()))
        raise_format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                     Py_TYPE(param_value.get())->tp_name);
    // A well-formed JSON string even when the value holds quotes,
    // backslashes or control characters.
    Ref value = json_text(c, param_value);

    Ref events = getattr(self, c.st.event_id_list);
    if (!events.view().is_none()) {
        for_each(events, [&](Borrowed event_id) {
            store_event_param(c, event_id, c.st.empty, parameter, value);
            print_syslog_param_line(event_id, param_type, param_value);
        });
    }
    Ref groups = getattr(self, c.st.group_id_list);
    if (!groups.view().is_none()) {
        EventIdMemo memo;
        for_each(groups, [&](Borrowed group_id) {
            Ref members = events_of_group(c, self, group_id, memo);
            for_each(members, [&](Borrowed event_id) { store_event_param(c, event_id, c.st.empty, parameter, value); });
            print_syslog_param_line(group_id, param_type, param_value);
        });
    }
    setattr(self, c.st.need_daemon_restart, Py_True);
    return none();
}

ZELTA_OPERATION(set_facility) {
    call_method(self, c.st.set_syslog_message_param, c.st.facility, a.facility);
    return none();
}

ZELTA_OPERATION(set_priority) {
    call_method(self, c.st.set_syslog_message_param, c.st.priority, a.priority);
    return none();
}

// ---- Event properties and audit path rules ----------------------------------

// A path must be shorter than PATH_MAX, which counts the terminating NUL.
constexpr size_t audit_path_limit = 4096;
// The rule's key after "-k" is the escaped path; auditctl refuses a longer
// key, and with it every rule after it in the file.
constexpr size_t audit_key_limit = 256;

// Whether a path may go into an audit rule line: absolute (the audit system
// takes no other), within PATH_MAX and the key length in UTF-8 bytes, free of
// control characters (a newline would end the rule line and turn the rest of
// the path into rules; C1 controls included), of lone surrogates (no UTF-8
// form) and of backslashes (they would make the "\ " of an escaped space
// ambiguous).
template <typename CodeUnit>
static bool audit_path_acceptable(std::span<const CodeUnit> path) {
    if (path.empty() || path.front() != '/') return false;
    size_t bytes = 0, escaped_bytes = 0;
    for (CodeUnit unit : path) {
        Py_UCS4 ch = unit;
        if (ch < 32 || (ch >= 127 && ch <= 0x9F) || ch == '\\' || (ch >= 0xD800 && ch <= 0xDFFF)) return false;
        size_t length = ch < 0x80 ? 1 : ch < 0x800 ? 2 : ch < 0x10000 ? 3 : 4;
        bytes += length;
        escaped_bytes += length + (ch == ' ' ? 1 : 0);
    }
    return bytes < audit_path_limit && escaped_bytes <= audit_key_limit;
}

// body(span of code units) over the text of a str, in its own width.
template <typename F>
static auto with_code_units(PyObject* text, F&& body) {
#if PY_VERSION_HEX < 0x030C0000
    check(PyUnicode_READY(text));
#endif
    const void* data = PyUnicode_DATA(text);
    size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return body(std::span(static_cast<const Py_UCS1*>(data), length));
        case PyUnicode_2BYTE_KIND:
            return body(std::span(static_cast<const Py_UCS2*>(data), length));
        default:
            return body(std::span(static_cast<const Py_UCS4*>(data), length));
    }
}

static bool audit_path_acceptable(Borrowed path) {
    if (!PyUnicode_Check(path.get())) return false;
    return with_code_units(path.get(), [](auto units) { return audit_path_acceptable(units); });
}

// The paths a decoded value names: a string is the one path; an array gives
// its elements and an object its member names, each in its own order.
static Ref audit_paths(Borrowed value) {
    if (!PyUnicode_Check(value.get())) return to_list(value);
    Ref one = Ref::steal(PyList_New(0));
    check(PyList_Append(one.get(), value.get()));
    return one;
}

// The first path of the value that may not go into an audit rule, or null.
static Ref first_unacceptable_audit_path(Borrowed value) {
    Ref paths = audit_paths(value);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(paths.get()); ++i) {
        Borrowed path = PyList_GET_ITEM(paths.get(), i);
        if (!audit_path_acceptable(path)) return Ref::borrow(path);
    }
    return Ref();
}

// The rule builder for the machine's architecture; "b64" serves any machine
// that the table does not name.
static Ref audit_rule_builder_for(Ctx c, Borrowed self) {
    Ref rules = getattr(self, c.st.audit_rules);
    Ref arch = getattr(self, c.st.arch);
    Ref builder = Ref::steal_or_null(PyObject_GetItem(rules.get(), arch.get()));
    if (builder) return builder;
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw PyError{};
    PyErr_Clear();
    return Ref::steal(PyObject_GetItem(rules.get(), c.st.b64.get()));
}

ZELTA_OPERATION(process_path_value) {
    bool file_opened = equal(a.event_id, c.st.file_opened);
    Ref paths = audit_paths(a.value);
    Ref space = str(" ");
    Ref escaped_space = str("\\ ");
    Ref lines = Ref::steal(PyList_New(0));
    Ref builder;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(paths.get()); ++i) {
        Borrowed path = PyList_GET_ITEM(paths.get(), i);
        // The audit rule syntax separates fields by spaces. A path that
        // is not a string meets its own replace(), or has none.
        Ref escaped = PyUnicode_Check(path.get())
                          ? Ref::steal(PyUnicode_Replace(path.get(), space.get(), escaped_space.get(), -1))
                          : call_method(path, c.st.replace, space, escaped_space);
        Ref line;
        if (file_opened) {
            if (!builder) builder = audit_rule_builder_for(c, self);
            line = built_audit_rule(builder, escaped);
        } else if (PyUnicode_Check(escaped.get())) {
            line = concat({"-w ", escaped, " -p wa -k ", escaped});
        } else {
            line = Ref::steal(PyUnicode_FromFormat("-w %S -p wa -k %S", escaped.get(), escaped.get()));
        }
        check(PyList_Append(lines.get(), line.get()));
    }
    return json_text(c, lines);
}

// ---- Values the configuration file can hold -----------------------------------

// The longest value set_properties stores, in bytes of its JSON text as
// the events library writes it into the configuration file: room for any
// setting, and a small share of what import accepts of the whole file.
constexpr size_t max_property_value_size = 1 << 20;

// The bytes of a str as json.dumps writes it: quoted, with what is not
// printable ASCII escaped (\uXXXX, a pair of them beyond the BMP).
static size_t json_string_size(PyObject* text) {
    return with_code_units(text, [](auto units) {
        size_t bytes = 2;
        for (Py_UCS4 ch : units)
            bytes += ch == '"' || ch == '\\' || ch == '\n' || ch == '\r' || ch == '\t' || ch == '\b' || ch == '\f' ? 2
                     : ch >= 0x20 && ch < 0x7f                                                                     ? 1
                     : ch < 0x10000                                                                                ? 6
                                                                                                                   : 12;
        return bytes;
    });
}

// Adds to total the bytes json.dumps(..., indent=2) writes for a decoded
// value that stands inside `depth` arrays and objects of the file: each
// item of an array or object on a line of its own, indented two spaces a
// level. Stops once total is past limit. The value nests no deeper than
// the file takes, and numbers only run C code to show, so the borrowed
// items stay valid.
static void add_written_size(PyObject* value, size_t depth, size_t limit, size_t& total) {
    if (total > limit) return;
    if (value == Py_None || value == Py_True || value == Py_False) {
        total += value == Py_False ? 5 : 4;
        return;
    }
    if (PyUnicode_Check(value)) {
        total += json_string_size(value);
        return;
    }
    const bool list = PyList_Check(value);
    if (!list && !PyDict_Check(value)) {
        total += static_cast<size_t>(PyUnicode_GET_LENGTH(Ref::steal(PyObject_Repr(value)).get()));
        return;
    }
    const size_t count = static_cast<size_t>(list ? PyList_GET_SIZE(value) : PyDict_GET_SIZE(value));
    total += 2;  // the brackets
    if (count == 0) return;
    // A line break and the indent before each item and the closing bracket;
    // commas between the items.
    total += count * (1 + 2 * (depth + 1)) + 1 + 2 * depth + (count - 1);
    if (list) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value) && total <= limit; ++i)
            add_written_size(PyList_GET_ITEM(value, i), depth + 1, limit, total);
        return;
    }
    PyObject *key = nullptr, *item = nullptr;
    Py_ssize_t pos = 0;
    while (total <= limit && PyDict_Next(value, &pos, &key, &item)) {
        add_written_size(key, depth + 1, limit, total);
        total += 2;  // ": "
        add_written_size(item, depth + 1, limit, total);
    }
}

// The first lone surrogate of a str (no UTF-8 form), or 0.
static Py_UCS4 lone_surrogate(Borrowed text) {
    return with_code_units(text.get(), [](auto units) -> Py_UCS4 {
        for (Py_UCS4 ch : units)
            if (ch >= 0xD800 && ch <= 0xDFFF) return ch;
        return 0;
    });
}

// What keeps a decoded value out of the configuration file: nesting deeper
// than it has room for, or else the first content in the value's own order
// that strict JSON in UTF-8 cannot hold.
struct ValueFault {
    enum Kind { none, non_finite, surrogate, too_deep } kind = none;
    double number = 0;  // the number that is not finite
    Py_UCS4 code = 0;   // the lone surrogate
};

// Looks for faults in a decoded value whose arrays and objects may nest
// `levels` deep. The walk goes no deeper than that, so it stays short
// whatever the value; nothing in it runs Python code, so the borrowed items
// stay valid.
static void find_fault(PyObject* value, unsigned levels, ValueFault& fault) {
    if (PyFloat_Check(value)) {
        if (fault.kind == ValueFault::none && !std::isfinite(PyFloat_AS_DOUBLE(value)))
            fault = {ValueFault::non_finite, PyFloat_AS_DOUBLE(value), 0};
        return;
    }
    if (PyUnicode_Check(value)) {
        if (fault.kind == ValueFault::none)
            if (Py_UCS4 code = lone_surrogate(value)) fault = {ValueFault::surrogate, 0, code};
        return;
    }
    const bool list = PyList_Check(value), object = PyDict_Check(value);
    if (!list && !object) return;
    if (levels == 0) {
        fault.kind = ValueFault::too_deep;
        return;
    }
    if (list) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value) && fault.kind != ValueFault::too_deep; ++i)
            find_fault(PyList_GET_ITEM(value, i), levels - 1, fault);
        return;
    }
    PyObject *key = nullptr, *item = nullptr;
    Py_ssize_t pos = 0;
    while (fault.kind != ValueFault::too_deep && PyDict_Next(value, &pos, &key, &item)) {
        find_fault(key, levels, fault);
        find_fault(item, levels - 1, fault);
    }
}

static Ref number_text(size_t number) { return to_str(Ref::steal(PyLong_FromSize_t(number))); }

// "Invalid VALUE: " and what is wrong with the value.
static Ref value_refusal(Ctx c, const ValueFault& fault, unsigned levels) {
    Ref detail;
    switch (fault.kind) {
        case ValueFault::non_finite: {
            const char* spelling = std::isnan(fault.number) ? "NaN" : fault.number > 0 ? "Infinity" : "-Infinity";
            detail = translate_with(c, N_("{number} is not a finite number"), {{"{number}", str(spelling)}});
            break;
        }
        case ValueFault::surrogate: {
            Ref code = Ref::steal(PyUnicode_FromFormat("\\u%04x", static_cast<unsigned>(fault.code)));
            detail = translate_with(c, N_("the lone surrogate {code} has no UTF-8 form"), {{"{code}", code}});
            break;
        }
        default:
            detail = translate_with(c, N_("nested more than {limit} levels deep"), {{"{limit}", number_text(levels)}});
            break;
    }
    return message_text(c, "Invalid VALUE", detail);
}

PropertyChange prepare_property_change(Ctx c, Borrowed self, Borrowed section, Borrowed value) {
    PropertyChange change;
    // The levels of the configuration file above the value: the file's
    // object, the event's and, for any section but "", the section's. The
    // whole file must stay within what import accepts.
    const bool in_section = !PyUnicode_Check(section.get()) || PyUnicode_GET_LENGTH(section.get()) > 0;
    const unsigned above = in_section ? 3 : 2;
    const unsigned levels = transfer::Limits::max_json_depth - above;
    Borrowed json = lazy_module(c, LazyModule::json);
    Ref decode_error = getattr(json, c.st.JSONDecodeError);
    Ref loads = getattr(json, c.st.loads);
    change.decoded = Ref::steal_or_null(PyObject_CallOneArg(loads.get(), value.get()));
    if (!change.decoded) {
        // Nesting deeper than the decoder goes is deeper than the file takes.
        if (PyErr_ExceptionMatches(PyExc_RecursionError)) {
            PyErr_Clear();
            change.refusal = value_refusal(c, {ValueFault::too_deep, 0, 0}, levels);
            return change;
        }
        if (!PyErr_ExceptionMatches(decode_error.get())) throw PyError{};
        PyErr_Clear();
        // TRANSLATORS: VALUE names the command's argument; keep the word as it is.
        change.refusal = message_text(c, "The VALUE should be in JSON format");
        return change;
    }
    Borrowed decoded = change.decoded;
    if (!PyUnicode_Check(decoded.get()) && !PyDict_Check(decoded.get()) && !PyList_Check(decoded.get())) {
        Borrowed type = reinterpret_cast<PyObject*>(Py_TYPE(decoded.get()));
        change.refusal =
            message_text(c, "Invalid VALUE", Ref::steal(PyUnicode_FromFormat("%U (%S)", value.get(), type.get())));
        return change;
    }

    // Nesting is checked first: the other checks may show the value.
    ValueFault fault;
    find_fault(decoded.get(), levels, fault);
    if (fault.kind == ValueFault::too_deep) {
        change.refusal = value_refusal(c, fault, levels);
        return change;
    }
    // The size as the library writes the value, indented at its place.
    size_t written = 0;
    add_written_size(decoded.get(), above, max_property_value_size, written);
    if (written > max_property_value_size) {
        Ref detail = translate_with(c, N_("larger than {limit} bytes of JSON text"),
                                    {{"{limit}", number_text(max_property_value_size)}});
        change.refusal = message_text(c, "Invalid VALUE", detail);
        return change;
    }

    change.events = list_field(self, c.st.event_id_list);
    Ref special_events = getattr(self, c.st.special_events);
    size_t count = static_cast<size_t>(PyList_GET_SIZE(change.events.get()));
    std::vector<bool> special(count);
    bool any_special = false;
    for (size_t i = 0; i < count; ++i) {
        special[i] = contains(special_events, PyList_GET_ITEM(change.events.get(), i));
        any_special = any_special || special[i];
    }
    // The value is the same for every event: its paths are checked once.
    if (any_special) {
        if (Ref bad = first_unacceptable_audit_path(decoded)) {
            change.refusal = message_text(c, "Invalid path in VALUE", Ref::steal(PyObject_Repr(bad.get())));
            return change;
        }
    }
    // What the configuration file cannot hold as strict JSON in UTF-8.
    if (fault.kind != ValueFault::none) {
        change.refusal = value_refusal(c, fault, levels);
        return change;
    }
    change.audit_rules.resize(count);
    for (size_t i = 0; i < count; ++i) {
        if (special[i])
            change.audit_rules[i] =
                call_method(self, c.st.process_path_value, PyList_GET_ITEM(change.events.get(), i), decoded);
    }
    return change;
}

ZELTA_OPERATION(set_properties) {
    // Checked whole before anything is written or the restart flag is
    // touched; rule values are built before the first write, so no event
    // can end up with its property stored and its audit rules missing.
    PropertyChange change = prepare_property_change(c, self, a.section, a.value);
    if (change.refusal) {
        print_line(change.refusal);
        return none();
    }
    setattr(self, c.st.need_daemon_restart, Py_True);
    for (size_t i = 0; i < change.audit_rules.size(); ++i) {
        Borrowed event_id = PyList_GET_ITEM(change.events.get(), static_cast<Py_ssize_t>(i));
        store_event_param(c, event_id, a.section, a.parameter, a.value);
        if (change.audit_rules[i])
            store_event_param(c, event_id, c.st.empty, c.st.message_audit_rules, change.audit_rules[i]);
    }
    return none();
}

}  // namespace zelta
