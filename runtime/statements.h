// Statements: steps through one function's statements, remembering the
// source line under way, so that any failure can be reported at it.
#pragma once

#include "runtime/traceback_entry.h"

#include <source_location>

namespace runtime {

// What a failed step returns: converts to each kind of failed result.
struct Failure {
    operator PyObject*() const noexcept { return nullptr; }
    operator Ref() const noexcept { return Ref(); }
    operator int() const noexcept { return -1; }
};

class Statements {
public:
    Statements(const TracebackContext& ctx, const char* function,
               int line) noexcept
        : ctx_(ctx), function_(function), line_(line)
    {
    }

    void at(int line) noexcept { line_ = line; }

    // Adds the traceback entry for the current statement to the pending
    // exception; `return body.fail();` then ends the function.
    Failure fail(std::source_location where =
                     std::source_location::current()) const noexcept
    {
        add_traceback_entry(ctx_, function_, line_, where.file_name(),
                            static_cast<int>(where.line()));
        return Failure{};
    }

private:
    const TracebackContext& ctx_;
    const char* function_;
    int line_;
};

}  // namespace runtime
