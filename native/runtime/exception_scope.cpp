// The handled-exception hand-over used by the methods' except clauses.
#include "runtime/exception_scope.h"

namespace factbrief::runtime {

PendingAside::~PendingAside()
{
    if (!PyErr_Occurred()) {
        PyErr_Restore(type_, value_, tb_);
        return;
    }
    if (!type_) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type_, &value_, &tb_);
    if (tb_ && value_) PyException_SetTraceback(value_, tb_);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value && value_ && value != value_)
        PyException_SetContext(value, Py_NewRef(value_));
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(tb_);
    PyErr_Restore(type, value, tb);
}

HandledException::HandledException() noexcept
{
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    // The item now owns the caught exception; we own the caller's.
    saved_ = compat::swap_handled({type, value, tb});
}

// The exception triples are held raw, as the interpreter's own items
// hold them; each reference is dropped exactly once here.
HandledException::~HandledException()
{
    compat::HandledItem caught = compat::swap_handled(saved_);
    Py_XDECREF(caught.type);
    Py_XDECREF(caught.value);
    Py_XDECREF(caught.tb);
}

}  // namespace factbrief::runtime
