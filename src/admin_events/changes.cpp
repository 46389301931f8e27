// Event changes: enabling and disabling, daemon restart, syslog message
// parameters, event properties and the audit rules of the file-watching events.
#include "module.hpp"

namespace zelta {

// ---- Audit rule builders ---------------------------------------------------

// The system-call rule that watches openings of path P on one architecture;
// aarch64 has no open system call, only openat.
std::string audit_syscall_rule(std::string_view arch, std::string_view path) {
    std::string line = "-a always,exit -F arch=";
    line.append(arch).append(" -F path=").append(path);
    line.append(arch == "aarch64" ? " -S openat -k " : " -S open,openat -k ").append(path);
    return line;
}

// A builder: the architecture key is the function's bound self, its one
// argument the path, converted to text.
static PyObject* audit_rule_builder(PyObject* arch, PyObject* path) {
    return guarded([&] {
        Ref text = to_str(path);
        return str(audit_syscall_rule(utf8(arch), utf8(text)));
    });
}

static PyMethodDef audit_builder_def = {
    "audit_rule", audit_rule_builder, METH_O,
    "audit_rule(path, /)\n--\n\nReturn the audit rule line that records openings of path."};

Ref make_audit_rule_builders(Borrowed module) {
    Ref table = Ref::steal(PyDict_New());
    Ref module_name = getattr(module, "__name__");
    for (const char* arch : {"b64", "x86_64", "aarch64", "armv7l"}) {
        Ref key = str(arch);
        Ref builder = Ref::steal(PyCFunction_NewEx(&audit_builder_def, key.get(), module_name.get()));
        check(PyDict_SetItem(table.get(), key.get(), builder.get()));
    }
    return table;
}

PyMethodDef changes_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zelta
