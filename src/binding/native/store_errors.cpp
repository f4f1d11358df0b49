// The package's exceptions, made by tarnkv.errors from what the core reported.
#include <string>

#include "binding/native/native.hpp"
#include "binding/once.hpp"

namespace tarnkv::native {

namespace {

py::OnceObject errors_module;

PyObject* errors() {
    return errors_module.get([] { return PyImport_ImportModule("tarnkv.errors"); });
}

PyObject* raise_instance(PyObject* exc) {
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    return nullptr;
}

const char* kind_name(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::Corrupt: return "corrupt";
        case ErrorKind::Version: return "version";
        case ErrorKind::IO: return "io";
        case ErrorKind::General: break;
    }
    return "general";
}

}  // namespace

PyObject* raise_core_error(const StoreError& err, const ErrorContext& where) {
    PyObject* module = errors();
    if (!module) return nullptr;
    Ref factory(PyObject_GetAttrString(module, "_from_core"));
    if (!factory) return nullptr;
    const std::string& m = err.message();
    Ref message(PyUnicode_DecodeUTF8(m.data(), static_cast<Py_ssize_t>(m.size()), "replace"));
    if (!message) return nullptr;
    Ref offset(where.has_offset ? PyLong_FromUnsignedLongLong(where.offset) : Py_NewRef(Py_None));
    if (!offset) return nullptr;
    PyObject* none = Py_None;
    const int busy = err.io_reason() == IoReason::Busy ? 1 : 0;
    Ref exc(PyObject_CallFunction(factory.get(), "sOiOOOOii", kind_name(err.kind()), message.get(), err.os_errno(),
                                  where.path ? where.path : none, where.key ? where.key : none, offset.get(),
                                  where.filename2 ? where.filename2 : none, int{err.version_byte()}, busy));
    return raise_instance(exc.get());
}

PyObject* raise_package_error(const char* cls, PyObject* args) {
    PyObject* module = errors();
    if (!module || !args) return nullptr;
    Ref type(PyObject_GetAttrString(module, cls));
    if (!type) return nullptr;
    Ref exc(PyObject_Call(type.get(), args, nullptr));
    return raise_instance(exc.get());
}

void note_key(const char* what, PyObject* key) {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    Ref note(PyUnicode_FromFormat("%s the object of key %R", what, key));
    if (note) {
        Ref added(PyObject_CallMethod(exc, "add_note", "O", note.get()));
        if (!added) PyErr_Clear();  // the original error matters more than its note
    } else {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
}

PyObject* raise_closed() {
    PyErr_SetString(PyExc_ValueError, "I/O operation on a closed store");
    return nullptr;
}

}  // namespace tarnkv::native
