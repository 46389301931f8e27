// Every operation of ZeltaAdminEvents, declared once. The method table, the
// argument binding, the interned name each operation is called by and the
// module's `_operations` table are all generated from this list.
//
// An operation is declared as
//     OP(name, python_name, kind, parameters, documentation)
// name        the C++ name: its body is ZELTA_OPERATION(name) { ... } in the
//             subsystem's file, its arguments arrive as the fields a.PARAM,
//             and c.st.name holds python_name interned
// python_name the name Python sees; ZELTA_PRIVATE(x) gives "_ZeltaAdminEvents__x"
// kind        method (called on an object), class_method (on the class or an
//             object, receives the class), class_method_positional (the
//             same, keywords refused), constructor (the class's __init__)
// parameters  side by side, no commas between them: ARG(param, Expect)
//             for a required one, OPT(param, Expect, "default") for one that
//             may be left out (its field is then a null Borrowed)
// documentation  the docstring after the generated signature line
#pragma once

#define ZELTA_PRIVATE(name) "_ZeltaAdminEvents__" #name

#define ZELTA_OPERATIONS(OP, ARG, OPT)                                                                                 \
    /* Module frame and administrator object */                                                                        \
    OP(init, "ZeltaAdminEvents", constructor, ARG(event_id_list, List) ARG(group_id_list, List),                       \
       "Administration of the events recorded by the syslog-ng zelta module.\n\n"                                      \
       "Construct one object per invocation from the event IDs and group IDs the\n"                                    \
       "user named; IDs that the events library does not list are removed from\n"                                      \
       "the lists and reported.")                                                                                      \
    OP(prepare_groups, ZELTA_PRIVATE(prepare_groups), method, , "Validate specified group IDs.")                       \
    OP(prepare_events, ZELTA_PRIVATE(prepare_events), method, , "Validate specified event IDs.")                       \
    /* Event catalogue */                                                                                              \
    OP(get_all_event_description, ZELTA_PRIVATE(get_all_event_description), class_method, ,                            \
       "Return the English and Russian names of all events.")                                                          \
    OP(get_all_group_description, ZELTA_PRIVATE(get_all_group_description), class_method, ,                            \
       "Return the English and Russian names of all groups.")                                                          \
    OP(get_events_by_group_id, ZELTA_PRIVATE(get_events_by_group_id), class_method, ARG(group_id, Str),                \
       "Return the event IDs of a group, in directory listing order.")                                                 \
    OP(get_grouped_events, ZELTA_PRIVATE(get_grouped_events), method, ARG(group_id_list, List),                        \
       "Return the groups with their sorted event IDs, groups in ascending order.")                                    \
    OP(get_event_group, ZELTA_PRIVATE(get_event_group), method, ARG(event_id, Str),                                    \
       "Return the group that holds the event, or None.")                                                              \
    OP(get_event_config, ZELTA_PRIVATE(get_event_config), method, ARG(event_id, Str),                                  \
       "Return the effective settings of an event: its default settings\n"                                             \
       "overlaid with the current configuration, keys sorted at every level.")                                         \
    OP(sort_nested_dict, ZELTA_PRIVATE(sort_nested_dict), class_method, ARG(dictionary, Dict),                         \
       "Return a copy of the dictionary with its keys sorted at every level.")                                         \
    OP(load_event_section_translations, ZELTA_PRIVATE(load_event_section_translations), method, ,                      \
       "Load the Russian section descriptions when LANG is name_ru.")                                                  \
    OP(get_event_section_translation, ZELTA_PRIVATE(get_event_section_translation), method, ARG(key, Str),             \
       "Return the section label \"(description)\", or \"\" when there is none.")                                      \
    /* Event changes */                                                                                                \
    OP(enable, "enable", method, , "Enable specified IDs.")                                                            \
    OP(disable, "disable", method, , "Disable specified IDs.")                                                         \
    OP(process_ids, ZELTA_PRIVATE(process_ids), method, ARG(action, Any),                                              \
       "Process specified events and groups using the provided action.")                                               \
    OP(process_group, ZELTA_PRIVATE(process_group), method, ARG(group_id, Str) ARG(action, Any),                       \
       "Process all events of the specified group using the provided action.")                                         \
    OP(process_event, ZELTA_PRIVATE(process_event), method, ARG(event_id, Str) ARG(action, Any),                       \
       "Process specified events using the provided action.")                                                          \
    OP(restart_daemons, "restart_daemons", method, , "Restart daemons if necessary.")                                  \
    OP(set_facility, "set_facility", method, ARG(facility, Str), "Set the facility of specified IDs.")                 \
    OP(set_priority, "set_priority", method, ARG(priority, Str), "Set the priority of specified IDs.")                 \
    OP(set_syslog_message_param, ZELTA_PRIVATE(set_syslog_message_param), method,                                      \
       ARG(param_type, Str) ARG(param_value, Str),                                                                     \
       "Set the parameter message-syslog-PARAM_TYPE of specified IDs to PARAM_VALUE.")                                 \
    OP(set_properties, "set_properties", method, ARG(section, Str) ARG(parameter, Str) ARG(value, Str),                \
       "Set properties of the specified events.")                                                                      \
    OP(process_path_value, ZELTA_PRIVATE(process_path_value), method, ARG(event_id, Str) ARG(value, Any),              \
       "Process the path string for special events (for audit).")                                                      \
    /* Status and settings display */                                                                                  \
    OP(show_all_groups, "show_all_groups", method, ,                                                                   \
       "Show the status of all groups and their events through the pager.")                                            \
    OP(show_groups, "show_groups", method, ,                                                                           \
       "Show the status of the specified groups and their events through the pager.")                                  \
    OP(show_groups_private, ZELTA_PRIVATE(show_groups), method, ,                                                      \
       "Build the status listing of the object's groups and show it through the pager.")                               \
    OP(get_multiple_string, ZELTA_PRIVATE(get_multiple_string), method,                                                \
       ARG(id_list, List) OPT(new_status, Any, "None"),                                                                \
       "Return the aligned status lines of the IDs.\n\n"                                                               \
       "Without new_status the state of each event comes from the events library\n"                                    \
       "and its name from the event table; with one, every line shows new_status\n"                                    \
       "and the group's name.")                                                                                        \
    OP(get_group_string, ZELTA_PRIVATE(get_group_string), method, ARG(group_id, Str),                                  \
       "Return the header line of a group: its name and its ID in grey.")                                              \
    OP(show_event, "show_event", method, , "Show the settings of specified events.")                                   \
    OP(get_event_config_string, ZELTA_PRIVATE(get_event_config_string), method,                                        \
       ARG(dictionary, Dict) OPT(indent, Int, "0"), "Return the settings outline of a dictionary at a nesting level.") \
    /* Configuration transfer */                                                                                       \
    OP(export_config, "export_config", class_method_positional, ARG(file_path, Str),                                   \
       "Export the configuration files into the archive file_path (.tar.gz).")                                         \
    OP(import_config, "import_config", method, ARG(input_file, Str),                                                   \
       "Import the configuration files from an archive made by export_config.")                                        \
    OP(write_config_archive, "write_config_archive", class_method_positional, ARG(file_path, Str),                     \
       "Export the configuration files into the archive file_path (.tar.gz) and\n"                                     \
       "return its name; a failure is raised, nothing is printed.")                                                    \
    OP(import_config_archive, "import_config_archive", method, ARG(input_file, Str),                                   \
       "Import the configuration files as import_config() does and return what\n"                                      \
       "changed and what was skipped; a failure is raised, nothing is printed.")                                       \
    /* Data for scripts */                                                                                             \
    OP(get_unknown_ids, "get_unknown_ids", method, ,                                                                   \
       "Return the named IDs that the constructor removed as unknown:\n"                                               \
       "{\"events\": [...], \"groups\": [...]}.")                                                                      \
    OP(get_status, "get_status", method, OPT(all_groups, Any, "False"),                                                \
       "Return the named groups (every group with all_groups) with the state of\n"                                     \
       "their events, and the state of the named events, as data.")                                                    \
    OP(get_event_settings, "get_event_settings", method, ,                                                             \
       "Return the effective settings of each named event, as data.")                                                  \
    OP(plan_enable, "plan_enable", method, , "Return what enable() would switch, changing nothing.")                   \
    OP(plan_disable, "plan_disable", method, , "Return what disable() would switch, changing nothing.")                \
    OP(plan_set_facility, "plan_set_facility", method, ARG(facility, Str),                                             \
       "Return what set_facility() would change, changing nothing.")                                                   \
    OP(plan_set_priority, "plan_set_priority", method, ARG(priority, Str),                                             \
       "Return what set_priority() would change, changing nothing.")                                                   \
    OP(plan_set_properties, "plan_set_properties", method, ARG(section, Str) ARG(parameter, Str) ARG(value, Str),      \
       "Return what set_properties() would change, audit rules included, changing nothing.")                           \
    OP(plan_import_config, "plan_import_config", method, ARG(input_file, Str) OPT(texts, Any, "False"),                \
       "Return the files import_config() would create or replace, changing nothing.")
