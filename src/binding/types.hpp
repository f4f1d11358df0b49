// The two Python classes. Each is made once per process, on the first call, and the same class
// object is returned ever after (a re-import of the module gets the same classes).
#pragma once

#include <Python.h>

namespace tarnkv::py {

// Borrowed references, or nullptr with an exception set.
PyObject* writer_type();
PyObject* reader_type();

// Wraps a C function of any method signature for a PyMethodDef entry.
template <class F>
PyCFunction as_method(F* f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace tarnkv::py
