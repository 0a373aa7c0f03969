// The method function type: a plain-function-like callable whose calls go
// straight to a native binding entry by the fast call convention, and which
// binds to an instance as an ordinary bound method.
#pragma once

#include "runtime/ref.h"

namespace factbrief::runtime {

struct MethodFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyMethodDef* def;          // name and binding entry; static
    PyObject* name;            // made from def on first read
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* globals;
    PyObject* code;
    PyObject* defaults;        // reported only: calls use the binder's
    PyObject* kwdefaults;
    PyObject* dict;            // made on first use
    PyObject* annotations;     // made on first read
    PyObject* is_coroutine;    // made on first read
    PyObject* weakreflist;
};

// The shared type, taken from the registry module `_binding_shared` or
// registered there. Borrowed (the registry keeps it); nullptr with an
// exception set when the registered object is not a compatible type.
PyTypeObject* obtain_method_function_type() noexcept;

// New method function object; nullptr with an exception when memory runs
// out. `def` must outlive the object.
PyObject* method_function_new(PyTypeObject* type, PyMethodDef* def,
                              PyObject* qualname, PyObject* module,
                              PyObject* globals, PyObject* code) noexcept;

// Attaches the reported defaults without the warning that assignment from
// Python gives.
void method_function_attach_defaults(PyObject* func,
                                     PyObject* defaults) noexcept;

}  // namespace factbrief::runtime
