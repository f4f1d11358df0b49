// Keys between Python and the store: str (UTF-8, with surrogate escapes for other bytes) and
// bytes in, str or bytes out.
#include "binding/ascii.hpp"
#include "binding/native/native.hpp"

namespace tarnkv::native {

KeyStatus key_bytes(PyObject* key, KeyBytes& out) {
    if (PyUnicode_Check(key)) {
        Py_ssize_t n;
        // Cached in the str after the first call: a str key costs no copy.
        if (const char* s = PyUnicode_AsUTF8AndSize(key, &n)) {
            out.bytes = std::string_view(s, static_cast<std::size_t>(n));
            return KeyStatus::Ok;
        }
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return KeyStatus::Failed;
        PyErr_Clear();
        // Surrogates: only the escapes of single bytes spell a key.
        out.owner.reset(PyUnicode_AsEncodedString(key, "utf-8", "surrogateescape"));
        if (!out.owner) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return KeyStatus::Failed;
            PyErr_Clear();
            return KeyStatus::NotAKey;
        }
        out.bytes = std::string_view(PyBytes_AS_STRING(out.owner.get()),
                                     static_cast<std::size_t>(PyBytes_GET_SIZE(out.owner.get())));
        return KeyStatus::Ok;
    }
    if (PyBytes_Check(key)) {
        out.bytes = std::string_view(PyBytes_AS_STRING(key), static_cast<std::size_t>(PyBytes_GET_SIZE(key)));
        return KeyStatus::Ok;
    }
    return KeyStatus::NotAKey;
}

bool require_key(PyObject* key, KeyBytes& out) {
    switch (key_bytes(key, out)) {
        case KeyStatus::Ok: return true;
        case KeyStatus::Failed: return false;
        case KeyStatus::NotAKey: break;
    }
    if (PyUnicode_Check(key)) {
        // Let the codec say which character cannot be written.
        Ref encoded(PyUnicode_AsEncodedString(key, "utf-8", "surrogateescape"));
        if (!encoded) return false;
    }
    PyErr_Format(PyExc_TypeError, "keys must be str or bytes, not %T", key);
    return false;
}

PyObject* key_str(std::string_view key) {
    const char* s = key.data();
    const std::size_t n = key.size();
    if (n > 1 && py::is_ascii(s, n)) return py::ascii_str(s, n);
    return PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), "surrogateescape");
}

PyObject* key_as_bytes(std::string_view key) {
    return PyBytes_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()));
}

}  // namespace tarnkv::native
