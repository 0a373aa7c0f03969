// Ref: one owned (strong) reference to a Python object, or none.
// A raw PyObject* anywhere else in the code is borrowed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace runtime {

class Ref {  // move-only
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    static Ref borrow(PyObject* o) noexcept
    {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(Ref&& r) noexcept : p_(r.release()) {}
    Ref& operator=(Ref&& r) noexcept
    {
        Ref t(std::move(r));
        std::swap(p_, t.p_);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

}  // namespace runtime
