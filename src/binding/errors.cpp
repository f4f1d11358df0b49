#include "binding/errors.hpp"

#include <string>

#include "binding/once.hpp"
#include "binding/py_ref.hpp"

// Each extension builds this file: its own classes carry its own module's name.
#ifndef TARNKV_MODULE
#error "TARNKV_MODULE names the extension module being built"
#endif

namespace tarnkv::py {

namespace {

OnceObject panic_exception;

PyObject* panic_type() {
    return panic_exception.get([] {
        return PyErr_NewExceptionWithDoc(
            TARNKV_MODULE ".PanicException",
            "An internal failure of the extension (a broken invariant, not a store error).",
            PyExc_BaseException, nullptr);
    });
}

}  // namespace

PyObject* raise_store_error(StoreError err) {
    PyObject* cls = nullptr;
    switch (err.kind()) {
        case ErrorKind::Corrupt:
        case ErrorKind::Version: cls = PyExc_RuntimeError; break;
        case ErrorKind::IO: cls = PyExc_OSError; break;
        case ErrorKind::General: cls = PyExc_ValueError; break;
    }
    const std::string text = err.display();
    Ref msg(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!msg) return nullptr;
    // Called with one argument, OSError stays exactly OSError (no errno-based subclass) and
    // leaves errno, strerror and filename as None.
    Ref exc(PyObject_CallOneArg(cls, msg.get()));
    if (!exc) return nullptr;
    PyErr_SetObject(cls, exc.get());
    return nullptr;
}

void raise_panic(std::string_view what) noexcept {
    try {
        PyObject* cls = panic_type();
        if (!cls) return;  // the error that prevented creating it is set instead
        Ref msg(PyUnicode_DecodeUTF8(what.data(), static_cast<Py_ssize_t>(what.size()), "replace"));
        if (!msg) return;
        PyErr_SetObject(cls, msg.get());
    } catch (...) {
        PyErr_NoMemory();
    }
}

}  // namespace tarnkv::py
