// Data for scripts: the state of the named groups and events, the effective
// settings of events and the plan of each changing operation, as plain dicts
// and lists ready for json.dumps. Nothing here prints, pages or runs a
// command; plans read the tree and the events library and change neither.
#include "catalogue.hpp"
#include "changes.hpp"
#include "module.hpp"

namespace zelta {

namespace {

Ref new_list() { return Ref::steal(PyList_New(0)); }
Ref new_dict() { return Ref::steal(PyDict_New()); }

// Whether the library reports the event as enabled (True compares equal to 1).
bool is_enabled(Borrowed state) {
    Ref one = integer(1);
    return equal(state, one);
}

// {"id", "name", "enabled"} of an event, its name taken in the language LANG picks.
Ref event_entry(Ctx c, Borrowed event_table, Borrowed lang, Borrowed event_id) {
    Ref entry = new_dict();
    set_item(entry, "id", event_id);
    set_item(entry, "name", described_name(event_table, event_id, lang));
    set_item(entry, "enabled", boolean(is_enabled(event_state(c, event_id))));
    return entry;
}

// ---- JSON values ------------------------------------------------------------

// A copy of a decoded JSON value whose objects and arrays are new, so that a
// merge may change it without touching the original.
Ref json_copy(Borrowed value) {
    if (!PyDict_Check(value.get()) && !PyList_Check(value.get())) return Ref::borrow(value);
    RecursionGuard guard(" while copying event settings");
    if (PyList_Check(value.get())) {
        Ref items = to_list(value);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            Ref item = json_copy(PyList_GET_ITEM(items.get(), i));
            check(PyList_SetItem(items.get(), i, item.release()));
        }
        return items;
    }
    Ref copy = new_dict();
    PyObject *key = nullptr, *item = nullptr;  // borrowed from value, which nothing here changes
    Py_ssize_t pos = 0;
    while (PyDict_Next(value.get(), &pos, &key, &item)) check(PyDict_SetItem(copy.get(), key, json_copy(item).get()));
    return copy;
}

// Whether two decoded JSON values are the same value: of one kind (true is
// not 1, 1 is not 1.0), objects equal member by member whatever their order.
// An absent value (empty) equals only an absent one.
bool same_json(Borrowed a, Borrowed b) {
    if (!a || !b) return !a && !b;
    if (Py_TYPE(a.get()) != Py_TYPE(b.get())) return false;
    RecursionGuard guard(" while comparing event settings");
    if (PyDict_Check(a.get())) {
        if (PyDict_GET_SIZE(a.get()) != PyDict_GET_SIZE(b.get())) return false;
        PyObject *key = nullptr, *item = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(a.get(), &pos, &key, &item)) {
            Ref held = Ref::borrow(item);
            Ref other = dict_get(b, key);
            if (!other || !same_json(held, other)) return false;
        }
        return true;
    }
    if (PyList_Check(a.get())) {
        Ref left = to_list(a), right = to_list(b);
        Py_ssize_t n = PyList_GET_SIZE(left.get());
        if (n != PyList_GET_SIZE(right.get())) return false;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!same_json(PyList_GET_ITEM(left.get(), i), PyList_GET_ITEM(right.get(), i))) return false;
        return true;
    }
    if (PyFloat_Check(a.get())) {
        double x = PyFloat_AS_DOUBLE(a.get()), y = PyFloat_AS_DOUBLE(b.get());
        return x == y || (x != x && y != y);  // NaN stays NaN
    }
    return equal(a, b);
}

// ---- Plans --------------------------------------------------------------------

// The changes of a plan, in the order the operation would make them.
class Plan {
public:
    Plan() : changes_(new_list()) {}
    // A plan whose changes are listed already.
    explicit Plan(Ref changes) : changes_(std::move(changes)) {}

    void parameter(Borrowed event_id, Borrowed section, Borrowed parameter, Borrowed before, Borrowed after) {
        Ref change = new_dict();
        set_item(change, "event", event_id);
        set_item(change, "section", section);
        set_item(change, "parameter", parameter);
        set_item(change, "before", before ? before : Borrowed(Py_None));
        set_item(change, "after", after ? after : Borrowed(Py_None));
        append(changes_, change);
    }

    // {"changed", "changes", "error"}; a refused operation changes nothing.
    Ref finish(Borrowed error = {}) {
        Ref plan = new_dict();
        set_item(plan, "changed", boolean(!error && PyList_GET_SIZE(changes_.get()) > 0));
        if (error) changes_ = new_list();
        set_item(plan, "changes", changes_);
        set_item(plan, "error", error ? error : Borrowed(Py_None));
        return plan;
    }

private:
    Ref changes_;
};

// Parameters written through the events library, laid over each event's
// current settings as the library stores them (a parameter of the section
// "" directly under the event, any other inside its section object), and
// compared as effective settings: the merge of the settings code with the
// event's defaults, before and after.
class SettingsSimulation {
public:
    SettingsSimulation(Ctx c, Borrowed self) : c_(c), self_(self), order_(new_list()), events_(new_dict()) {}

    // False, writing nothing, when the library would refuse the write: it
    // changes a section only when the event's current settings hold none of
    // that name or an object.
    bool write(Borrowed event_id, Borrowed section, Borrowed parameter, Borrowed value) {
        Ref current = current_of(event_id);
        Ref target = current.copy();
        if (PyUnicode_GET_LENGTH(section.get()) > 0) {
            target = dict_get(current, section);
            if (target && !PyDict_Check(target.get())) return false;
            if (!target) {
                target = new_dict();
                check(PyDict_SetItem(current.get(), section.get(), target.get()));
            }
        }
        check(PyDict_SetItem(target.get(), parameter.get(), value.get()));
        return true;
    }

    // One change per event and parameter whose effective value would differ,
    // events in the order first written, parameters in settings order.
    void changes(Plan& plan) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(order_.get()); ++i) {
            Borrowed event_id = PyList_GET_ITEM(order_.get(), i);
            Ref state = dict_get(events_, event_id);
            Ref defaults = Ref::steal(PySequence_GetItem(state.get(), 0));
            Ref before = Ref::steal(PySequence_GetItem(state.get(), 1));
            Ref current = Ref::steal(PySequence_GetItem(state.get(), 2));
            Ref after = merged_settings(c_, self_, json_copy(defaults), json_copy(current));
            compare(plan, event_id, before, after);
        }
    }

private:
    // The simulated current settings of an event; its defaults and its
    // effective settings as they stand are read at the first write.
    Ref current_of(Borrowed event_id) {
        if (Ref state = dict_get(events_, event_id)) return Ref::steal(PySequence_GetItem(state.get(), 2));
        // The library stores the parameters of an event in no group as well,
        // and writes the configuration file that is not there yet.
        SettingsParts parts = event_settings_parts(c_, self_, event_id, lenient_no_group | lenient_missing_current);
        Ref current = parts.current ? json_copy(parts.current) : new_dict();
        Ref defaults = json_copy(parts.defaults);
        Ref before = merged_settings(c_, self_, parts.defaults, parts.current);
        Ref state = Ref::steal(PyTuple_Pack(3, defaults.get(), before.get(), current.get()));
        check(PyDict_SetItem(events_.get(), event_id.get(), state.get()));
        append(order_, event_id);
        return current;
    }

    // A top-level entry that is an object on either side is a section and
    // compared parameter by parameter; any other is a parameter of "".
    void compare(Plan& plan, Borrowed event_id, Borrowed before, Borrowed after) {
        Ref keys = sorted_keys(before, after);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
            Borrowed key = PyList_GET_ITEM(keys.get(), i);
            Ref old_value = dict_get(before, key), new_value = dict_get(after, key);
            bool old_section = !old_value || PyDict_Check(old_value.get());
            bool new_section = !new_value || PyDict_Check(new_value.get());
            // An empty section that appears or goes has no parameter to name.
            auto empty = [](Borrowed value) { return PyDict_Check(value.get()) && PyDict_GET_SIZE(value.get()) == 0; };
            bool empty_comes_or_goes = (!old_value && empty(new_value)) || (!new_value && empty(old_value));
            if (old_section && new_section && !empty_comes_or_goes) {
                Ref no_parameters = new_dict();
                Borrowed old_params = old_value ? old_value.view() : no_parameters.view();
                Borrowed new_params = new_value ? new_value.view() : no_parameters.view();
                Ref names = sorted_keys(old_params, new_params);
                for (Py_ssize_t j = 0; j < PyList_GET_SIZE(names.get()); ++j) {
                    Borrowed name = PyList_GET_ITEM(names.get(), j);
                    Ref was = dict_get(old_params, name), becomes = dict_get(new_params, name);
                    if (!same_json(was, becomes)) plan.parameter(event_id, key, name, was, becomes);
                }
            } else if (!same_json(old_value, new_value)) {
                plan.parameter(event_id, c_.st.empty, key, old_value, new_value);
            }
        }
    }

    static Ref sorted_keys(Borrowed a, Borrowed b) {
        Ref keys = Ref::steal(PySet_New(a.get()));
        for_each(b, [&](Borrowed key) { check(PySet_Add(keys.get(), key.get())); });
        Ref sorted = to_list(keys);
        check(PyList_Sort(sorted.get()));
        return sorted;
    }

    Ctx c_;
    Borrowed self_;
    Ref order_;   // event IDs in the order first written
    Ref events_;  // event ID -> (defaults, effective settings now, simulated current settings)
};

// The line that refuses a parameter of a section that the event's current
// settings hold as something other than an object.
Ref not_an_object(Ctx c, Borrowed self, Borrowed event_id, Borrowed section) {
    Ref file = to_str(getattr(self, c.st.current_config_file));
    return translate_with(c, N_("The section {section} of event {event} in {file} is not a JSON object"),
                          {{"{section}", Ref::steal(PyObject_Repr(section.get()))},
                           {"{event}", Ref::steal(PyObject_Repr(event_id.get()))},
                           {"{file}", file}});
}

// Calls body(event_id) for each named event, then for each event of each
// named group, in the order the changing operations walk them.
template <typename F>
void for_each_target(Ctx c, Borrowed self, F&& body) {
    Ref events = list_field(self, c.st.event_id_list);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(events.get()); ++i) body(Borrowed(PyList_GET_ITEM(events.get(), i)));
    Ref groups = list_field(self, c.st.group_id_list);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(groups.get()); ++i) {
        Ref members = to_list(call_method(self, c.st.get_events_by_group_id, PyList_GET_ITEM(groups.get(), i)));
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(members.get()); ++j)
            body(Borrowed(PyList_GET_ITEM(members.get(), j)));
    }
}

// enable and disable switch an event only from the other state, asking the
// library each time it is met; an event met twice switches once.
Ref plan_switch(Ctx c, Borrowed self, bool enabling) {
    Ref from = integer(enabling ? 0 : 1);
    Ref seen = new_dict();  // event ID -> its state as the walk leaves it
    Plan plan;
    Ref parameter = str("enabled");
    for_each_target(c, self, [&](Borrowed event_id) {
        Ref state = dict_get(seen, event_id);
        if (!state) state = event_state(c, event_id);
        if (equal(state, from)) {
            plan.parameter(event_id, c.st.empty, parameter, boolean(!enabling), boolean(enabling));
            state = integer(enabling ? 1 : 0);
        }
        check(PyDict_SetItem(seen.get(), event_id.get(), state.get()));
    });
    return plan.finish();
}

Ref plan_syslog_param(Ctx c, Borrowed self, Borrowed param_type, Borrowed param_value) {
    Ref parameter = add(c.st.message_syslog_prefix, param_type);
    SettingsListingScope listing(c.st);
    SettingsSimulation simulation(c, self);
    for_each_target(c, self,
                    [&](Borrowed event_id) { simulation.write(event_id, c.st.empty, parameter, param_value); });
    Plan plan;
    simulation.changes(plan);
    return plan.finish();
}

}  // namespace

// ---- Operations -----------------------------------------------------------------

ZELTA_OPERATION(get_unknown_ids) {
    Ref result = new_dict();
    set_item(result, "events", unknown_ids(self, false));
    set_item(result, "groups", unknown_ids(self, true));
    return result;
}

ZELTA_OPERATION(get_status) {
    bool all_groups = a.all_groups && truth(a.all_groups);
    Ref group_ids = all_groups ? call(library(c, c.st.get_group_ids)) : list_field(self, c.st.group_id_list);
    Ref lang = global(c, c.st.lang);
    Ref event_table = getattr(self, c.st.event_description);
    Ref group_table = getattr(self, c.st.group_description);

    // The groups and their events as the status listing shows them.
    Ref grouped = call_method(self, c.st.get_grouped_events, group_ids);
    Ref pairs = Ref::steal(PyMapping_Items(grouped.get()));
    Ref groups = new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
        Borrowed pair = PyList_GET_ITEM(pairs.get(), i);
        Ref group_id = Ref::steal(PySequence_GetItem(pair.get(), 0));
        Ref members = to_list(Ref::steal(PySequence_GetItem(pair.get(), 1)));
        Ref events = new_list();
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(members.get()); ++j)
            append(events, event_entry(c, event_table, lang, PyList_GET_ITEM(members.get(), j)));
        Ref group = new_dict();
        set_item(group, "id", group_id);
        set_item(group, "name", described_name(group_table, group_id, lang));
        set_item(group, "events", events);
        append(groups, group);
    }

    Ref named = list_field(self, c.st.event_id_list);
    Ref events = new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(named.get()); ++i)
        append(events, event_entry(c, event_table, lang, PyList_GET_ITEM(named.get(), i)));

    Ref result = new_dict();
    set_item(result, "groups", groups);
    set_item(result, "events", events);
    return result;
}

ZELTA_OPERATION(get_event_settings) {
    SettingsListingScope listing(c.st);  // one read of the current configuration
    Ref lang = global(c, c.st.lang);
    Ref event_table = getattr(self, c.st.event_description);
    Ref named = list_field(self, c.st.event_id_list);
    Ref result = new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(named.get()); ++i) {
        Borrowed event_id = PyList_GET_ITEM(named.get(), i);
        Ref entry = event_entry(c, event_table, lang, event_id);
        // An event in no group has no settings to show: its group says so.
        SettingsParts parts = event_settings_parts(c, self, event_id, lenient_no_group);
        set_item(entry, "group", parts.group);
        set_item(entry, "settings", merged_settings(c, self, parts.defaults, parts.current));
        append(result, entry);
    }
    return result;
}

ZELTA_OPERATION(plan_enable) { return plan_switch(c, self, true); }

ZELTA_OPERATION(plan_disable) { return plan_switch(c, self, false); }

ZELTA_OPERATION(plan_set_facility) { return plan_syslog_param(c, self, c.st.facility, a.facility); }

ZELTA_OPERATION(plan_set_priority) { return plan_syslog_param(c, self, c.st.priority, a.priority); }

ZELTA_OPERATION(plan_set_properties) {
    Plan plan;
    PropertyChange change = prepare_property_change(c, self, a.section, a.value);
    if (change.refusal) return plan.finish(change.refusal);
    // The events library takes names as strings only (None passes the binding).
    for (Borrowed name : {a.section, a.parameter})
        if (!PyUnicode_Check(name.get()))
            raise_format(PyExc_TypeError, "section and parameter must be str, not %.200s",
                         Py_TYPE(name.get())->tp_name);
    // What the events library refuses of any value, once it is called.
    if (!change.audit_rules.empty()) {
        if (PyUnicode_GET_LENGTH(a.parameter.get()) == 0)
            return plan.finish(translate(c, "The parameter name must not be empty"));
        if (PyUnicode_GET_LENGTH(a.section.get()) == 0 &&
            PyUnicode_CompareWithASCIIString(a.parameter.get(), "enabled") == 0)
            return plan.finish(message_text(c, "Invalid VALUE", translate(c, "\"enabled\" takes only true or false")));
    }
    SettingsListingScope listing(c.st);
    SettingsSimulation simulation(c, self);
    Ref loads = getattr(lazy_module(c, LazyModule::json), c.st.loads);
    for (size_t i = 0; i < change.audit_rules.size(); ++i) {
        Borrowed event_id = PyList_GET_ITEM(change.events.get(), static_cast<Py_ssize_t>(i));
        if (!simulation.write(event_id, a.section, a.parameter, change.decoded))
            return plan.finish(not_an_object(c, self, event_id, a.section));
        if (change.audit_rules[i])
            simulation.write(event_id, c.st.empty, c.st.message_audit_rules, call(loads, change.audit_rules[i]));
    }
    simulation.changes(plan);
    return plan.finish();
}

}  // namespace zelta
