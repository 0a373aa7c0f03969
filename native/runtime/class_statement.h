// The class statement for a module body written in C: what
// `class Name(*bases): ...` does before and after its body runs.
#pragma once

#include "runtime/ref.h"

namespace factbrief::runtime {

struct ClassStatement {
    Ref bases;  // after __mro_entries__
    Ref meta;   // the most derived metaclass
    Ref ns;     // the prepared namespace the body fills
};

// Resolves the bases (PEP 560), finds the metaclass, prepares the
// namespace and sets its __module__ and __qualname__ (and __orig_bases__
// when the bases changed). 0, or -1 with an exception set.
int begin_class(ClassStatement& cls, PyObject* name, PyObject* bases,
                PyObject* module_name) noexcept;

// ns[key] = value, as the class body stores its names.
int store_in_namespace(PyObject* ns, PyObject* key, PyObject* value) noexcept;

// meta(name, bases, ns): the class, or nullptr with an exception set.
Ref end_class(const ClassStatement& cls, PyObject* name) noexcept;

}  // namespace factbrief::runtime
