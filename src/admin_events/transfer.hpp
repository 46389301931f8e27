// The parts of configuration transfer (export.cpp, import.cpp and the
// files they build on) and what they share; transfer.cpp holds the
// operations themselves.
#pragma once

#include "archive_format.hpp"  // the layout and the limits, which other subsystems apply too
#include "module.hpp"

#include <string_view>

namespace zelta::transfer {

// An attribute name as one interned string: a fresh string at every call
// would take a new slot of the type attribute cache each time.
Ref interned(const char* name);
void set_attr(Borrowed object, const char* name, Borrowed value);
// Raises ValueError("<what>: <repr of the member name>").
[[noreturn]] void refuse_member(const char* what, std::string_view name);

// Writes the archive of the configuration files and returns its file name.
Ref export_configuration(Ctx c, Borrowed cls, Borrowed file_path);

// Imports the archive, printing the lines import_config prints but its last.
void import_configuration(Ctx c, Borrowed self, Borrowed input_file);

// What an import did or would do: the files and directories it creates or
// replaces with other content, in archive order, the members it skips
// (lists of dicts) and the extended attributes it could not keep.
struct ImportResult {
    Ref changes, skipped, notes;
};
// Imports the archive printing nothing.
ImportResult import_reporting(Ctx c, Borrowed self, Borrowed input_file);
// The same checks, nothing written.
ImportResult plan_import(Ctx c, Borrowed self, Borrowed input_file, bool texts);

}  // namespace zelta::transfer
