// Status and settings display: status listings, the settings outline and
// the hand-off of text to the pager.
#include "module.hpp"

namespace zelta {

void page(Ctx c, Borrowed text) {
    Borrowed pydoc = lazy_module(c, LazyModule::pydoc);
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

// ---- Event settings display ---------------------------------------------------

static void append(Borrowed list, Borrowed item) { check(PyList_Append(list.get(), item.get())); }

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
ZELTA_ENTRY(get_event_config_string) {
    return guarded([&] {
        static const std::array<Param, 2> params{{{"dictionary", Expect::Dict}, {"indent", Expect::Int, false}}};
        Bound<2> a = bind("_ZeltaAdminEvents__get_event_config_string", params, args, nargs, kwnames);
        Ctx c = ctx_from_object(self);
        // Nested dictionaries come back through this method; a dictionary
        // that holds itself must end in RecursionError, not a crash.
        if (Py_EnterRecursiveCall(" while formatting event settings")) throw PyError{};
        struct Leave {
            ~Leave() { Py_LeaveRecursiveCall(); }
        } leave;

        Borrowed dictionary = a[0];
        Ref indent = a[1] ? Ref::borrow(a[1]) : integer(0);
        Ref prefix = Ref::steal(PyNumber_Multiply(c.st.indent_unit.get(), indent.get()));
        Ref deeper;
        Ref parts = Ref::steal(PyList_New(0));
        const Py_ssize_t size = PyDict_GET_SIZE(dictionary.get());
        Py_ssize_t pos = 0;
        PyObject *k, *v;  // borrowed; held below while other code runs
        while (PyDict_Next(dictionary.get(), &pos, &k, &v)) {
            Ref key = Ref::borrow(k), value = Ref::borrow(v);
            if (!PyUnicode_Check(k)) {
                PyErr_Format(PyExc_TypeError, "settings key %R is not a string", k);
                throw PyError{};
            }
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
    });
}

// Pages the settings of the named events, one titled block each, joined by
// an empty line. Every block is built before the pager starts, so a failure
// shows nothing.
ZELTA_ENTRY(show_event) {
    return guarded([&] {
        bind_none("show_event", nargs, kwnames);
        Ctx c = ctx_from_object(self);
        SettingsListingScope listing(c.st.listing);
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
                for (Borrowed part : {c.st.title_rule.view(), event_id, c.st.title_rule.view(), c.st.newline.view(),
                                      text.view()})
                    append(parts, part);
                append(blocks, Ref::steal(PyUnicode_Join(c.st.empty.get(), parts.get())));
            }
        }
        page(c, Ref::steal(PyUnicode_Join(c.st.newline.get(), blocks.get())));
        return none();
    });
}

PyMethodDef display_methods[] = {
    {"show_event", ZELTA_FASTCALL(show_event), METH_FASTCALL | METH_KEYWORDS,
     "show_event($self, /)\n--\n\nShow the settings of specified events."},
    {"_ZeltaAdminEvents__get_event_config_string", ZELTA_FASTCALL(get_event_config_string),
     METH_FASTCALL | METH_KEYWORDS,
     "_ZeltaAdminEvents__get_event_config_string($self, dictionary, indent=0)\n--\n\n"
     "Return the settings outline of a dictionary at a nesting level."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zelta
