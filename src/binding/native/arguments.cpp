// Arguments that several of the module's classes take the same way: store paths, key
// prefixes and the scan parameters.
#include <string>

#include "binding/args.hpp"
#include "binding/native/native.hpp"
#include "binding/native/reader_object.hpp"

namespace tarnkv::native {

bool store_path(PyObject* path, Ref& fspath, std::string& out) {
    fspath.reset(PyOS_FSPath(path));
    if (!fspath) return false;
    Ref encoded;
    if (PyUnicode_Check(fspath.get()))
        encoded.reset(PyUnicode_EncodeFSDefault(fspath.get()));
    else
        encoded.reset(Py_NewRef(fspath.get()));
    if (!encoded) return false;
    out.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    if (out.find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "store path contains a NUL byte");
        return false;
    }
    return true;
}

bool prefix_arg(PyObject* prefix, KeyBytes& k) {
    if (key_bytes(prefix, k) == KeyStatus::Ok) return true;
    if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "prefix must be str or bytes, not %T", prefix);
    return false;
}

bool limit_arg(PyObject* limit, std::size_t& out) {
    out = SIZE_MAX;
    if (!limit || limit == Py_None) return true;
    Ref index(PyNumber_Index(limit));
    if (!index) return false;
    const Py_ssize_t v = PyLong_AsSsize_t(index.get());
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0) {
        PyErr_Format(PyExc_ValueError, "limit must be None or at least 0, not %zd", v);
        return false;
    }
    out = static_cast<std::size_t>(v);
    return true;
}

namespace {

py::Params scan_params{"_scan()", {"kind", "prefix", "limit"}, 3, 1};

// The bound arguments (kind, prefix or nullptr, limit or nullptr) checked and converted.
bool scan_values(PyObject* const* a, ScanArgs& out) {
    PyObject* prefix = a[1] ? a[1] : Py_None;
    PyObject* limit = a[2] ? a[2] : Py_None;
    const int kind = PyLong_AsInt(a[0]);
    if (kind == -1 && PyErr_Occurred()) return false;
    if (kind < 0 || kind > static_cast<int>(IterKind::ValuesRaw)) {
        PyErr_SetString(PyExc_ValueError, "unknown scan kind");
        return false;
    }
    out.kind = static_cast<IterKind>(kind);
    out.prefix = prefix == Py_None ? nullptr : prefix;
    return limit_arg(limit, out.limit);
}

}  // namespace

bool scan_args(PyObject* args, PyObject* kwargs, ScanArgs& out) {
    if (!py::intern_names(scan_params)) return false;
    PyObject* a[3];
    return py::bind(scan_params, args, kwargs, a) && scan_values(a, out);
}

bool scan_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, ScanArgs& out) {
    if (!py::intern_names(scan_params)) return false;
    PyObject* a[3];
    return py::bind(scan_params, args, nargs, kwnames, a) && scan_values(a, out);
}

}  // namespace tarnkv::native
