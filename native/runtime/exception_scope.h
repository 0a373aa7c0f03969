// Guards for the interpreter's two exception states: the pending one
// (being raised) and the handled one (what sys.exc_info() reports).
#pragma once

#include "runtime/compat.h"

namespace factbrief::runtime {

// Sets the pending exception aside for code that must not see it. When
// the scope ends it is put back; but if that code failed with an error of
// its own, the newer error stays pending with the one set aside as its
// __context__, as a raise inside an except block would leave it. So a
// failure here never ends with no exception set, nor hides either error.
class PendingAside {
public:
    PendingAside() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    ~PendingAside();
    PendingAside(const PendingAside&) = delete;
    PendingAside& operator=(const PendingAside&) = delete;

private:
    PyObject* type_;
    PyObject* value_;
    PyObject* tb_;
};

// What `except ... as e:` does: the pending exception is normalised, gets
// its traceback attached and becomes the handled exception. When the scope
// ends, the handled exception of the caller is restored exactly, on every
// way out, while any new pending exception is left alone.
class HandledException {
public:
    HandledException() noexcept;
    ~HandledException();
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;

private:
    compat::HandledItem saved_;
};

// True when the pending exception would be caught by `except Exception`.
inline bool pending_is_ordinary() noexcept
{
    return PyErr_ExceptionMatches(PyExc_Exception) != 0;
}

}  // namespace factbrief::runtime
