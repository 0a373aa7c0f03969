// The handled-exception hand-over used by the methods' except clauses.
#include "runtime/exception_scope.h"

namespace runtime {

HandledException::HandledException() noexcept
{
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    // The item now owns the caught exception; we own the caller's.
    saved_ = compat::swap_handled({type, value, tb});
}

HandledException::~HandledException()
{
    compat::HandledItem caught = compat::swap_handled(saved_);
    Py_XDECREF(caught.type);
    Py_XDECREF(caught.value);
    Py_XDECREF(caught.tb);
}

}  // namespace runtime
