// _TarnWriter: collects objects and key mappings in a StoreBuilder and builds store files.
// Adding takes exclusive access; build and repr take shared access, so an add that meets any
// other call on the same writer (from another thread, or from an obj_id's __index__) fails at
// once instead of changing the builder under a reader of it.
#include <expected>
#include <new>
#include <string>

#include "binding/access.hpp"
#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/gil.hpp"
#include "binding/once.hpp"
#include "binding/py_ref.hpp"
#include "binding/summary_line.hpp"
#include "binding/types.hpp"
#include "core/writer/store_builder.hpp"

namespace tarnkv::py {

namespace {

struct Writer {
    PyObject_HEAD
    AccessCounter access;
    StoreBuilder builder;
};

Writer* as_writer(PyObject* self) noexcept { return reinterpret_cast<Writer*>(self); }

Params new_params{"_TarnWriter.__new__()", {}, 0, 0};
Params add_object_params{"_TarnWriter.add_object_raw()", {"raw_bytes"}, 1, 1};
Params add_key_params{"_TarnWriter.add_key()", {"key", "obj_id"}, 2, 2};
Params build_params{"_TarnWriter.build()", {"path"}, 1, 1};

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        if (!bind(new_params, args, kwargs, nullptr)) return nullptr;
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        Writer* w = as_writer(self);
        try {
            new (&w->access) AccessCounter();
            new (&w->builder) StoreBuilder();
        } catch (...) {
            // The instance never held a builder, so it must not go through dealloc.
            type->tp_free(self);
            Py_DECREF(type);  // the reference tp_alloc took for the instance
            throw;
        }
        return self;
    });
}

void writer_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Writer* w = as_writer(self);
    w->builder.~StoreBuilder();
    w->access.~AccessCounter();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* writer_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        Writer* w = as_writer(self);
        SharedAccess access(w->access);
        if (!access.ok()) return nullptr;
        return PyUnicode_FromFormat("_TarnWriter(objects=%zu, keys=%zu)", w->builder.num_objects(),
                                    w->builder.num_keys());
    });
}

PyObject* add_object_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* a[1];
        if (!bind(add_object_params, args, nargs, kwnames, a)) return nullptr;
        Writer* w = as_writer(self);
        ExclusiveAccess access(w->access);
        if (!access.ok()) return nullptr;
        const auto raw = to_object_bytes(a[0], "raw_bytes");
        if (!raw) return nullptr;
        auto id = w->builder.add_object(*raw);
        if (!id) return raise_store_error(std::move(id.error()));
        return PyLong_FromUnsignedLong(*id);
    });
}

PyObject* add_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* a[2];
        if (!bind(add_key_params, args, nargs, kwnames, a)) return nullptr;
        Writer* w = as_writer(self);
        ExclusiveAccess access(w->access);
        if (!access.ok()) return nullptr;
        // The ID is a declared argument and is converted (and reported) before the key.
        const auto id = to_object_id(a[1], "obj_id");
        if (!id) return nullptr;
        const auto key = to_key(a[0]);
        if (!key) return nullptr;
        if (auto st = w->builder.add_key(*key, *id); !st) return raise_store_error(std::move(st.error()));
        Py_RETURN_NONE;
    });
}

PyObject* build(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* a[1];
        if (!bind(build_params, args, nargs, kwnames, a)) return nullptr;
        Writer* w = as_writer(self);
        SharedAccess access(w->access);
        if (!access.ok()) return nullptr;
        const auto path = to_path(a[0], "path");
        if (!path) return nullptr;
        // Sorting, writing, fsync, rename and the summary line run without the interpreter.
        // The writer stays borrowed throughout, so an add from another thread meanwhile is
        // refused ("Already borrowed") instead of changing what is being written.
        const std::string owned(*path);
        std::expected<void, std::string> printed;
        auto built = without_interpreter(true, [&] {
            auto result = w->builder.build(owned);
            if (result) printed = write_stdout(summary_line(owned, *result));
            return result;
        });
        if (!built) return raise_store_error(std::move(built.error()));
        // The store is already in place; failing to report it is an internal failure, not an
        // I/O error of the build.
        if (!printed) {
            raise_panic(printed.error());
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyMethodDef writer_methods[] = {
    {"add_object_raw", as_method(add_object_raw), METH_FASTCALL | METH_KEYWORDS,
     "add_object_raw($self, raw_bytes)\n--\n\nStore pre-encoded *raw_bytes* (msgpack). Returns the object ID."},
    {"add_key", as_method(add_key), METH_FASTCALL | METH_KEYWORDS,
     "add_key($self, key, obj_id)\n--\n\nMap *key* (str or bytes) to *obj_id*."},
    {"build", as_method(build), METH_FASTCALL | METH_KEYWORDS,
     "build($self, path)\n--\n\nAtomically write the `.trnk` file: tmp \u2192 fsync \u2192 rename."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot writer_slots[] = {
    {Py_tp_doc, const_cast<char*>("_TarnWriter()\n--\n\n"
                                  "Low-level writer \u2014 accepts pre-serialised msgpack bytes per object.\n"
                                  "**Use `tarnkv.TarnWriter` (Python wrapper) instead of this directly.**")},
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(writer_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(writer_repr)},
    {Py_tp_methods, writer_methods},
    {0, nullptr},
};

PyType_Spec writer_spec = {
    "builtins._TarnWriter", static_cast<int>(sizeof(Writer)), 0, Py_TPFLAGS_DEFAULT, writer_slots,
};

OnceObject writer_class;

}  // namespace

PyObject* writer_type() {
    return writer_class.get([]() -> PyObject* {
        for (Params* p : {&add_object_params, &add_key_params, &build_params})
            if (!intern_names(*p)) return nullptr;
        return PyType_FromSpec(&writer_spec);
    });
}

}  // namespace tarnkv::py
