// How failures leave the binding: core errors become built-in exceptions carrying the error's
// display text; anything unexpected becomes PanicException (a BaseException), and no C++
// exception ever unwinds into the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

#include "core/format/error.hpp"

namespace tarnkv::py {

// Raises the exception for a core error: RuntimeError for corrupt and version errors, OSError
// for I/O errors, ValueError for general ones; its only argument is err.display(). Always
// returns nullptr so callers can `return raise_store_error(...)`.
PyObject* raise_store_error(StoreError err);

// Raises PanicException with `what` as its message (or whatever error creating it produced).
void raise_panic(std::string_view what) noexcept;

// Runs `body` and turns any C++ exception escaping it into a Python exception: bad_alloc into
// MemoryError, anything else into PanicException. Returns `failure` in that case.
template <class R, class Body>
R guarded(R failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown C++ exception");
    }
    return failure;
}

template <class Body>
PyObject* guarded(Body&& body) noexcept {
    return guarded<PyObject*>(nullptr, static_cast<Body&&>(body));
}

}  // namespace tarnkv::py
