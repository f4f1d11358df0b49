// tarnkv._native: the package's own extension module, built from the same store core as
// tarnkv._tarnkv. It holds process-wide type objects, so it declares that it does not support
// several interpreters; it needs no global interpreter lock.
#include "binding/errors.hpp"
#include "binding/module_def.hpp"
#include "binding/native/native.hpp"
#include "binding/native/reader_object.hpp"
#include "core/sets/routing.hpp"

namespace tarnkv::native {

#ifdef TARNKV_JSONL
int add_json_lines_functions(PyObject* module);  // the command line's fast path, jsonl.cpp
#endif
int add_set_functions(PyObject* module);     // a set build's runs and merges, set_build.cpp
int add_shard_set_types(PyObject* module);  // a set's reading: ShardSet and its walks, set_reader.cpp
int add_remote_index_type(PyObject* module);  // the index of a store read from a URL, remote_store.cpp

namespace {

PyObject* key_hash(PyObject*, PyObject* key) {
    return py::guarded([&]() -> PyObject* {
        KeyBytes k;
        if (!require_key(key, k)) return nullptr;
        return PyLong_FromUnsignedLongLong(sets::key_hash(k.bytes));
    });
}

// shard_of(key, shard_count, /): the routing rule itself, for readers that hold their shards
// some other way than a ShardSet (sets at URLs).
PyObject* shard_of(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return py::guarded([&]() -> PyObject* {
        if (nargs != 2) {
            PyErr_Format(PyExc_TypeError, "shard_of() takes exactly 2 arguments (%zd given)", nargs);
            return nullptr;
        }
        KeyBytes k;
        if (!require_key(args[0], k)) return nullptr;
        const unsigned long long count = PyLong_AsUnsignedLongLong(args[1]);
        if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
        if (count == 0 || count > 0xFFFF'FFFFull) {
            PyErr_Format(PyExc_ValueError, "shard_count must be 1 to 4294967295, not %llu", count);
            return nullptr;
        }
        return PyLong_FromUnsignedLong(sets::shard_of(k.bytes, static_cast<std::uint32_t>(count)));
    });
}

PyMethodDef functions[] = {
    {"shard_of", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(shard_of)), METH_FASTCALL,
     "shard_of(key, shard_count, /)\n--\n\nThe shard of a set of *shard_count* that holds *key*: key_hash(key) % "
     "shard_count."},
    {"key_hash", key_hash, METH_O,
     "key_hash(key, /)\n--\n\nThe XXH3-64 hash (seed 0) of *key*'s bytes (a str as UTF-8), an int in [0, 2**64).\n\n"
     "Stable across processes, machines and versions: use it to route keys to shards."},
    {nullptr, nullptr, 0, nullptr},
};

bool add_type(PyObject* module, const char* name, PyTypeObject* type) {
    return type && PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

int exec_module(PyObject* module) {
    return py::guarded<int>(-1, [&]() -> int {
        if (!add_type(module, "Reader", reader_type()) || !add_type(module, "Writer", writer_type()) ||
            !add_type(module, "Iterator", iterator_type()) || !add_type(module, "ObjectView", view_type()))
            return -1;
        const struct {
            const char* name;
            IterKind kind;
        } kinds[] = {
            {"SCAN_KEYS", IterKind::KeysStr},   {"SCAN_KEYS_BYTES", IterKind::KeysBytes},
            {"SCAN_ITEMS", IterKind::Items},    {"SCAN_ITEMS_RAW", IterKind::ItemsRaw},
            {"SCAN_VALUES", IterKind::Values},  {"SCAN_VALUES_RAW", IterKind::ValuesRaw},
        };
        for (const auto& k : kinds)
            if (PyModule_AddIntConstant(module, k.name, static_cast<int>(k.kind)) < 0) return -1;
#ifdef TARNKV_JSONL
        if (add_json_lines_functions(module) < 0) return -1;
#endif
        if (add_set_functions(module) < 0 || add_shard_set_types(module) < 0) return -1;
        if (add_remote_index_type(module) < 0) return -1;
        return 0;
    });
}

PyModuleDef module_def = py::stateless_module("_native",
                                              "The native classes behind tarnkv.TarnReader and tarnkv.TarnWriter.",
                                              functions, py::main_interpreter_slots<exec_module>);

}  // namespace

}  // namespace tarnkv::native

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&tarnkv::native::module_def); }
