// Synthetic traceback entries: a frame naming one of our functions and its
// source line is added to the pending exception, as if Python code had run.
#pragma once

#include "runtime/ref.h"

namespace factbrief::runtime {

// Where entries point. Filled once by the module; all borrowed.
struct TracebackContext {
    PyObject* globals = nullptr;         // globals of the synthetic frames
    PyObject* options_module = nullptr;  // holds the cline switch
    PyObject* switch_name = nullptr;     // interned "cline_in_traceback"
    const char* source_file = nullptr;   // file name every entry shows
};

// Adds an entry for `function` at `source_line` to the pending exception.
// With the options module's switch true, the entry's name also shows the
// native file (its last path component) and line. When the entry cannot
// be made, the error that stopped it is pending instead, with the original
// exception as its __context__: an exception is always left set.
void add_traceback_entry(const TracebackContext& ctx, const char* function,
                         int source_line, const char* native_file,
                         int native_line) noexcept;

}  // namespace factbrief::runtime
