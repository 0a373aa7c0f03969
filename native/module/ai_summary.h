// The class AISummary: one table entry per method. Everything the module
// makes for a method (interned names, code object, defaults tuple, binder
// view, traceback name, method definition) is derived from its entry.
#pragma once

#include "runtime/ref.h"

#include <array>

namespace factbrief::module {

struct ModuleState;

inline constexpr int kMaxParams = 4;
inline constexpr int kMaxLocals = 6;

// One of the module state's constants (a default value).
using Constant = PyObject* ModuleState::*;

// The one user message of a service call, or empty with an error set.
using PromptBuilder = runtime::Ref (*)(const ModuleState&,
                                       PyObject* cleaned, PyObject* prompt,
                                       PyObject* length);

using BindingEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t,
                                   PyObject*) noexcept;

// Unused trailing slots of the arrays are null.
struct MethodSpec {
    const char* name;
    int def_line;  // the `def` line; binding errors are reported there
    std::array<const char*, kMaxParams> params;  // `self` first
    std::array<Constant, kMaxParams> defaults;   // of the last parameters
    std::array<const char*, kMaxLocals> locals;  // as the code object lists
    const char* answer_key;      // key of the reply in the record
    PromptBuilder build_prompt;  // service methods only
    BindingEntry entry;
};

enum MethodIndex { kInit, kExtract, kRefinedTitle, kMethodCount };

extern const MethodSpec kMethods[kMethodCount];

// Fills the state's method records from the table; 0, or -1 with an
// exception set. Needs the state's texts and constants.
int derive_methods(ModuleState& st) noexcept;

}  // namespace factbrief::module
