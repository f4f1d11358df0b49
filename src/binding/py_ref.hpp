// Owners for what the binding borrows from the interpreter: a new (strong) reference, released
// on scope exit unless released to the caller, and an exported buffer. They keep every error
// path in the binding free of hand-written Py_DECREF and PyBuffer_Release chains.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>
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

// A bytes-like argument's contiguous bytes, held (and the exporter pinned) until scope exit.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    // False with an exception set when `o` exports no contiguous buffer.
    bool get(PyObject* o) {
        held_ = PyObject_GetBuffer(o, &view_, PyBUF_SIMPLE) == 0;
        return held_;
    }
    std::string_view bytes() const noexcept {
        return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace tarnkv::py
