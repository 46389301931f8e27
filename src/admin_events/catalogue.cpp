// The event catalogue: names of all events and groups, which events make up
// a group, the group an event belongs to, the effective settings of an event
// and the translated labels of its sections.
#include "catalogue.hpp"
#include "files.hpp"
#include "module.hpp"
#include "rooted.hpp"
#include "transfer.hpp"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace zelta {

// directory / component, as the path objects of the class constants join.
static Ref path_child(Borrowed directory, Borrowed component) {
    return Ref::steal(PyNumber_TrueDivide(directory.get(), component.get()));
}

// ---- Reading below the root ---------------------------------------------------

// Where a path that a constant of `owner` (the object, or the class of a
// class-level operation) names is read: inside the system tree of the root
// directory constant when it lies below it, as import writes there.
static rooted::ReadPlace read_place(Ctx c, Borrowed owner, Borrowed path) {
    return {transfer::fs_bytes(path), transfer::fs_bytes(getattr(owner, c.st.root_dir)), rooted::forced_fallbacks()};
}

// ---- Description tables -------------------------------------------------------

// s[1:-1]: a name without the delimiting character at each end.
static Ref strip_delimiters(Borrowed field) { return Ref::steal(PySequence_GetSlice(field.get(), 1, -1)); }

// The entry {"name_en": ..., "name_ru": ...} of a description table.
static Ref description_entry(Ctx c, Borrowed name_en, Borrowed name_ru) {
    Ref entry = Ref::steal(PyDict_New());
    check(PyDict_SetItem(entry.get(), c.st.name_en.get(), name_en.get()));
    check(PyDict_SetItem(entry.get(), c.st.name_ru.get(), name_ru.get()));
    return entry;
}

// The next "," of a str at or after `from`, or its length when there is none.
static Py_ssize_t next_comma(PyObject* text, Py_ssize_t from, Py_ssize_t length) {
    Py_ssize_t at = PyUnicode_FindChar(text, ',', from, length, 1);
    if (at == -2) throw PyError{};
    return at < 0 ? length : at;
}

// record[begin + 1:end - 1], the field [begin, end) without its delimiters.
static Ref inner_substring(PyObject* record, Py_ssize_t begin, Py_ssize_t end) {
    if (end - begin < 2) return Ref::steal(PyUnicode_New(0, 0));
    return Ref::steal(PyUnicode_Substring(record, begin + 1, end - 1));
}

// Adds the ID and entry of one record to the table. An exact str is read in
// one scan for its first three commas; anything else goes through its own
// split(",") method, as the record format is defined by that split.
static void add_record(Ctx c, Borrowed table, Borrowed record) {
    PyObject* text = record.get();
    if (PyUnicode_CheckExact(text)) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        Py_ssize_t id_end = next_comma(text, 0, length);
        Py_ssize_t en_end = id_end < length ? next_comma(text, id_end + 1, length) : length;
        if (en_end == length) raise(PyExc_IndexError, "list index out of range");
        Py_ssize_t ru_end = next_comma(text, en_end + 1, length);
        Ref id = Ref::steal(PyUnicode_Substring(text, 0, id_end));
        Ref entry =
            description_entry(c, inner_substring(text, id_end + 1, en_end), inner_substring(text, en_end + 1, ru_end));
        check(PyDict_SetItem(table.get(), id.get(), entry.get()));
        return;
    }
    Ref fields = to_list(call_method(record, c.st.split, c.st.comma));
    if (PyList_GET_SIZE(fields.get()) < 3) raise(PyExc_IndexError, "list index out of range");
    Ref entry = description_entry(c, strip_delimiters(PyList_GET_ITEM(fields.get(), 1)),
                                  strip_delimiters(PyList_GET_ITEM(fields.get(), 2)));
    check(PyDict_SetItem(table.get(), PyList_GET_ITEM(fields.get(), 0), entry.get()));
}

// Builds ID -> {"name_en", "name_ru"} from the library's text records
// `ID,"English","Russian"[,...]`. A later record with the same ID replaces
// the entry and keeps the position of the first.
static Ref description_table(Ctx c, Borrowed records_function) {
    Ref records = call(library(c, records_function), integer(2));
    Ref table =
        PyList_CheckExact(records.get()) ? presized_dict(PyList_GET_SIZE(records.get())) : Ref::steal(PyDict_New());
    for_each(records, [&](Borrowed record) { add_record(c, table, record); });
    return table;
}

ZELTA_OPERATION(get_all_event_description) { return description_table(c, c.st.get_event_ids_ex); }

ZELTA_OPERATION(get_all_group_description) { return description_table(c, c.st.get_group_ids_ex); }

Ref described_name(Borrowed table, Borrowed id, Borrowed key) {
    Ref entry = Ref::steal(PyObject_GetItem(table.get(), id.get()));
    return Ref::steal(PyObject_GetItem(entry.get(), key.get()));
}

Ref event_state(Ctx c, Borrowed event_id) { return call(library(c, c.st.is_event_enabled), event_id); }

// ---- Group membership ---------------------------------------------------------

// The candidates that the library's get_event_ids() lists, as a set. The
// library's list is walked against the few candidates, and only until all
// of them are found, instead of being hashed whole into a set of its own.
static Ref listed_candidates(Ctx c, Borrowed candidates) {
    Ref ids = call(library(c, c.st.get_event_ids));
    Ref wanted = Ref::steal(PySet_New(candidates.get()));
    Ref found = Ref::steal(PySet_New(nullptr));
    // The caller has at least one candidate.
    for_each(ids, [&](Borrowed id) {
        int hit = PySet_Contains(wanted.get(), id.get());
        check(hit);
        if (hit) check(PySet_Add(found.get(), id.get()));
        return PySet_GET_SIZE(found.get()) < PySet_GET_SIZE(wanted.get());
    });
    return found;
}

// The library's event IDs, as a set, for one more group of an operation
// that lists many: a list of the very same ID objects as the last one the
// operation saw reuses its set.
static Ref remembered_event_ids(Ctx c, EventIdMemo& memo) {
    Ref ids = call(library(c, c.st.get_event_ids));
    if (PyList_CheckExact(ids.get()) && memo.items) {
        Py_ssize_t n = PyList_GET_SIZE(ids.get());
        PyObject* before = memo.items.get();
        if (PyTuple_GET_SIZE(before) == n) {
            bool same = true;
            for (Py_ssize_t i = 0; i < n && same; ++i)
                same = PyList_GET_ITEM(ids.get(), i) == PyTuple_GET_ITEM(before, i);
            if (same) return memo.set.copy();
        }
    }
    Ref set = Ref::steal(PyFrozenSet_New(ids.get()));
    if (PyList_CheckExact(ids.get())) {
        memo.items = Ref::steal(PyList_AsTuple(ids.get()));
        memo.set = set.copy();
    }
    return set;
}

// The events of one group: regular files (links count as their target) of
// the group directory, other than one named like the directory, whose names
// the library lists as event IDs; in directory listing order. `cls` gives
// the constants; a memo shares the library's event list across the groups
// of one operation.
static Ref group_events(Ctx c, Borrowed cls, Borrowed group_id, EventIdMemo* memo) {
    Ref directory = path_child(getattr(cls, c.st.default_config_dir), group_id);
    Ref own_name = getattr(directory, c.st.name);

    // Candidates first: the library is asked only when a file could qualify.
    Ref candidates = Ref::steal(PyList_New(0));
    for (const std::string& file : rooted::regular_files(read_place(c, cls, directory))) {
        Ref entry_name = transfer::fs_text(file);
        if (equal(entry_name, own_name)) continue;
        append(candidates, entry_name);
    }
    if (PyList_GET_SIZE(candidates.get()) == 0) return candidates;

    Ref known = memo ? remembered_event_ids(c, *memo) : listed_candidates(c, candidates);
    Ref events = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(candidates.get()); ++i) {
        PyObject* name = PyList_GET_ITEM(candidates.get(), i);
        int listed = PySet_Contains(known.get(), name);
        check(listed);
        if (listed) check(PyList_Append(events.get(), name));
    }
    return events;
}

ZELTA_OPERATION(get_events_by_group_id) { return group_events(c, self, a.group_id, nullptr); }

Ref events_of_group(Ctx c, Borrowed self, Borrowed group_id, EventIdMemo& memo) {
    Ref method = getattr(self, c.st.get_events_by_group_id);
    // A class-level operation is bound to the object's class.
    Borrowed cls = reinterpret_cast<PyObject*>(Py_TYPE(self.get()));
    if (PyUnicode_Check(group_id.get()) && is_own_method(method, cls, operation_names::get_events_by_group_id))
        return group_events(c, cls, group_id, &memo);
    return call(method, group_id);
}

// Group ID -> sorted event IDs, for the given groups in ascending order.
ZELTA_OPERATION(get_grouped_events) {
    Ref groups = to_list(a.group_id_list);
    check(PyList_Sort(groups.get()));
    Ref grouped = Ref::steal(PyDict_New());
    EventIdMemo memo;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(groups.get()); ++i) {
        PyObject* group_id = PyList_GET_ITEM(groups.get(), i);
        int seen = PyDict_Contains(grouped.get(), group_id);
        check(seen);
        if (seen) continue;  // a group named twice is listed once
        Ref events = to_list(events_of_group(c, self, group_id, memo));
        check(PyList_Sort(events.get()));
        check(PyDict_SetItem(grouped.get(), group_id, events.get()));
    }
    return grouped;
}

// The first group, in the library's group order, whose directory holds the event.
ZELTA_OPERATION(get_event_group) {
    Ref groups = call(library(c, c.st.get_group_ids));
    EventIdMemo memo;
    Ref holder = none();
    for_each(groups, [&](Borrowed group_id) {
        Ref events = events_of_group(c, self, group_id, memo);
        if (!contains(events, a.event_id)) return true;
        holder = Ref::borrow(group_id);
        return false;
    });
    return holder;
}

// ---- Event settings -----------------------------------------------------------

// The whole text of a file, decoded in the locale's encoding as a file
// opened in text mode reads. The file is opened without blocking and must be
// a regular file within the size that import accepts of a file.
static Ref read_text_file(Ctx c, const rooted::ReadPlace& place) {
    rooted::Fd file(place.try_open({}, O_RDONLY | O_NONBLOCK | O_NOCTTY));
    if (!file) rooted::raise_os_error(errno, place.path());
    Ref data;
    {
        std::string content = rooted::read_regular_file(file.get(), place.path(), transfer::Limits::max_member_size);
        file.reset();
        data = Ref::steal(PyBytes_FromStringAndSize(content.data(), static_cast<Py_ssize_t>(content.size())));
    }
    Ref io = import("io");
    Ref text = call(getattr(io, "TextIOWrapper"), call(getattr(io, "BytesIO"), data));
    return call_method(text, c.st.read);
}

// Adds the file's path as a note to the error being raised, whose own
// message does not name the file; its type and message stay as they are.
static void note_file(Borrowed path) {
    PendingError pending;
    try {
        call(getattr(pending.exception(), "add_note"), to_str(path));
    } catch (const PyError&) {
        // The error matters more than its note.
    }
}

// The parsed content of a JSON file. Errors of its text (not in the locale's
// encoding, not valid JSON) keep their type and message, json.JSONDecodeError
// included, and name the file in a note.
static Ref load_json_file(Ctx c, Borrowed owner, Borrowed path) {
    rooted::ReadPlace place = read_place(c, owner, path);
    try {
        Ref text = read_text_file(c, place);
        return call(getattr(lazy_module(c, LazyModule::json), c.st.loads), text);
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) note_file(path);
        throw;
    }
}

// Overlays the current settings of an event on its defaults, in place. A
// section that is an object on both sides takes the current parameters over
// the default ones (each parameter replaced whole); otherwise the current
// value replaces the default section or is added. The library stores
// parameters of the section "" directly under the event, so a current value
// beside a default section of another kind is ordinary and must not fail.
static void merge_settings(Borrowed defaults, Borrowed current) {
    PyObject *section = nullptr, *value = nullptr;  // borrowed from `current`, which nothing here changes
    Py_ssize_t pos = 0;
    while (PyDict_Next(current.get(), &pos, &section, &value)) {
        Ref existing = dict_get(defaults, section);
        if (existing && PyDict_Check(existing.get()) && PyDict_Check(value)) {
            check(PyDict_Update(existing.get(), value));
        } else {
            check(PyDict_SetItem(defaults.get(), section, value));
        }
    }
}

// The parsed content of a settings file, which must be a JSON object.
static Ref load_json_object(Ctx c, Borrowed owner, Borrowed path, const char* what) {
    Ref document = load_json_file(c, owner, path);
    if (!PyDict_Check(document.get()))
        raise_format(PyExc_TypeError, "%s %R holds %s, not a JSON object", what, path.get(),
                     Py_TYPE(document.get())->tp_name);
    return document;
}

// The innermost show_event listing running on this thread.
static thread_local SettingsListing* running_listing = nullptr;

SettingsListingScope::SettingsListingScope(const State& owner) : listing_{&owner, running_listing, {}, {}, {}} {
    running_listing = &listing_;
}

SettingsListingScope::~SettingsListingScope() { running_listing = listing_.enclosing; }

// The event's member of the current configuration file; empty when it has
// none. Within a show_event listing of this module on this thread the member
// comes out of the listing's one parse of the file, unless the file is named
// otherwise now or the event's member was taken already.
static Ref current_member(Ctx c, Borrowed self, Borrowed path, Borrowed event_id) {
    static const char what[] = "current configuration file";
    SettingsListing* running = running_listing;
    if (!running || running->owner != &c.st) return dict_get(load_json_object(c, self, path, what), event_id);
    SettingsListing& listing = *running;
    if (!listing.path) {
        listing.document = load_json_object(c, self, path, what);
        listing.taken = Ref::steal(PySet_New(nullptr));
        listing.path = Ref::borrow(path);
    }
    bool from_listing = false;
    if (listing.path.view().is(path) || equal(listing.path, path)) {
        int taken = PySet_Contains(listing.taken.get(), event_id.get());
        check(taken);
        from_listing = !taken;
    }
    Ref document = from_listing ? listing.document.copy() : load_json_object(c, self, path, what);
    Ref member = dict_get(document, event_id);
    if (from_listing) {
        // Handed out once only, so no two results share its objects.
        if (member) check(PyDict_DelItem(document.get(), event_id.get()));
        check(PySet_Add(listing.taken.get(), event_id.get()));
    }
    return member;
}

// Default settings of the event overlaid with its member of the current
// configuration file, sorted at every dictionary level.
SettingsParts event_settings_parts(Ctx c, Borrowed self, Borrowed event_id, unsigned lenient) {
    SettingsParts parts;
    parts.group = call_method(self, c.st.get_event_group, event_id);
    if ((lenient & lenient_no_group) && parts.group.view().is_none()) {
        parts.defaults = Ref::steal(PyDict_New());
    } else {
        // An event in no group has no default settings path: dir / None fails.
        Ref default_path = path_child(path_child(getattr(self, c.st.default_config_dir), parts.group), event_id);
        parts.defaults = load_json_object(c, self, default_path, "default settings file");
    }
    Ref current_path = getattr(self, c.st.current_config_file);
    try {
        parts.current = current_member(c, self, current_path, event_id);
    } catch (const PyError&) {
        if (!(lenient & lenient_missing_current) || !PyErr_ExceptionMatches(PyExc_FileNotFoundError)) throw;
        PyErr_Clear();
    }
    // No member, or null: the event has no current settings.
    if (parts.current && parts.current.view().is_none()) parts.current = Ref();
    if (parts.current && !PyDict_Check(parts.current.get()))
        raise_format(PyExc_TypeError, "settings of event %R in %R are %s, not a JSON object", event_id.get(),
                     current_path.get(), Py_TYPE(parts.current.get())->tp_name);
    return parts;
}

Ref merged_settings(Ctx c, Borrowed self, Borrowed defaults, Borrowed current) {
    if (current) merge_settings(defaults, current);
    return call_method(self, c.st.sort_nested_dict, defaults);
}

ZELTA_OPERATION(get_event_config) {
    SettingsParts parts = event_settings_parts(c, self, a.event_id);
    return merged_settings(c, self, parts.defaults, parts.current);
}

// A key being sorted, with its value. `head` holds the first code units of
// the key past the prefix that all keys share, packed so that comparing two
// heads compares those code units; only equal heads need the whole keys.
struct SortEntry {
    uint64_t head;
    PyObject* key;
    PyObject* value;
};

// Code point order of two exact str, as str's own < compares them.
static bool code_point_less(PyObject* a, PyObject* b) {
    if (PyUnicode_KIND(a) == PyUnicode_1BYTE_KIND && PyUnicode_KIND(b) == PyUnicode_1BYTE_KIND) {
        const Py_ssize_t la = PyUnicode_GET_LENGTH(a), lb = PyUnicode_GET_LENGTH(b);
        int r = std::memcmp(PyUnicode_1BYTE_DATA(a), PyUnicode_1BYTE_DATA(b), static_cast<size_t>(std::min(la, lb)));
        return r < 0 || (r == 0 && la < lb);
    }
    return PyUnicode_Compare(a, b) < 0;  // exact str never fail to compare
}

// The packed head of a key: `units` code units from `from` on, `bits` bits
// each; a key that ends early pads with zeros and ties with a longer one,
// which the whole comparison then orders.
template <typename Unit>
static uint64_t key_head(const Unit* data, Py_ssize_t length, Py_ssize_t from, int units, int bits) {
    uint64_t head = 0;
    for (Py_ssize_t at = from; at < from + units; ++at) head = (head << bits) | (at < length ? data[at] : 0U);
    return head;
}

// Sorts entries whose keys are all exact str by code point.
static void sort_str_entries(std::vector<SortEntry>& entries) {
    if (entries.size() < 2) return;
    bool narrow = true;
    for (const SortEntry& e : entries) narrow = narrow && PyUnicode_KIND(e.key) == PyUnicode_1BYTE_KIND;
    // The prefix that every key shares decides nothing, so heads start after it.
    PyObject* first = entries.front().key;
    Py_ssize_t shared = PyUnicode_GET_LENGTH(first);
    for (const SortEntry& e : entries) {
        Py_ssize_t limit = std::min(shared, PyUnicode_GET_LENGTH(e.key)), i = 0;
        if (narrow) {
            const Py_UCS1 *a = PyUnicode_1BYTE_DATA(first), *b = PyUnicode_1BYTE_DATA(e.key);
            while (i < limit && a[i] == b[i]) ++i;
        } else {
            while (i < limit && PyUnicode_READ_CHAR(e.key, i) == PyUnicode_READ_CHAR(first, i)) ++i;
        }
        shared = i;
    }
    // Eight 8-bit code units, or three code points of 21 bits.
    for (SortEntry& e : entries) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(e.key);
        switch (PyUnicode_KIND(e.key)) {
            case PyUnicode_1BYTE_KIND:
                if (narrow) {
                    // Eight bytes read as one big-endian number.
                    std::array<unsigned char, 8> bytes{};
                    std::memcpy(bytes.data(), PyUnicode_1BYTE_DATA(e.key) + shared,
                                static_cast<size_t>(std::min<Py_ssize_t>(8, length - shared)));
                    uint64_t head = 0;
                    for (unsigned char byte : bytes) head = (head << 8) | byte;
                    e.head = head;
                } else {
                    e.head = key_head(PyUnicode_1BYTE_DATA(e.key), length, shared, 3, 21);
                }
                break;
            case PyUnicode_2BYTE_KIND:
                e.head = key_head(PyUnicode_2BYTE_DATA(e.key), length, shared, 3, 21);
                break;
            default:
                e.head = key_head(PyUnicode_4BYTE_DATA(e.key), length, shared, 3, 21);
                break;
        }
    }
    auto less = [](const SortEntry& a, const SortEntry& b) {
        return a.head != b.head ? a.head < b.head : code_point_less(a.key, b.key);
    };
    if (!std::is_sorted(entries.begin(), entries.end(), less)) std::sort(entries.begin(), entries.end(), less);
}

// A new dictionary with the keys of `dictionary` in ascending order, nested
// dictionaries sorted likewise; everything else (arrays and what they hold
// included) is taken over as it is.
static Ref sorted_copy(Borrowed dictionary) {
    RecursionGuard guard(" while sorting event settings");
    const Py_ssize_t size = PyDict_GET_SIZE(dictionary.get());
    // Allocated first: from here until every item is in it, str keys take
    // no allocation and run no Python code, so the borrowed items stay valid.
    Ref result = presized_dict(size);
    std::vector<SortEntry> entries;
    entries.reserve(static_cast<size_t>(size));
    bool all_str = true, nested = false;
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (all_str && PyDict_Next(dictionary.get(), &pos, &key, &value)) {
        entries.push_back({0, key, value});
        all_str = PyUnicode_CheckExact(key);
        nested = nested || PyDict_Check(value);
    }
    if (all_str) {
        sort_str_entries(entries);
        for (const SortEntry& e : entries) check(PyDict_SetItem(result.get(), e.key, e.value));
    } else {
        // Keys of other types compare through their own methods, which may
        // change the dictionary: each value is looked up after the sort.
        Ref keys = Ref::steal(PyDict_Keys(dictionary.get()));
        check(PyList_Sort(keys.get()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
            PyObject* k = PyList_GET_ITEM(keys.get(), i);
            Ref v = dict_get(dictionary, k);
            if (!v) {
                PyErr_SetObject(PyExc_KeyError, k);  // changed while sorting
                throw PyError{};
            }
            check(PyDict_SetItem(result.get(), k, v.get()));
        }
    }
    // Nested dictionaries are replaced by their sorted copies in place; the
    // result is private, so its items stay as they are meanwhile.
    if (all_str && !nested) return result;
    pos = 0;
    while (PyDict_Next(result.get(), &pos, &key, &value)) {
        if (PyDict_Check(value)) check(PyDict_SetItem(result.get(), key, sorted_copy(value).get()));
    }
    return result;
}

ZELTA_OPERATION(sort_nested_dict) { return sorted_copy(a.dictionary); }

// ---- Section translations -----------------------------------------------------

// Loads the section translation table when section labels are shown in
// Russian. A missing file or invalid JSON keeps the table loaded before.
ZELTA_OPERATION(load_event_section_translations) {
    if (!equal(global(c, c.st.lang), c.st.name_ru)) return none();
    Ref path = getattr(self, c.st.param_ru_translations_file);
    Ref table;
    try {
        table = load_json_file(c, self, path);
    } catch (const PyError&) {
        {
            PendingError pending;
            Ref decode_error = getattr(lazy_module(c, LazyModule::json), c.st.JSONDecodeError);
            if (pending.matches(PyExc_FileNotFoundError) || pending.matches(decode_error)) {
                pending.discard();
                return none();
            }
        }
        throw;
    }
    setattr(self, c.st.event_section_translations, table);
    return none();
}

// "(description)" for a section the table describes, else "". A table or
// entry of another layout than objects describes nothing.
Ref event_section_label(Ctx c, Borrowed self, Borrowed key) {
    Ref table = getattr(self, c.st.event_section_translations);
    if (!PyDict_Check(table.get())) return c.st.empty.copy();
    Ref entry = dict_get(table, key);
    if (!entry || !PyDict_Check(entry.get())) return c.st.empty.copy();
    Ref description = dict_get(entry, c.st.ru);
    if (!description) return c.st.empty.copy();
    Ref text = to_str(description);
    return Ref::steal(PyUnicode_FromFormat("(%U)", text.get()));
}

ZELTA_OPERATION(get_event_section_translation) { return event_section_label(c, self, a.key); }

}  // namespace zelta
