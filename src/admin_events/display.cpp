// Status and settings display: status listings, the settings outline and
// the hand-off of text to the pager.
#include "catalogue.hpp"
#include "module.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <string_view>
#include <vector>

namespace zelta {

// Shows text through the pager "less -R" and waits for it to exit.
static void page(Ctx, Borrowed text) {
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
            append(pieces, to_str(event_state(c, id)));
        }
        append(pieces, space);
        append(pieces, color.grey);
        append(pieces, to_str(described_name(table, id, lang)));
        append(pieces, color.end);
    }
    return join(c.st.empty, pieces);
}

// The header of a group: its name, " ", and its ID in grey.
static Ref group_header(Ctx c, Borrowed self, Borrowed group_id) {
    Ref table = getattr(self, c.st.group_description);
    Ref name = to_str(described_name(table, group_id, global(c, c.st.lang)));
    Escapes color = escapes(c);
    return concat({name, " ", color.grey, to_str(group_id), color.end});
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

// repr() of a float as the interpreter writes it: the shortest digits that
// read back as the same double, in plain decimal form (integral values end
// in ".0") while the decimal exponent lies in [-4, 16), in exponent form
// ("1e+16", "1.5e-05") outside it; "inf", "-inf" and "nan".
static std::string_view float_repr(double x, std::array<char, 40>& buffer) {
    char* out = buffer.data();
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
    if (std::signbit(x)) {
        *out++ = '-';
        x = -x;
    }
    // Shortest round-trip digits in scientific form: "d[.ddd]e[+-]XX".
    std::array<char, 32> sci{};
    auto [end, ec] = std::to_chars(sci.data(), sci.data() + sci.size(), x, std::chars_format::scientific);
    (void)ec;  // 32 characters hold any double
    const char* e = std::find(sci.data(), end, 'e');
    std::array<char, 20> digits{};
    size_t count = 0;
    for (const char* p = sci.data(); p < e; ++p)
        if (*p != '.') digits[count++] = *p;
    int exponent = 0;
    std::from_chars(e + (e[1] == '+' ? 2 : 1), end, exponent);
    const int point = exponent + 1;  // digits before the decimal point
    auto put = [&](std::string_view text) { out = std::copy(text.begin(), text.end(), out); };
    const std::string_view all(digits.data(), count);
    if (point > -4 && point <= 16) {
        if (point <= 0) {
            put("0.");
            out = std::fill_n(out, -point, '0');
            put(all);
        } else if (static_cast<size_t>(point) >= count) {
            put(all);
            out = std::fill_n(out, static_cast<size_t>(point) - count, '0');
            put(".0");
        } else {
            put(all.substr(0, static_cast<size_t>(point)));
            *out++ = '.';
            put(all.substr(static_cast<size_t>(point)));
        }
    } else {
        *out++ = all[0];
        if (count > 1) {
            *out++ = '.';
            put(all.substr(1));
        }
        *out++ = 'e';
        *out++ = exponent < 0 ? '-' : '+';
        int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude < 10) *out++ = '0';
        out = std::to_chars(out, buffer.data() + buffer.size(), magnitude).ptr;
    }
    return {buffer.data(), static_cast<size_t>(out - buffer.data())};
}

namespace {

// Text built in one buffer of code points; the str is made in its narrowest
// kind at the end.
class TextBuffer {
public:
    size_t size() const { return units_.size(); }
    void put(Py_UCS4 ch) { units_.push_back(ch); }
    void put(std::string_view ascii) { units_.insert(units_.end(), ascii.begin(), ascii.end()); }
    void put_str(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
        check(PyUnicode_READY(text));
#endif
        const void* data = PyUnicode_DATA(text);
        const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
        switch (PyUnicode_KIND(text)) {
            case PyUnicode_1BYTE_KIND:
                append(static_cast<const Py_UCS1*>(data), length);
                break;
            case PyUnicode_2BYTE_KIND:
                append(static_cast<const Py_UCS2*>(data), length);
                break;
            default:
                append(static_cast<const Py_UCS4*>(data), length);
                break;
        }
    }
    // Every ' from position `from` on becomes ".
    void replace_apostrophes(size_t from) {
        std::replace(units_.begin() + static_cast<std::ptrdiff_t>(from), units_.end(), Py_UCS4{'\''}, Py_UCS4{'"'});
    }
    Ref finish() const {
        return Ref::steal(
            PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, units_.data(), static_cast<Py_ssize_t>(units_.size())));
    }

private:
    template <typename Unit>
    void append(const Unit* data, size_t length) {
        units_.insert(units_.end(), data, data + length);
    }
    std::vector<Py_UCS4> units_;
};

// Marks a container as being written, as repr() does, so that one holding
// itself shows as [...] or {...}; `entered` is false when it already was.
class ReprScope {
public:
    explicit ReprScope(PyObject* container) : container_(container) {
        int r = Py_ReprEnter(container);
        if (r < 0) throw PyError{};
        entered = r == 0;
    }
    ~ReprScope() {
        if (entered) Py_ReprLeave(container_);
    }
    ReprScope(const ReprScope&) = delete;
    ReprScope& operator=(const ReprScope&) = delete;
    bool entered = false;

private:
    PyObject* container_;
};

// Writes the settings outline. The values of the kinds JSON gives (exact
// str, int, float, bool, None, lists and dictionaries of them) are written
// straight into the buffer, exactly as str() and repr() would write them;
// any other object is asked for its own str() or repr(). Nested
// dictionaries are written by this same writer while the object's
// formatting and labelling methods are the module's own; an overridden one
// is called and its text taken.
class OutlineWriter {
public:
    OutlineWriter(Ctx c, Borrowed self) : c_(c), self_(self) {}

    // The outline of one dictionary at the nesting level `indent`.
    void outline(Borrowed dictionary, Borrowed indent) {
        // A dictionary that holds itself must end in RecursionError, not a crash.
        RecursionGuard guard(" while formatting event settings");
        Ref prefix = Ref::steal(PyNumber_Multiply(c_.st.indent_unit.get(), indent.get()));
        Ref deeper;
        const Py_ssize_t size = PyDict_GET_SIZE(dictionary.get());
        Py_ssize_t pos = 0;
        PyObject *k = nullptr, *v = nullptr;  // borrowed; held below while other code runs
        while (PyDict_Next(dictionary.get(), &pos, &k, &v)) {
            Ref key = Ref::borrow(k), value = Ref::borrow(v);
            if (!PyUnicode_Check(k)) {
                PyErr_Format(PyExc_TypeError, "settings key %R is not a string", k);
                throw PyError{};
            }
            out_.put_str(prefix.get());
            out_.put_str(k);
            if (PyDict_Check(v)) {
                if (!deeper) deeper = Ref::steal(PyNumber_Add(indent.get(), integer(1).get()));
                put_text(section_label(key));
                out_.put(":\n");
                Ref format = getattr(self_, c_.st.get_event_config_string);
                if (is_own_method(format, self_, operation_names::get_event_config_string)) {
                    outline(value, deeper);
                } else {
                    put_text(call(format, value, deeper));
                }
            } else {
                out_.put(": ");
                value_text(value);
                out_.put('\n');
            }
            if (PyDict_GET_SIZE(dictionary.get()) != size)
                raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
        out_.put('\n');
    }

    Ref finish() const { return out_.finish(); }

private:
    Ref section_label(Borrowed key) {
        Ref label = getattr(self_, c_.st.get_event_section_translation);
        if (is_own_method(label, self_, operation_names::get_event_section_translation))
            return event_section_label(c_, self_, key);
        return call(label, key);
    }

    // Text that an operation returned, which must be a str.
    void put_text(Borrowed text) {
        if (!PyUnicode_Check(text.get())) {
            PyErr_Format(PyExc_TypeError, "expected str instance, %.80s found", Py_TYPE(text.get())->tp_name);
            throw PyError{};
        }
        out_.put_str(text.get());
    }

    // str() of a parameter value, with every ' turned into ".
    void value_text(Borrowed value) {
        const size_t start = out_.size();
        PyObject* v = value.get();
        if (PyUnicode_CheckExact(v)) {
            out_.put_str(v);
        } else if (PyList_CheckExact(v)) {
            list_repr(v);
        } else if (!put_scalar(v)) {
            put_text(to_str(value));
        }
        out_.replace_apostrophes(start);
    }

    // None, bool, exact int and exact float: their str() and repr() agree.
    bool put_scalar(PyObject* v) {
        if (v == Py_None) {
            out_.put("None");
        } else if (PyBool_Check(v)) {
            out_.put(v == Py_True ? "True" : "False");
        } else if (PyLong_CheckExact(v)) {
            int overflow = 0;
            long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (overflow) {
                put_text(to_str(v));  // beyond 64 bits; str() also applies its digit limit
            } else {
                if (n == -1 && PyErr_Occurred()) throw PyError{};
                std::array<char, 24> digits{};
                auto end = std::to_chars(digits.data(), digits.data() + digits.size(), n).ptr;
                out_.put(std::string_view(digits.data(), static_cast<size_t>(end - digits.data())));
            }
        } else if (PyFloat_CheckExact(v)) {
            std::array<char, 40> buffer{};
            out_.put(float_repr(PyFloat_AS_DOUBLE(v), buffer));
        } else {
            return false;
        }
        return true;
    }

    void repr(Borrowed value) {
        PyObject* v = value.get();
        if (PyUnicode_CheckExact(v)) {
            str_repr(v);
        } else if (PyList_CheckExact(v)) {
            list_repr(v);
        } else if (PyDict_CheckExact(v)) {
            dict_repr(v);
        } else if (!put_scalar(v)) {
            out_.put_str(Ref::steal(PyObject_Repr(v)).get());
        }
    }

    void list_repr(PyObject* list) {
        if (PyList_GET_SIZE(list) == 0) return out_.put("[]");
        ReprScope scope(list);
        if (!scope.entered) return out_.put("[...]");
        out_.put('[');
        // The size is read again at every item: an item's own repr() may change the list.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            if (i) out_.put(", ");
            Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
            RecursionGuard guard(" while getting the repr of an object");
            repr(item);
        }
        out_.put(']');
    }

    void dict_repr(PyObject* dict) {
        if (PyDict_GET_SIZE(dict) == 0) return out_.put("{}");
        ReprScope scope(dict);
        if (!scope.entered) return out_.put("{...}");
        out_.put('{');
        Py_ssize_t pos = 0;
        PyObject *k = nullptr, *v = nullptr;
        bool first = true;
        while (PyDict_Next(dict, &pos, &k, &v)) {
            Ref key = Ref::borrow(k), value = Ref::borrow(v);
            if (!first) out_.put(", ");
            first = false;
            RecursionGuard guard(" while getting the repr of an object");
            repr(key);
            out_.put(": ");
            repr(value);
        }
        out_.put('}');
    }

    // repr() of an exact str: in single quotes, or in double quotes when it
    // holds a ' and no "; backslash escapes for the quote, \, \t, \n, \r and
    // the characters that are not printable.
    void str_repr(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
        check(PyUnicode_READY(text));
#endif
        const int kind = PyUnicode_KIND(text);
        const void* data = PyUnicode_DATA(text);
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        bool apostrophe = false, quote = false;
        for (Py_ssize_t i = 0; i < length; ++i) {
            Py_UCS4 ch = PyUnicode_READ(kind, data, i);
            apostrophe = apostrophe || ch == '\'';
            quote = quote || ch == '"';
        }
        const Py_UCS4 delimiter = apostrophe && !quote ? Py_UCS4{'"'} : Py_UCS4{'\''};
        static constexpr char hex[] = "0123456789abcdef";
        auto escape = [&](char letter, Py_UCS4 ch, int width) {
            out_.put('\\');
            out_.put(static_cast<Py_UCS4>(letter));
            for (int shift = (width - 1) * 4; shift >= 0; shift -= 4)
                out_.put(static_cast<Py_UCS4>(hex[(ch >> shift) & 0xf]));
        };
        out_.put(delimiter);
        for (Py_ssize_t i = 0; i < length; ++i) {
            Py_UCS4 ch = PyUnicode_READ(kind, data, i);
            if (ch == delimiter || ch == '\\') {
                out_.put('\\');
                out_.put(ch);
            } else if (ch == '\t') {
                out_.put("\\t");
            } else if (ch == '\n') {
                out_.put("\\n");
            } else if (ch == '\r') {
                out_.put("\\r");
            } else if (ch >= ' ' && (ch < 0x7f || Py_UNICODE_ISPRINTABLE(ch))) {
                out_.put(ch);
            } else if (ch <= 0xff) {
                escape('x', ch, 2);
            } else if (ch <= 0xffff) {
                escape('u', ch, 4);
            } else {
                escape('U', ch, 8);
            }
        }
        out_.put(delimiter);
    }

    Ctx c_;
    Borrowed self_;
    TextBuffer out_;
};

}  // namespace

// The settings outline of one dictionary at a nesting level: a line per
// parameter, a header line with its label per nested dictionary followed by
// its own outline one level further in, and a closing "\n".
ZELTA_OPERATION(get_event_config_string) {
    Ref indent = a.indent ? Ref::borrow(a.indent) : integer(0);
    OutlineWriter writer(c, self);
    writer.outline(a.dictionary, indent);
    return writer.finish();
}

// Pages the settings of the named events, one titled block each, joined by
// an empty line. Every block is built before the pager starts, so a failure
// shows nothing.
ZELTA_OPERATION(show_event) {
    SettingsListingScope listing(c.st);
    call_method(self, c.st.load_event_section_translations);
    Ref blocks = Ref::steal(PyList_New(0));
    Ref ids = list_field(self, c.st.event_id_list);  // no named events: an empty listing
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ids.get()); ++i) {
        Borrowed event_id = PyList_GET_ITEM(ids.get(), i);
        Ref settings = call_method(self, c.st.get_event_config, event_id);
        Ref text = call_method(self, c.st.get_event_config_string, settings);
        Ref parts = Ref::steal(PyList_New(0));
        for (Borrowed part :
             {c.st.title_rule.view(), event_id, c.st.title_rule.view(), c.st.newline.view(), text.view()})
            append(parts, part);
        append(blocks, Ref::steal(PyUnicode_Join(c.st.empty.get(), parts.get())));
    }
    page(c, Ref::steal(PyUnicode_Join(c.st.newline.get(), blocks.get())));
    return none();
}

}  // namespace zelta
