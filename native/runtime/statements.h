// Statements: steps through one function's statements, each with its
// source line, so that a failure is reported at the line that failed.
#pragma once

#include "runtime/traceback_entry.h"

#include <source_location>

namespace factbrief::runtime {

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

    // Passes the result of the statement at `line` through; an empty one
    // (failed) also gets that line's traceback entry.
    Ref run(int line, Ref result,
            std::source_location where =
                std::source_location::current()) noexcept
    {
        if (!result) {
            line_ = line;
            fail(where);
        }
        return result;
    }

    // The same for a statement that returns 0 or -1; true when it worked.
    bool run(int line, int status,
             std::source_location where =
                 std::source_location::current()) noexcept
    {
        if (status == 0) return true;
        line_ = line;
        fail(where);
        return false;
    }

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

}  // namespace factbrief::runtime
