// The event catalogue: names of all events and groups, which events make up
// a group, and the group an event belongs to.
#include "module.hpp"

namespace zelta {

// ---- Description tables -------------------------------------------------------

// s[1:-1]: a name without the delimiting character at each end.
static Ref strip_delimiters(Borrowed field) { return Ref::steal(PySequence_GetSlice(field.get(), 1, -1)); }

// Builds ID -> {"name_en", "name_ru"} from the library's text records
// `ID,"English","Russian"[,...]`. A later record with the same ID replaces
// the entry and keeps the position of the first.
static Ref description_table(Ctx c, Borrowed records_function) {
    Ref records = call(library(c, records_function), integer(2));
    Ref table = Ref::steal(PyDict_New());
    Ref iterator = Ref::steal(PyObject_GetIter(records.get()));
    while (Ref record = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
        Ref fields = to_list(call_method(record, c.st.split, c.st.comma));
        if (PyList_GET_SIZE(fields.get()) < 3) raise(PyExc_IndexError, "list index out of range");
        Ref entry = Ref::steal(PyDict_New());
        check(PyDict_SetItem(entry.get(), c.st.name_en.get(), strip_delimiters(PyList_GET_ITEM(fields.get(), 1)).get()));
        check(PyDict_SetItem(entry.get(), c.st.name_ru.get(), strip_delimiters(PyList_GET_ITEM(fields.get(), 2)).get()));
        check(PyDict_SetItem(table.get(), PyList_GET_ITEM(fields.get(), 0), entry.get()));
    }
    if (PyErr_Occurred()) throw PyError{};
    return table;
}

ZELTA_ENTRY(get_all_event_description) {
    return guarded([&] {
        bind_none("_ZeltaAdminEvents__get_all_event_description", nargs, kwnames);
        Ctx c = ctx_from_class(self);
        return description_table(c, c.st.get_event_ids_ex);
    });
}

ZELTA_ENTRY(get_all_group_description) {
    return guarded([&] {
        bind_none("_ZeltaAdminEvents__get_all_group_description", nargs, kwnames);
        Ctx c = ctx_from_class(self);
        return description_table(c, c.st.get_group_ids_ex);
    });
}

// ---- Group membership ---------------------------------------------------------

// Closes a directory iterator however the walk over it ends.
class ScandirGuard {
public:
    explicit ScandirGuard(Borrowed iterator) : iterator_(iterator) {}
    ~ScandirGuard() {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);  // keep an error already raised
        Ref closed = Ref::steal_or_null(PyObject_CallMethod(iterator_.get(), "close", nullptr));
        if (!closed) PyErr_WriteUnraisable(iterator_.get());
        PyErr_Restore(type, value, tb);
    }
    ScandirGuard(const ScandirGuard&) = delete;
    ScandirGuard& operator=(const ScandirGuard&) = delete;

private:
    Borrowed iterator_;
};

// The events of one group: regular files (links count as their target) of
// the group directory, other than one named like the directory, whose names
// the library lists as event IDs; in directory listing order.
ZELTA_ENTRY(get_events_by_group_id) {
    return guarded([&] {
        static const std::array<Param, 1> params{{{"group_id", Expect::Str}}};
        Bound<1> a = bind("_ZeltaAdminEvents__get_events_by_group_id", params, args, nargs, kwnames);
        Ctx c = ctx_from_class(self);
        Ref directory = Ref::steal(PyNumber_TrueDivide(getattr(self, c.st.default_config_dir).get(), a[0].get()));
        Ref own_name = getattr(directory, c.st.name);

        // Candidates first: the library is asked only when a file could qualify.
        Ref candidates = Ref::steal(PyList_New(0));
        {
            Ref iterator = call(getattr(lazy_module(c, LazyModule::os), c.st.scandir), directory);
            ScandirGuard guard(iterator);
            while (Ref entry = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
                if (!truth(call_method(entry, c.st.is_file))) continue;
                Ref entry_name = getattr(entry, c.st.name);
                if (equal(entry_name, own_name)) continue;
                check(PyList_Append(candidates.get(), entry_name.get()));
            }
            if (PyErr_Occurred()) throw PyError{};
        }
        if (PyList_GET_SIZE(candidates.get()) == 0) return candidates;

        Ref known = known_event_ids(c);
        Ref events = Ref::steal(PyList_New(0));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(candidates.get()); ++i) {
            PyObject* name = PyList_GET_ITEM(candidates.get(), i);
            int listed = PySet_Contains(known.get(), name);
            check(listed);
            if (listed) check(PyList_Append(events.get(), name));
        }
        return events;
    });
}

// Group ID -> sorted event IDs, for the given groups in ascending order.
ZELTA_ENTRY(get_grouped_events) {
    return guarded([&] {
        static const std::array<Param, 1> params{{{"group_id_list", Expect::List}}};
        Bound<1> a = bind("_ZeltaAdminEvents__get_grouped_events", params, args, nargs, kwnames);
        Ctx c = ctx_from_object(self);
        Ref groups = to_list(a[0]);
        check(PyList_Sort(groups.get()));
        Ref grouped = Ref::steal(PyDict_New());
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(groups.get()); ++i) {
            PyObject* group_id = PyList_GET_ITEM(groups.get(), i);
            int seen = PyDict_Contains(grouped.get(), group_id);
            check(seen);
            if (seen) continue;  // a group named twice is listed once
            Ref events = to_list(call_method(self, c.st.get_events_by_group_id, group_id));
            check(PyList_Sort(events.get()));
            check(PyDict_SetItem(grouped.get(), group_id, events.get()));
        }
        return grouped;
    });
}

// The first group, in the library's group order, whose directory holds the event.
ZELTA_ENTRY(get_event_group) {
    return guarded([&] {
        static const std::array<Param, 1> params{{{"event_id", Expect::Str}}};
        Bound<1> a = bind("_ZeltaAdminEvents__get_event_group", params, args, nargs, kwnames);
        Ctx c = ctx_from_object(self);
        Ref groups = call(library(c, c.st.get_group_ids));
        Ref iterator = Ref::steal(PyObject_GetIter(groups.get()));
        while (Ref group_id = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
            Ref events = call_method(self, c.st.get_events_by_group_id, group_id);
            if (contains(events, a[0])) return group_id;
        }
        if (PyErr_Occurred()) throw PyError{};
        return none();
    });
}

PyMethodDef catalogue_methods[] = {
    {"_ZeltaAdminEvents__get_all_event_description", ZELTA_FASTCALL(get_all_event_description),
     METH_CLASS | METH_FASTCALL | METH_KEYWORDS,
     "_ZeltaAdminEvents__get_all_event_description($cls, /)\n--\n\n"
     "Return the English and Russian names of all events."},
    {"_ZeltaAdminEvents__get_all_group_description", ZELTA_FASTCALL(get_all_group_description),
     METH_CLASS | METH_FASTCALL | METH_KEYWORDS,
     "_ZeltaAdminEvents__get_all_group_description($cls, /)\n--\n\n"
     "Return the English and Russian names of all groups."},
    {"_ZeltaAdminEvents__get_events_by_group_id", ZELTA_FASTCALL(get_events_by_group_id),
     METH_CLASS | METH_FASTCALL | METH_KEYWORDS,
     "_ZeltaAdminEvents__get_events_by_group_id($cls, group_id)\n--\n\n"
     "Return the event IDs of a group, in directory listing order."},
    {"_ZeltaAdminEvents__get_grouped_events", ZELTA_FASTCALL(get_grouped_events), METH_FASTCALL | METH_KEYWORDS,
     "_ZeltaAdminEvents__get_grouped_events($self, group_id_list)\n--\n\n"
     "Return the groups with their sorted event IDs, groups in ascending order."},
    {"_ZeltaAdminEvents__get_event_group", ZELTA_FASTCALL(get_event_group), METH_FASTCALL | METH_KEYWORDS,
     "_ZeltaAdminEvents__get_event_group($self, event_id)\n--\n\n"
     "Return the group that holds the event, or None."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zelta
