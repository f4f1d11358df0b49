// The extension module tarnkv._tarnkv: multi-phase initialisation, no state of its own. The
// execution step publishes the two classes (made once per process) and __version__, recording
// each name in __all__.
#include "binding/errors.hpp"
#include "binding/py_ref.hpp"
#include "binding/types.hpp"

namespace tarnkv::py {

namespace {

// Appends `name` to the module's __all__ (creating the list if the module has none) and sets
// the attribute. Takes a borrowed `value`.
bool add_public(PyObject* module, const char* name, PyObject* value) {
    PyObject* found = nullptr;
    const int r = PyObject_GetOptionalAttrString(module, "__all__", &found);
    if (r < 0) return false;
    Ref all(found);
    if (r == 0) {
        all.reset(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    } else if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return false;
    }
    Ref text(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
    return PyObject_SetAttr(module, text.get(), value) == 0;
}

int exec_module(PyObject* module) {
    return guarded<int>(-1, [&] {
        if (!PyModule_Check(module)) {
            PyErr_SetString(PyExc_TypeError, "module execution expects a module object");
            return -1;
        }
        PyObject* writer = writer_type();
        if (!writer || !add_public(module, "_TarnWriter", writer)) return -1;
        PyObject* reader = reader_type();
        if (!reader || !add_public(module, "_TarnReader", reader)) return -1;
        Ref version(PyUnicode_FromString(TARNKV_VERSION));  // from pyproject.toml, by the build
        if (!version || !add_public(module, "__version__", version.get())) return -1;
        return 0;
    });
}

// The two classes are made once per process and shared by every module object (a re-import
// gets the same classes), so they belong to the main interpreter: another interpreter must not
// use them, and importing the module there fails with ImportError instead.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_tarnkv",
    "tarnkv._tarnkv \u2014 native extension module entry-point",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace tarnkv::py

PyMODINIT_FUNC PyInit__tarnkv() { return PyModuleDef_Init(&tarnkv::py::module_def); }
