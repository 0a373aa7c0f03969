// The handled-exception hand-over used by the methods' except clauses.
#include "runtime/exception_scope.h"

namespace runtime {

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
    _PyErr_StackItem* item = PyThreadState_Get()->exc_info;
    saved_type_ = item->exc_type;
    saved_value_ = item->exc_value;
    saved_tb_ = item->exc_traceback;

    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    // The item now owns the caught exception; we own the caller's.
    item->exc_type = type;
    item->exc_value = value;
    item->exc_traceback = tb;
}

HandledException::~HandledException()
{
    _PyErr_StackItem* item = PyThreadState_Get()->exc_info;
    PyObject* type = item->exc_type;
    PyObject* value = item->exc_value;
    PyObject* tb = item->exc_traceback;
    item->exc_type = saved_type_;
    item->exc_value = saved_value_;
    item->exc_traceback = saved_tb_;
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
}

}  // namespace runtime
