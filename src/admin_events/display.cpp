// Status and settings display: status listings, the settings outline and
// the hand-off of text to the pager.
#include "module.hpp"

#include <algorithm>

namespace zelta {

void page(Ctx, Borrowed text) {
    // Imported at every hand-off, not kept: what sys.modules holds as pydoc
    // now is what pages, so a front end can put a pager of its own there.
    Ref pydoc = import("pydoc");
    // pipepager writes in the locale's encoding with backslash escapes, takes
    // a pager quit early as normal and waits for the pager to exit.
    Ref pager = Ref::steal_or_null(PyObject_GetAttrString(pydoc.get(), "pipepager"));
    if (!pager) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError{};
        PyErr_Clear();
        pager = getattr(pydoc, "pipe_pager");
    }
    call(pager, text, str("less -R"));
}

// ---- Status listings -------------------------------------------------------

static Ref item(Borrowed container, Borrowed key) { return Ref::steal(PyObject_GetItem(container.get(), key.get())); }

static void append(Borrowed list, Borrowed value) { check(PyList_Append(list.get(), value.get())); }

static Ref join(Borrowed separator, Borrowed pieces) {
    return Ref::steal(PyUnicode_Join(separator.get(), pieces.get()));
}

// The two escapes of the module global Color, as read now.
struct Escapes {
    Ref grey, end;
};
static Escapes escapes(Ctx c) {
    Ref color = global(c, c.st.color);
    return {to_str(getattr(color, c.st.GREY)), to_str(getattr(color, c.st.END))};
}

// The status block of id_list: one line per ID, in list order, joined with
// "\n". Each line is the ID padded to the width of the longest ID plus 10,
// the status text, " " and the grey name. A given new_status marks the IDs
// as groups just switched: it is the status of every line, the names come
// from the group table and the library is not asked. An empty list has an
// empty block.
static Ref status_block(Ctx c, Borrowed self, Borrowed id_list, Borrowed new_status) {
    Ref ids = to_list(id_list);  // a snapshot; None fails as not iterable
    Py_ssize_t count = PyList_GET_SIZE(ids.get());
    if (count == 0) return Ref::borrow(c.st.empty);

    std::vector<Py_ssize_t> lengths(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        Py_ssize_t length = PyObject_Length(PyList_GET_ITEM(ids.get(), i));
        if (length < 0) throw PyError{};
        lengths[static_cast<size_t>(i)] = length;
    }
    // Each line's padding, (longest - own length) + 10, is taken out of one
    // string as long as the widest: lengths are whatever __len__ reports, so
    // nothing may be sized by the longest alone.
    const auto [shortest, longest] = std::minmax_element(lengths.begin(), lengths.end());
    if (*longest - *shortest > PY_SSIZE_T_MAX - 10)
        raise(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");

    const bool given = static_cast<bool>(new_status);
    Ref table = getattr(self, given ? c.st.group_description : c.st.event_description);
    Ref lang = global(c, c.st.lang);
    Escapes color = escapes(c);
    Ref status = given ? to_str(new_status) : Ref();
    Ref space = str(" ");
    Ref padding = Ref::steal(PySequence_Repeat(space.get(), *longest - *shortest + 10));

    Ref pieces = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < count; ++i) {
        Borrowed id = PyList_GET_ITEM(ids.get(), i);
        if (i) append(pieces, c.st.newline);
        append(pieces, to_str(id));
        append(pieces,
               Ref::steal(PyUnicode_Substring(padding.get(), 0, *longest - lengths[static_cast<size_t>(i)] + 10)));
        if (given) {
            append(pieces, status);
        } else {
            append(pieces, to_str(call(library(c, c.st.is_event_enabled), id)));
        }
        append(pieces, space);
        append(pieces, color.grey);
        append(pieces, to_str(item(item(table, id), lang)));
        append(pieces, color.end);
    }
    return join(c.st.empty, pieces);
}

// The header of a group: its name, " ", and its ID in grey.
static Ref group_header(Ctx c, Borrowed self, Borrowed group_id) {
    Ref table = getattr(self, c.st.group_description);
    Ref name = to_str(item(item(table, group_id), global(c, c.st.lang)));
    Escapes color = escapes(c);
    Ref pieces = Ref::steal(PyList_New(0));
    append(pieces, name);
    append(pieces, str(" "));
    append(pieces, color.grey);
    append(pieces, to_str(group_id));
    append(pieces, color.end);
    return join(c.st.empty, pieces);
}

// Pages the listing of the given groups: each group's header above its
// status block, one empty line between groups, a newline at the end.
static void page_group_listing(Ctx c, Borrowed self, Borrowed group_id_list) {
    Ref grouped = call_method(self, c.st.get_grouped_events, group_id_list);
    Ref groups = Ref::steal(PyMapping_Items(grouped.get()));
    Ref result_strings = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(groups.get()); ++i) {
        Borrowed pair = PyList_GET_ITEM(groups.get(), i);
        Ref group_id = Ref::steal(PySequence_GetItem(pair.get(), 0));
        Ref events = Ref::steal(PySequence_GetItem(pair.get(), 1));
        append(result_strings, call_method(self, c.st.get_group_string, group_id));
        append(result_strings, add(call_method(self, c.st.get_multiple_string, events), c.st.newline));
    }
    page(c, join(c.st.newline, result_strings));
}

// show_groups and show_all_groups: a group list of None lists no group.
static void page_groups_of_object(Ctx c, Borrowed self) {
    Ref groups = getattr(self, c.st.group_id_list);
    if (groups.view().is_none()) {
        Ref no_groups = Ref::steal(PyList_New(0));
        page_group_listing(c, self, no_groups);
        return;
    }
    call_method(self, c.st.show_groups_private);
}

ZELTA_OPERATION(get_multiple_string) {
    // Whether a status was passed decides, not its truth; None means none passed.
    Borrowed new_status = a.new_status && !a.new_status.is_none() ? a.new_status : Borrowed();
    return status_block(c, self, a.id_list, new_status);
}

ZELTA_OPERATION(get_group_string) { return group_header(c, self, a.group_id); }

ZELTA_OPERATION(show_groups_private) {
    page_group_listing(c, self, getattr(self, c.st.group_id_list));
    return none();
}

ZELTA_OPERATION(show_groups) {
    page_groups_of_object(c, self);
    return none();
}

ZELTA_OPERATION(show_all_groups) {
    setattr(self, c.st.group_id_list, call(library(c, c.st.get_group_ids)));
    page_groups_of_object(c, self);
    return none();
}

// ---- Event settings display ---------------------------------------------------

// The text of a parameter value: the interpreter's str() of it (so the items
// of arrays and objects show as their repr()), with every ' turned into ".
static Ref value_text(Ctx c, Borrowed value) {
    Ref text = to_str(value);
    Py_ssize_t at = PyUnicode_FindChar(text.get(), '\'', 0, PyUnicode_GET_LENGTH(text.get()), 1);
    if (at == -2) throw PyError{};
    if (at == -1) return text;
    return Ref::steal(PyUnicode_Replace(text.get(), c.st.apostrophe.get(), c.st.double_quote.get(), -1));
}

// The settings outline of one dictionary at a nesting level: a line per
// parameter, a header line with its label per nested dictionary followed by
// its own outline one level further in, and a closing "\n".
ZELTA_OPERATION(get_event_config_string) {
    // Nested dictionaries come back through this method; a dictionary
    // that holds itself must end in RecursionError, not a crash.
    if (Py_EnterRecursiveCall(" while formatting event settings")) throw PyError{};
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;

    Borrowed dictionary = a.dictionary;
    Ref indent = a.indent ? Ref::borrow(a.indent) : integer(0);
    Ref prefix = Ref::steal(PyNumber_Multiply(c.st.indent_unit.get(), indent.get()));
    Ref deeper;
    Ref parts = Ref::steal(PyList_New(0));
    const Py_ssize_t size = PyDict_GET_SIZE(dictionary.get());
    Py_ssize_t pos = 0;
    PyObject *k = nullptr, *v = nullptr;  // borrowed; held below while other code runs
    while (PyDict_Next(dictionary.get(), &pos, &k, &v)) {
        Ref key = Ref::borrow(k), value = Ref::borrow(v);
        if (!PyUnicode_Check(k)) raise_format(PyExc_TypeError, "settings key %R is not a string", k);
        append(parts, prefix);
        append(parts, key);
        if (PyDict_Check(v)) {
            if (!deeper) deeper = Ref::steal(PyNumber_Add(indent.get(), integer(1).get()));
            append(parts, call_method(self, c.st.get_event_section_translation, key));
            append(parts, c.st.colon_newline);
            append(parts, call_method(self, c.st.get_event_config_string, value, deeper));
        } else {
            append(parts, c.st.colon_space);
            append(parts, value_text(c, value));
            append(parts, c.st.newline);
        }
        if (PyDict_GET_SIZE(dictionary.get()) != size)
            raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
    append(parts, c.st.newline);
    return Ref::steal(PyUnicode_Join(c.st.empty.get(), parts.get()));
}

// Pages the settings of the named events, one titled block each, joined by
// an empty line. Every block is built before the pager starts, so a failure
// shows nothing.
ZELTA_OPERATION(show_event) {
    SettingsListingScope listing(c.st);
    call_method(self, c.st.load_event_section_translations);
    Ref blocks = Ref::steal(PyList_New(0));
    Ref ids = getattr(self, c.st.event_id_list);
    if (!ids.view().is_none()) {  // no named events: an empty listing
        Ref snapshot = to_list(ids);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i) {
            Borrowed event_id = PyList_GET_ITEM(snapshot.get(), i);
            Ref settings = call_method(self, c.st.get_event_config, event_id);
            Ref text = call_method(self, c.st.get_event_config_string, settings);
            Ref parts = Ref::steal(PyList_New(0));
            for (Borrowed part :
                 {c.st.title_rule.view(), event_id, c.st.title_rule.view(), c.st.newline.view(), text.view()})
                append(parts, part);
            append(blocks, Ref::steal(PyUnicode_Join(c.st.empty.get(), parts.get())));
        }
    }
    page(c, Ref::steal(PyUnicode_Join(c.st.newline.get(), blocks.get())));
    return none();
}

}  // namespace zelta
