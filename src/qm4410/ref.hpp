// One owned reference to a Python object, released when the handle goes.
#pragma once

#include <Python.h>

#include <atomic>
#include <utility>

namespace qm4410 {

// Set by an exit handler that the module registers at import. Once the
// interpreter shuts down, a daemon thread that wakes up is ended from inside
// the call that takes the GIL back, and its stack unwinds through the
// destructors of its handles without the GIL; from then on they leave their
// references alone (the process is exiting).
inline std::atomic<bool> interpreter_exiting{false};

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
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(ptr_, other.release());
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    // See interpreter_exiting: a thread ended during shutdown unwinds
    // through here without the GIL, and must leave the reference alone.
    ~Ref() {
        if (ptr_ && !interpreter_exiting.load(std::memory_order_relaxed)) Py_DECREF(ptr_);
    }

    PyObject* get() const noexcept { return ptr_; }
    // Hands the reference to the caller (a function result or a stealing call).
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    void clear() noexcept { Py_CLEAR(ptr_); }

private:
    PyObject* ptr_ = nullptr;
};

}  // namespace qm4410
