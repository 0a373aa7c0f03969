// Module-global look-up: the module's dict, then the builtins module, else
// NameError. A hit in the dict is remembered against the dict and its
// version stamp, which changes on every store or deletion, so a changed
// dict is always seen.
#pragma once

#include "runtime/compat.h"

#include <cstdint>

namespace factbrief::runtime {

struct GlobalCache {
    PyObject* dict = nullptr;  // the dict the value came from
    uint64_t version = 0;
    PyObject* value = nullptr;  // borrowed from the dict; valid at version
};

// New reference to the builtin `name`, or nullptr with NameError (or the
// error of the attribute read, unless it was an AttributeError).
inline PyObject* lookup_builtin(PyObject* builtins, PyObject* name) noexcept
{
    PyObject* value = PyObject_GetAttr(builtins, name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

// New reference to the global `name`, or nullptr with an exception set.
inline PyObject* lookup_global(PyObject* globals, PyObject* builtins,
                               PyObject* name, GlobalCache& cache) noexcept
{
    uint64_t version = compat::dict_version(globals);
    if (cache.value && cache.dict == globals && cache.version == version)
        return Py_NewRef(cache.value);
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (value) {
        cache.dict = globals;
        cache.value = value;
        cache.version = version;
        return Py_NewRef(value);
    }
    if (PyErr_Occurred()) return nullptr;
    return lookup_builtin(builtins, name);
}

}  // namespace factbrief::runtime
