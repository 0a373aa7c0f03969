// Guards for the interpreter's two exception states: the pending one
// (being raised) and the handled one (what sys.exc_info() reports).
#pragma once

#include "runtime/compat.h"

namespace runtime {

// Sets the pending exception aside for code that must not see it, and puts
// it back when the scope ends, unless discard() dropped it because a newer
// error is to replace it.
class PendingAside {
public:
    PendingAside() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    ~PendingAside() { PyErr_Restore(type_, value_, tb_); }
    void discard() noexcept
    {
        Py_CLEAR(type_);
        Py_CLEAR(value_);
        Py_CLEAR(tb_);
    }
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

}  // namespace runtime
