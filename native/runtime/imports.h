// Absolute imports for a module body: `import name` and
// `from package import name`.
#pragma once

#include "runtime/ref.h"

namespace factbrief::runtime {

// `import name`: the loaded module from the module table unless it is
// still initialising, else through the import machinery. New reference,
// or nullptr with the import's error.
Ref import_module(PyObject* name, PyObject* globals) noexcept;

// `from package import name`, falling back to a loaded submodule when the
// attribute is missing. Any other ordinary error in getting the name gives
// way to ImportError "cannot import name ..."; the package's own import
// errors pass unchanged.
Ref import_from(PyObject* package, PyObject* name,
                PyObject* globals) noexcept;

}  // namespace factbrief::runtime
