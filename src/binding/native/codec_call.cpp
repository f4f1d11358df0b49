// A codec function with its keyword arguments bound once, called with one vectorcall.
#include "binding/native/native.hpp"

namespace tarnkv::native {

void CodecCall::clear() noexcept {
    Py_CLEAR(fn_);
    Py_CLEAR(kwnames_);
    for (int i = 0; i < nkw_; ++i) Py_CLEAR(kwvalues_[i]);
    nkw_ = 0;
}

int CodecCall::traverse(visitproc visit, void* arg) const {
    Py_VISIT(fn_);
    Py_VISIT(kwnames_);
    for (int i = 0; i < nkw_; ++i) Py_VISIT(kwvalues_[i]);
    return 0;
}

bool CodecCall::set(PyObject* fn, PyObject* kwargs) {
    clear();
    if (fn == nullptr || fn == Py_None) return true;
    if (!PyCallable_Check(fn)) {
        PyErr_Format(PyExc_TypeError, "codec function must be callable, not %T", fn);
        return false;
    }
    if (kwargs && kwargs != Py_None) {
        if (!PyDict_Check(kwargs)) {
            PyErr_Format(PyExc_TypeError, "codec keyword arguments must be a dict, not %T", kwargs);
            return false;
        }
        const Py_ssize_t n = PyDict_GET_SIZE(kwargs);
        if (n > kMaxKw) {
            PyErr_Format(PyExc_ValueError, "at most %d codec keyword arguments", kMaxKw);
            return false;
        }
        Ref names(PyTuple_New(n));
        if (!names) return false;
        Py_ssize_t pos = 0;
        PyObject* name;
        PyObject* value;
        int i = 0;
        while (PyDict_Next(kwargs, &pos, &name, &value)) {
            if (!PyUnicode_Check(name)) {
                PyErr_SetString(PyExc_TypeError, "codec keyword names must be str");
                for (int j = 0; j < i; ++j) Py_CLEAR(kwvalues_[j]);
                return false;
            }
            PyTuple_SET_ITEM(names.get(), i, Py_NewRef(name));
            kwvalues_[i++] = Py_NewRef(value);
        }
        nkw_ = i;
        if (n > 0) kwnames_ = names.release();
    }
    fn_ = Py_NewRef(fn);
    return true;
}

PyObject* CodecCall::operator()(PyObject* arg) const {
    if (!fn_) return Py_NewRef(arg);
    // Slot 0 is free for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET), then the argument, then
    // the keyword values in the order of kwnames_.
    PyObject* stack[2 + kMaxKw];
    stack[1] = arg;
    for (int i = 0; i < nkw_; ++i) stack[2 + i] = kwvalues_[i];
    return PyObject_Vectorcall(fn_, stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames_);
}

}  // namespace tarnkv::native
