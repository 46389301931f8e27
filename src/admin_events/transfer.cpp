// Configuration transfer: export of the configuration files into an
// archive and import from one.
#include "module.hpp"

namespace zelta {

PyMethodDef transfer_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zelta
