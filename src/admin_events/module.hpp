// Module state and the helpers every subsystem uses to reach the class's
// constants, fields and operations, the module globals and the events
// library through ordinary attribute lookup at the moment of use.
#pragma once

#include "operations.hpp"
#include "py.hpp"

#include <vector>

namespace zelta {

// Attribute and global names, interned once per module; the names of the
// operations come from ZELTA_OPERATIONS. The mangled names are those the
// Python side sees.
#define ZELTA_NAMES(X)                                                             \
    X(event_id_list, "_ZeltaAdminEvents__event_id_list")                           \
    X(group_id_list, "_ZeltaAdminEvents__group_id_list")                           \
    X(event_section_translations, "_ZeltaAdminEvents__event_section_translations") \
    X(need_daemon_restart, "_ZeltaAdminEvents__need_daemon_restart")               \
    X(event_description, "_ZeltaAdminEvents__event_description")                   \
    X(group_description, "_ZeltaAdminEvents__group_description")                   \
    X(default_config_dir, "_ZeltaAdminEvents__default_config_dir")                 \
    X(current_config_file, "_ZeltaAdminEvents__current_config_file")               \
    X(param_ru_translations_file, "_ZeltaAdminEvents__param_ru_translations_file") \
    X(root_dir, "_ZeltaAdminEvents__root_dir")                                     \
    X(arch, "_ZeltaAdminEvents__arch")                                             \
    X(audit_rules, "_ZeltaAdminEvents__audit_rules")                               \
    X(special_events, "_ZeltaAdminEvents__special_events")                         \
    X(lang, "LANG")                                                                \
    X(underscore, "_")                                                             \
    X(color, "Color")                                                              \
    X(zelta_events, "zelta_events")                                                \
    X(GREY, "GREY")                                                                \
    X(END, "END")                                                                  \
    X(name_en, "name_en")                                                          \
    X(name_ru, "name_ru")                                                          \
    X(ru, "ru")                                                                    \
    X(loads, "loads")                                                              \
    X(JSONDecodeError, "JSONDecodeError")                                          \
    X(read, "read")                                                                \
    X(close, "close")                                                              \
    X(indent_unit, "    ")                                                         \
    X(title_rule, "----------")                                                    \
    X(new_status, "new_status")                                                    \
    X(system, "system")                                                            \
    X(get_event_ids, "get_event_ids")                                              \
    X(get_group_ids, "get_group_ids")                                              \
    X(get_event_ids_ex, "get_event_ids_ex")                                        \
    X(get_group_ids_ex, "get_group_ids_ex")                                        \
    X(is_event_enabled, "is_event_enabled")                                        \
    X(enable_event, "enable_event")                                                \
    X(disable_event, "disable_event")                                              \
    X(set_event_param, "set_event_param")                                          \
    X(facility, "facility")                                                        \
    X(priority, "priority")                                                        \
    X(message_syslog_prefix, "message-syslog-")                                    \
    X(message_audit_rules, "message-audit-rules")                                  \
    X(file_opened, "file-opened")                                                  \
    X(b64, "b64")                                                                  \
    X(dumps, "dumps")                                                              \
    X(ensure_ascii, "ensure_ascii")                                                \
    X(remove, "remove")                                                            \
    X(split, "split")                                                              \
    X(name, "name")                                                                \
    X(endswith, "endswith")                                                        \
    X(tar_open, "open")                                                            \
    X(pax_format, "PAX_FORMAT")                                                    \
    X(addfile, "addfile")                                                          \
    X(exit_context, "__exit__")                                                    \
    X(type, "type")                                                                \
    X(linkname, "linkname")                                                        \
    X(size, "size")                                                                \
    X(mode, "mode")                                                                \
    X(replace, "replace")                                                          \
    X(format, "format")                                                            \
    X(compresslevel, "compresslevel")                                              \
    X(gzip_file, "GzipFile")                                                       \
    X(empty, "")                                                                   \
    X(comma, ",")                                                                  \
    X(colon_space, ": ")                                                           \
    X(newline, "\n")                                                               \
    X(sha256, "sha256")                                                            \
    X(hexdigest, "hexdigest")                                                      \
    X(update, "update")

// Standard modules that only some operations need: imported on first use so
// that loading the module stays cheap.
enum class LazyModule { json, tarfile, os, tempfile, gzip, hashlib, count };

// While show_event, get_event_settings or a settings plan runs, the current
// configuration file is read and parsed once for all the events it reads:
// each event's member is taken out of that one parse (catalogue.cpp). The
// listing belongs to that call and is known only to the thread that runs it.
// Outside a listing, and for an event read twice, the file is read at every
// request.
struct State;
struct SettingsListing {
    const State* owner;          // the module whose show_event runs
    SettingsListing* enclosing;  // a show_event running further up this thread, if any
    Ref path;                    // the file as named when it was read; empty until then
    Ref document;                // its parsed content, less the members already taken
    Ref taken;                   // set of the event IDs whose member was taken
};

// Marks one show_event listing on the running thread for its duration.
class SettingsListingScope {
public:
    explicit SettingsListingScope(const State& owner);
    ~SettingsListingScope();
    SettingsListingScope(const SettingsListingScope&) = delete;
    SettingsListingScope& operator=(const SettingsListingScope&) = delete;

private:
    SettingsListing listing_;
};

#define ZELTA_IGNORE(...)

struct State {
#define ZELTA_NAME_FIELD(field, text) Ref field;
    ZELTA_NAMES(ZELTA_NAME_FIELD)
#define ZELTA_OPERATION_NAME_FIELD(name, python_name, ...) Ref name;
    ZELTA_OPERATIONS(ZELTA_OPERATION_NAME_FIELD, ZELTA_IGNORE, ZELTA_IGNORE)
#undef ZELTA_OPERATION_NAME_FIELD
#undef ZELTA_NAME_FIELD
    Ref cls;  // the ZeltaAdminEvents type
    Ref gettext_module;
    Ref lazy[static_cast<int>(LazyModule::count)];
};

// What an entry point works with: its module and the module's state.
struct Ctx {
    Borrowed module;
    State& st;
};

Ctx ctx_from_type(PyTypeObject* type);
inline Ctx ctx_from_object(PyObject* self) { return ctx_from_type(Py_TYPE(self)); }
// For class-level operations, whose first argument is the class.
inline Ctx ctx_from_class(PyObject* cls) { return ctx_from_type(reinterpret_cast<PyTypeObject*>(cls)); }

// A module global, read at the moment of use (NameError when missing).
Ref global(Ctx c, Borrowed name);
// A function of the events library: zelta_events.NAME, both looked up now.
Ref library(Ctx c, Borrowed function_name);
// A lazily imported standard module.
Borrowed lazy_module(Ctx c, LazyModule which);
// _(msgid), through the module global `_`.
Ref translate(Ctx c, const char* msgid);
// Marks a message ID that reaches print_message() or translate() through a
// variable, so that the catalogue extraction finds it; returns it unchanged.
constexpr const char* N_(const char* msgid) { return msgid; }
// `_(msgid) + ": " + value` (or `_(msgid)` alone when value is empty).
Ref message_text(Ctx c, const char* msgid, Borrowed value = {});
// _(msgid) with each placeholder ("{name}") in it replaced by its text.
// The message ID travels through a variable: mark it with N_().
Ref translate_with(Ctx c, const char* msgid, std::initializer_list<std::pair<const char*, Borrowed>> values);
// Prints message_text(c, msgid, value) as one line.
void print_message(Ctx c, const char* msgid, Borrowed value = {});

// Whether `bound`, an attribute just read from self, is the class's own
// method `name` bound to self: then running its C++ code directly does
// exactly what calling it would. An override or a patch is anything else.
bool is_own_method(Borrowed bound, Borrowed self, const char* name);

// The section label of a settings key, "(description)" or "" (catalogue.cpp).
Ref event_section_label(Ctx c, Borrowed self, Borrowed key);

// The library's event ID list as last seen within one operation that lists
// many groups, and the set of its IDs. It lives in that operation's call.
struct EventIdMemo {
    Ref items;  // a tuple of the list's items
    Ref set;
};

// self.__get_events_by_group_id(group_id); while that is the class's own
// method, its work is done here with the operation's memo (catalogue.cpp).
Ref events_of_group(Ctx c, Borrowed self, Borrowed group_id, EventIdMemo& memo);

// The two files an event's effective settings come from: its default
// settings and its member of the current configuration file (empty when it
// has none), with the group whose directory holds it. An event in no group
// and a missing current configuration file fail, unless lenient says
// otherwise: then the first has no defaults, and the second is taken for a
// file without members, as the events library takes it when it writes the
// first change.
struct SettingsParts {
    Ref defaults, current, group;
};
enum SettingsLeniency : unsigned { lenient_no_group = 1, lenient_missing_current = 2 };
SettingsParts event_settings_parts(Ctx c, Borrowed self, Borrowed event_id, unsigned lenient = 0);
// The effective settings: current over defaults (defaults are changed in
// place), sorted through the class's __sort_nested_dict.
Ref merged_settings(Ctx c, Borrowed self, Borrowed defaults, Borrowed current);

// A new list of the IDs the constructor removed as unknown from the named
// groups or events, in the order met.
Ref unknown_ids(Borrowed self, bool groups);

// zelta_events.is_event_enabled(event_id), as listings show it.
Ref event_state(Ctx c, Borrowed event_id);
// table[id][key]: the name of an ID in a description table, in the language
// that key (the value of LANG) picks.
Ref described_name(Borrowed table, Borrowed id, Borrowed key);

// A value for set_properties into a section, checked as the operation
// checks it before anything is written: either the line that refuses it, or
// the decoded value with the events it goes to and, for the file-watching
// ones, their audit rules value (JSON text; empty for the others).
struct PropertyChange {
    Ref refusal;
    Ref decoded;
    Ref events;
    std::vector<Ref> audit_rules;
};
PropertyChange prepare_property_change(Ctx c, Borrowed self, Borrowed section, Borrowed value);

// The files and directories import_config would create or replace from the
// archive, after the checks the import makes (transfer.cpp). When the import
// would refuse the archive, error holds the line it would print and the list
// is empty.
Ref import_changes(Ctx c, Borrowed self, Borrowed input_file, bool texts, Ref& error);

// Shows text through the pager "less -R" and waits for it to exit.
void page(Ctx, Borrowed text);

// Sets the audit rule builders up as module-bound callables.
Ref make_audit_rule_builders(Borrowed module);

}  // namespace zelta

namespace zelta {

// The arguments of each operation, one Borrowed field per parameter.
namespace arguments {
#define ZELTA_ARGUMENT_FIELD(param, ...) Borrowed param;
#define ZELTA_ARGUMENTS(name, python_name, kind, parameters, doc) \
    struct name {                                                 \
        parameters                                                \
    };
ZELTA_OPERATIONS(ZELTA_ARGUMENTS, ZELTA_ARGUMENT_FIELD, ZELTA_ARGUMENT_FIELD)
#undef ZELTA_ARGUMENTS
#undef ZELTA_ARGUMENT_FIELD
}  // namespace arguments

// The bodies of the operations: the receiver (the object, or the class of a
// class-level operation) and the bound arguments. They return the result.
namespace operations {
#define ZELTA_DECLARE_OPERATION(name, ...) Ref name(Ctx c, Borrowed self, const arguments::name& a);
ZELTA_OPERATIONS(ZELTA_DECLARE_OPERATION, ZELTA_IGNORE, ZELTA_IGNORE)
#undef ZELTA_DECLARE_OPERATION
}  // namespace operations

}  // namespace zelta

// Opens the definition of an operation's body, within namespace zelta.
#define ZELTA_OPERATION(name)                                                    \
    Ref operations::name([[maybe_unused]] Ctx c, [[maybe_unused]] Borrowed self, \
                         [[maybe_unused]] const arguments::name& a)
