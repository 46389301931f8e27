// Status and settings display: status listings, the settings outline and
// the hand-off of text to the pager.
#include "module.hpp"

namespace zelta {

void page(Ctx c, Borrowed text) {
    Borrowed pydoc = lazy_module(c, LazyModule::pydoc);
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

PyMethodDef display_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zelta
