// Status and settings display: status listings, the settings outline and
// the hand-off of text to the pager.
#include "module.hpp"

namespace zelta {

PyMethodDef display_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zelta
