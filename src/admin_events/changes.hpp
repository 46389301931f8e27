// Event changes as the plans and the module frame reach them.
#pragma once

#include "module.hpp"

#include <vector>

namespace zelta {

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

// Sets the audit rule builders up as module-bound callables.
Ref make_audit_rule_builders(Borrowed module);

}  // namespace zelta
