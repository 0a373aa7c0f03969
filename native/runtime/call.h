// Outgoing calls. A C-level call chain (a partial of one of our methods,
// say) can re-enter us without any Python frame in between, so every call
// whose slot we invoke ourselves counts against the interpreter's
// recursion limit, as the interpreter's own calls do.
#pragma once

#include "runtime/ref.h"

namespace factbrief::runtime {

inline constexpr const char* kCallRecursionWhere =
    " while calling a Python object";

// callable(*args[:nargs], **dict(zip(kwnames, args[nargs:]))) as a fast
// call. New reference, or nullptr with an exception set.
inline PyObject* call(PyObject* callable, PyObject* const* args,
                      size_t nargs, PyObject* kwnames = nullptr) noexcept
{
    vectorcallfunc slot = PyVectorcall_Function(callable);
    if (!slot)  // tp_call: the interpreter guards that path itself
        return PyObject_Vectorcall(callable, args, nargs, kwnames);
    if (Py_EnterRecursiveCall(kCallRecursionWhere)) return nullptr;
    PyObject* result = slot(callable, args, nargs, kwnames);
    Py_LeaveRecursiveCall();
    if (!result && !PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError,
                        "NULL result without error in PyObject_Call");
    return result;
}

inline PyObject* call_no_args(PyObject* callable) noexcept
{
    return call(callable, nullptr, 0);
}

inline PyObject* call_one_arg(PyObject* callable, PyObject* arg) noexcept
{
    PyObject* args[] = {arg};
    return call(callable, args, 1);
}

}  // namespace factbrief::runtime
