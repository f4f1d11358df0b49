// A minimal owner for a new (strong) reference: released on scope exit unless released to the
// caller. Keeps every error path in the binding free of hand-written Py_DECREF chains.
#pragma once

#include <Python.h>

#include <utility>

namespace tarnkv::py {

class Ref {
public:
    Ref() noexcept = default;
    // Takes ownership of a new reference (may be nullptr).
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) reset(std::exchange(o.p_, nullptr));
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (e.g. as a function's return value or to a stealing API).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = std::exchange(p_, owned);
        Py_XDECREF(old);
    }

private:
    PyObject* p_ = nullptr;
};

}  // namespace tarnkv::py
