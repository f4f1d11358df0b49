// The extension module tarnkv._tarnkv: multi-phase initialisation, no state of its own. The
// execution step publishes the two classes (made once per process) and __version__, recording
// each name in __all__.
#include "binding/errors.hpp"
#include "binding/module_def.hpp"
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

PyModuleDef module_def = stateless_module("_tarnkv", "tarnkv._tarnkv \u2014 native extension module entry-point",
                                          nullptr, main_interpreter_slots<exec_module>);

}  // namespace

}  // namespace tarnkv::py

PyMODINIT_FUNC PyInit__tarnkv() { return PyModuleDef_Init(&tarnkv::py::module_def); }
