// What the two extension modules declare alike: multi-phase initialisation with one execution
// step, for the main interpreter only, without the global interpreter lock.
#pragma once

#include <Python.h>

namespace tarnkv::py {

// The modules' classes are made once per process and shared by every module object (a
// re-import gets the same classes), so they belong to the main interpreter: another
// interpreter must not use them, and importing a module there fails with ImportError instead.
template <int (*Exec)(PyObject*)>
inline PyModuleDef_Slot main_interpreter_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(Exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

// A module with no per-module state.
inline PyModuleDef stateless_module(const char* name, const char* doc, PyMethodDef* functions,
                                    PyModuleDef_Slot* slots) {
    return {PyModuleDef_HEAD_INIT, name, doc, 0, functions, slots, nullptr, nullptr, nullptr};
}

}  // namespace tarnkv::py
