// Configuration transfer: export of the module's configuration files into a
// gzip-compressed tar archive and import of such an archive onto the root.
//
// Both run as root on production hosts, and every path below the root is
// resolved inside it. Export (export.cpp) writes the archive to a temporary
// file that is renamed into place only when complete. Import (import.cpp)
// reads the archive once, as one stream (archive_reader.cpp): each member is
// checked against the limits, the layout export writes (archive_format.cpp)
// and the tree as it stands, and each file is staged beside its
// destination. Only when the whole archive has passed are the staged files
// renamed into place (import_commit.cpp), all or nothing, under the events
// library's lock on the configuration file.
//
// This file holds the operations: what they print, return and raise.
#include "transfer.hpp"
#include "files.hpp"

#include <utility>

namespace zelta {

namespace transfer {

Ref interned(const char* name) { return Ref::steal(PyUnicode_InternFromString(name)); }

void set_attr(Borrowed object, const char* name, Borrowed value) { setattr(object, interned(name), value); }

[[noreturn]] void refuse_member(const char* what, std::string_view name) {
    raise_format(PyExc_ValueError, "%s: %R", what, fs_text(name).get());
}

}  // namespace transfer

namespace {

using namespace transfer;

// Runs the work of export or import. An ordinary error (Exception) ends it
// and gives the one line that reports it; other exceptions pass through to
// the caller. Empty when the work succeeded.
template <typename Work>
Ref failure_line(Ctx c, const char* msgid, Work&& work) {
    try {
        work();
        return Ref();
    } catch (...) {
        set_error_from_current_exception();
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyError{};
    Ref error = take_exception();
    return message_text(c, msgid, to_str(error));
}

// Runs the work and prints the line of its failure, if any.
template <typename Work>
void reporting_failure(Ctx c, const char* msgid, Work&& work) {
    if (Ref line = failure_line(c, msgid, std::forward<Work>(work))) print_line(line);
}

// {"changed", "changes", "skipped", "error"}: the files and directories the
// import creates or replaces, in archive order, and the members it skips; a
// refused import changes and skips nothing.
Ref import_report(Ref changes, Ref skipped, Borrowed error) {
    Ref report = Ref::steal(PyDict_New());
    set_item(report, "changed", boolean(!error && PyList_GET_SIZE(changes.get()) > 0));
    if (error) changes = Ref::steal(PyList_New(0)), skipped = Ref::steal(PyList_New(0));
    set_item(report, "changes", changes);
    set_item(report, "skipped", skipped);
    set_item(report, "error", error ? error : Borrowed(Py_None));
    return report;
}

}  // namespace

ZELTA_OPERATION(export_config) {
    reporting_failure(c, N_("Error exporting configuration"), [&] {
        export_configuration(c, self, a.file_path);
        print_message(c, "Configuration exported");
    });
    return none();
}

ZELTA_OPERATION(write_config_archive) { return export_configuration(c, self, a.file_path); }

ZELTA_OPERATION(import_config) {
    reporting_failure(c, N_("Error importing configuration"), [&] { import_configuration(c, self, a.input_file); });
    return none();
}

ZELTA_OPERATION(import_config_archive) {
    ImportResult result = import_reporting(c, self, a.input_file);
    Ref report = import_report(std::move(result.changes), std::move(result.skipped), {});
    set_item(report, "notes", result.notes);
    if (truth(dict_get(report, str("changed")))) setattr(self, c.st.need_daemon_restart, Py_True);
    return report;
}

ZELTA_OPERATION(plan_import_config) {
    ImportResult result;
    Ref error = failure_line(c, N_("Error importing configuration"),
                             [&] { result = plan_import(c, self, a.input_file, a.texts && truth(a.texts)); });
    return import_report(std::move(result.changes), std::move(result.skipped), error);
}

}  // namespace zelta
