// Module state and the helpers every subsystem uses to reach the class's
// constants, fields and operations, the module globals and the events
// library through ordinary attribute lookup at the moment of use.
#pragma once

#include "operations.hpp"
#include "py.hpp"

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
enum class LazyModule { json, tarfile, os, gzip, hashlib, count };

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

// The name Python sees of each operation, as compile-time text.
namespace operation_names {
#define ZELTA_OPERATION_PYTHON_NAME(name, python_name, ...) inline constexpr char name[] = python_name;
ZELTA_OPERATIONS(ZELTA_OPERATION_PYTHON_NAME, ZELTA_IGNORE, ZELTA_IGNORE)
#undef ZELTA_OPERATION_PYTHON_NAME
}  // namespace operation_names

// Whether `bound`, an attribute just read from self, is the class's own
// method `name` (from operation_names) bound to self: then running its C++
// code directly does exactly what calling it would. An override or a patch
// is anything else.
bool is_own_method(Borrowed bound, Borrowed self, const char* name);

// A new list of the IDs the constructor removed as unknown from the named
// groups or events, in the order met.
Ref unknown_ids(Borrowed self, bool groups);

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
