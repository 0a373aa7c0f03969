// Argument binding: one binder, driven by a per-method parameter table,
// matches a fast call's positional and keyword arguments to parameters.
#pragma once

#include "runtime/ref.h"

namespace factbrief::runtime {

// All parameters are positional-or-keyword; the first `required` have no
// default. Names and defaults are borrowed from their owner (interned
// names, so that keyword matching by identity is the common hit).
struct ParamTable {
    const char* function;       // plain name, for the error messages
    Py_ssize_t total;           // number of parameters
    Py_ssize_t required;        // those without a default
    PyObject* const* names;     // `total` names
    PyObject* const* defaults;  // `total - required` values
};

// Fills out[0..total) with borrowed references to the bound values.
// Returns 0, or -1 with a TypeError (or a comparison's error) set.
int bind_arguments(const ParamTable& params, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out) noexcept;

}  // namespace factbrief::runtime
