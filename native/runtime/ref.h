// Owned<T>: one owned (strong) reference to a Python object of C type T
// (PyObject, PyCodeObject, PyFrameObject...), or none. `Ref` is the common
// case. A raw pointer anywhere else in the code is borrowed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace factbrief::runtime {

template <class T>
class Owned {  // move-only
public:
    Owned() noexcept = default;
    static Owned steal(T* o) noexcept { return Owned(o); }
    static Owned borrow(T* o) noexcept
    {
        Py_XINCREF(o);
        return Owned(o);
    }
    Owned(Owned&& r) noexcept : p_(r.release()) {}
    Owned& operator=(Owned&& r) noexcept
    {
        Owned t(std::move(r));
        std::swap(p_, t.p_);
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { Py_XDECREF(p_); }

    T* get() const noexcept { return p_; }
    T* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Owned(T* o) noexcept : p_(o) {}
    T* p_ = nullptr;
};

using Ref = Owned<PyObject>;

// Takes over a new reference returned by the C API (nullptr on failure).
inline Ref steal(PyObject* o) noexcept { return Ref::steal(o); }

}  // namespace factbrief::runtime
