// One owned reference to a Python object, released when the handle goes.
#pragma once

#include <Python.h>

#include <utility>

#include "python_compat.hpp"

namespace qm4410 {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (possibly null, as the C API returns on error).
    explicit Ref(PyObject* owned) noexcept : ptr_(owned) {}
    static Ref borrowed(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(Ref&& other) noexcept : ptr_(other.release()) {}
    Ref& operator=(Ref&& other) {
        if (this != &other) {
            PyObject* old = std::exchange(ptr_, other.release());
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    // Once the interpreter finalizes, a daemon thread that wakes up is ended
    // from inside the call that takes the GIL back, and its stack unwinds
    // through this destructor without the GIL: the reference is then left
    // alone (the process is exiting). That unwinding may also start inside
    // Py_DECREF, when freeing runs Python code, so it must be let through.
    ~Ref() noexcept(false) {
        if (ptr_ && !Py_IsFinalizing()) Py_DECREF(ptr_);
    }

    PyObject* get() const noexcept { return ptr_; }
    // Hands the reference to the caller (a function result or a stealing call).
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    void clear() { Py_CLEAR(ptr_); }

private:
    PyObject* ptr_ = nullptr;
};

}  // namespace qm4410
