// tarnkv._native.RemoteIndex: the native half of a store read from a URL. It holds the store's
// index (built by the core from the fetched header and index bytes), answers lookups and key
// ranges with it, says which byte range holds each record, and checks and unpacks the records
// that tarnkv.remote fetched. It never does I/O itself.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/gil.hpp"
#include "binding/native/native.hpp"
#include "binding/once.hpp"
#include "core/reader/remote_store.hpp"

namespace tarnkv::native {

using py::guarded;

namespace {

struct RemoteIndexObject {
    PyObject_HEAD
    RemoteStore* store;  // owned
    PyObject* name;      // the URL, for errors
};

RemoteIndexObject* as_index(PyObject* o) noexcept { return reinterpret_cast<RemoteIndexObject*>(o); }

using py::Buffer;

PyObject* raise_at(const RemoteIndexObject* self, const StoreError& err, std::optional<std::uint64_t> offset) {
    ErrorContext where{.path = self->name};
    if (offset) {
        where.offset = *offset;
        where.has_offset = true;
    }
    return raise_core_error(err, where);
}

// RemoteIndex(name, file_size, pieces): the file size is taken modulo 2**64, as any int.
py::Params new_params{"RemoteIndex()", {"name", "file_size", "pieces"}, 3, 3, py::Params::kAllPositional,
                      py::Wording::classic};

// One (offset, bytes-like) piece of the fetched file; the buffer stays held in `b`.
bool piece_arg(PyObject* item, Buffer& b, RemoteStore::Piece& out) {
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
        PyErr_Format(PyExc_TypeError, "a piece must be a tuple (offset, bytes), not %T", item);
        return false;
    }
    PyObject* offset = PyTuple_GET_ITEM(item, 0);
    if (!PyIndex_Check(offset)) {
        PyErr_Format(PyExc_TypeError, "a piece's offset must be int, not %T", offset);
        return false;
    }
    const unsigned long long at = PyLong_AsUnsignedLongLongMask(offset);
    if (at == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    if (!b.get(PyTuple_GET_ITEM(item, 1))) return false;
    out = {at, b.bytes()};
    return true;
}

PyObject* remote_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[3];
        if (!py::bind(new_params, args, kwargs, a)) return nullptr;
        PyObject* name = a[0];
        if (!PyUnicode_Check(name)) return py::argument_type_error(new_params, 0, "str", name), nullptr;
        const auto size = py::to_uint64_masked(a[1], new_params, 1);
        if (!size) return nullptr;
        Ref seq(PySequence_Fast(a[2], "pieces must be a sequence of (offset, bytes)"));
        if (!seq) return nullptr;
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        std::vector<Buffer> buffers(static_cast<std::size_t>(n));
        std::vector<RemoteStore::Piece> pieces(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            const auto at = static_cast<std::size_t>(i);
            if (!piece_arg(PySequence_Fast_GET_ITEM(seq.get(), i), buffers[at], pieces[at])) return nullptr;
        }
        Py_ssize_t name_len;
        const char* name_utf8 = PyUnicode_AsUTF8AndSize(name, &name_len);
        if (!name_utf8) return nullptr;
        std::string label(name_utf8, static_cast<std::size_t>(name_len));
        // Loading a large index takes a while; the buffers stay held meanwhile.
        auto opened = py::without_gil(
            [&](py::ReleasedInterpreter&) { return RemoteStore::open(std::move(label), *size, pieces); });
        if (!opened) return raise_core_error(opened.error(), ErrorContext{.path = name});
        Ref self(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        as_index(self.get())->store = new RemoteStore(std::move(*opened));
        as_index(self.get())->name = Py_NewRef(name);
        return self.release();
    });
}

void remote_dealloc(PyObject* o) {
    auto* self = as_index(o);
    delete self->store;
    Py_XDECREF(self->name);
    PyTypeObject* type = Py_TYPE(o);
    type->tp_free(o);
    Py_DECREF(type);
}

PyObject* offset_or_none(std::optional<std::uint64_t> offset) {
    return offset ? PyLong_FromUnsignedLongLong(*offset) : Py_NewRef(Py_None);
}

// The offset of `key`'s object; None for a key that is absent, and for anything that is not a
// key, which no store holds (as a local reader answers).
PyObject* find_one(const StoreReader& reader, PyObject* key) {
    KeyBytes k;
    switch (key_bytes(key, k)) {
        case KeyStatus::Ok: return offset_or_none(reader.lookup(k.bytes));
        case KeyStatus::NotAKey: return Py_NewRef(Py_None);
        case KeyStatus::Failed: break;
    }
    return nullptr;
}

PyObject* find(PyObject* o, PyObject* key) {
    return guarded([&]() -> PyObject* { return find_one(as_index(o)->store->reader(), key); });
}

PyObject* find_many(PyObject* o, PyObject* keys) {
    return guarded([&]() -> PyObject* {
        Ref seq(PySequence_Fast(keys, "keys must be a sequence"));
        if (!seq) return nullptr;
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        Ref out(PyList_New(n));
        if (!out) return nullptr;
        const StoreReader& reader = as_index(o)->store->reader();
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = find_one(reader, PySequence_Fast_GET_ITEM(seq.get(), i));
            if (!item) return nullptr;
            PyList_SET_ITEM(out.get(), i, item);
        }
        return out.release();
    });
}

PyObject* extent(PyObject* o, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        const unsigned long long offset = PyLong_AsUnsignedLongLong(arg);
        if (PyErr_Occurred()) return nullptr;
        const RemoteStore& store = *as_index(o)->store;
        if (!store.needs_fetch(offset)) return Py_NewRef(Py_None);
        const auto e = store.extent(offset);
        return Py_BuildValue("(KK)", static_cast<unsigned long long>(e.begin), static_cast<unsigned long long>(e.end));
    });
}

PyObject* resident(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 2) {
            PyErr_SetString(PyExc_TypeError, "resident(offset, check)");
            return nullptr;
        }
        const unsigned long long offset = PyLong_AsUnsignedLongLong(args[0]);
        if (PyErr_Occurred()) return nullptr;
        const int check = PyObject_IsTrue(args[1]);
        if (check < 0) return nullptr;
        const auto* self = as_index(o);
        const StoreReader& reader = self->store->reader();
        auto object = check ? reader.checked_object_at(offset) : reader.object_at(offset);
        if (!object) return raise_at(self, object.error(), offset);
        return PyBytes_FromStringAndSize(object->data(), static_cast<Py_ssize_t>(object->size()));
    });
}

// object(offset, fetched, check, /) -> (start, length): where the object lies in `fetched`,
// which the caller slices without a copy.
PyObject* object(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 3) {
            PyErr_SetString(PyExc_TypeError, "object(offset, fetched, check)");
            return nullptr;
        }
        const unsigned long long offset = PyLong_AsUnsignedLongLong(args[0]);
        if (PyErr_Occurred()) return nullptr;
        Buffer fetched;
        if (!fetched.get(args[1])) return nullptr;
        const int check = PyObject_IsTrue(args[2]);
        if (check < 0) return nullptr;
        const auto* self = as_index(o);
        const std::string_view bytes = fetched.bytes();
        // Large objects' CRC runs without the lock.
        auto got = py::without_interpreter(check && bytes.size() >= (std::size_t{1} << 16),
                                           [&] { return self->store->object(offset, bytes, check != 0); });
        if (!got) return raise_at(self, got.error(), offset);
        return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(got->data() - bytes.data()),
                             static_cast<Py_ssize_t>(got->size()));
    });
}

PyObject* compressed(PyObject* o, PyObject*) {
    return PyBool_FromLong(as_index(o)->store->compressed());
}

PyObject* dictionary_extent(PyObject* o, PyObject*) {
    return guarded([&]() -> PyObject* {
        const auto e = as_index(o)->store->dictionary_extent();
        return Py_BuildValue("(KK)", static_cast<unsigned long long>(e.begin), static_cast<unsigned long long>(e.end));
    });
}

// use_dictionary(fetched, /): the bytes of dictionary_extent(), once, before any decode().
PyObject* use_dictionary(PyObject* o, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        Buffer fetched;
        if (!fetched.get(arg)) return nullptr;
        auto* self = as_index(o);
        if (auto st = self->store->use_dictionary(fetched.bytes()); !st) return raise_at(self, st.error(), std::nullopt);
        Py_RETURN_NONE;
    });
}

// decode(stored, /) -> bytes: the object as it was put, from its stored bytes (what object()
// locates): decompressed for a compressed store, a copy otherwise.
PyObject* decode(PyObject* o, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        Buffer stored;
        if (!stored.get(arg)) return nullptr;
        const auto* self = as_index(o);
        // No Python code runs between the decode and the copy: one scratch per thread serves.
        thread_local std::string scratch;
        auto got = self->store->decode(stored.bytes(), scratch);
        if (!got) return raise_at(self, got.error(), std::nullopt);
        return PyBytes_FromStringAndSize(got->data(), static_cast<Py_ssize_t>(got->size()));
    });
}

PyObject* prefix_range(PyObject* o, PyObject* prefix) {
    return guarded([&]() -> PyObject* {
        KeyBytes p;
        if (!prefix_arg(prefix, p)) return nullptr;
        const auto [first, last] = as_index(o)->store->reader().prefix_range(p.bytes);
        return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(first), static_cast<Py_ssize_t>(last));
    });
}

// entries(first, last, /) -> [(key bytes, offset)] for index positions [first, last).
PyObject* entries(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 2) {
            PyErr_SetString(PyExc_TypeError, "entries(first, last)");
            return nullptr;
        }
        const StoreReader& reader = as_index(o)->store->reader();
        const Py_ssize_t total = static_cast<Py_ssize_t>(reader.entry_count());
        Py_ssize_t first = PyNumber_AsSsize_t(args[0], PyExc_OverflowError);
        if (first == -1 && PyErr_Occurred()) return nullptr;
        Py_ssize_t last = PyNumber_AsSsize_t(args[1], PyExc_OverflowError);
        if (last == -1 && PyErr_Occurred()) return nullptr;
        first = std::clamp<Py_ssize_t>(first, 0, total);
        last = std::clamp<Py_ssize_t>(last, first, total);
        Ref out(PyList_New(last - first));
        if (!out) return nullptr;
        EntryCursor c = reader.cursor(static_cast<std::size_t>(first));
        for (Py_ssize_t i = 0; i < last - first; ++i, c.next()) {
            const auto e = c.entry();
            PyObject* item = Py_BuildValue("(y#K)", e.key.data(), static_cast<Py_ssize_t>(e.key.size()),
                                           static_cast<unsigned long long>(e.offset));
            if (!item) return nullptr;
            PyList_SET_ITEM(out.get(), i, item);
        }
        return out.release();
    });
}

PyObject* header(PyObject* o, PyObject*) {
    return guarded([&]() -> PyObject* {
        const StoreReader& r = as_index(o)->store->reader();
        return Py_BuildValue("(IIKKI)", r.num_keys(), r.num_objects(), static_cast<unsigned long long>(r.index_offset()),
                             static_cast<unsigned long long>(r.file_size()), r.file_crc32());
    });
}

Py_ssize_t length(PyObject* o) { return static_cast<Py_ssize_t>(as_index(o)->store->reader().entry_count()); }

PyMethodDef methods[] = {
    {"find", find, METH_O, "find($self, key, /)\n--\n\nThe record offset of *key*'s last entry, or None."},
    {"find_many", find_many, METH_O, "find_many($self, keys, /)\n--\n\nfind() of each key of a sequence, as a list."},
    {"extent", extent, METH_O,
     "extent($self, offset, /)\n--\n\nThe byte range [begin, end) to fetch for the record at *offset*, or None when the "
     "record is answered by resident()."},
    {"resident", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(resident)), METH_FASTCALL,
     "resident($self, offset, check, /)\n--\n\nThe object of a record outside the data section, as bytes."},
    {"object", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(object)), METH_FASTCALL,
     "object($self, offset, fetched, check, /)\n--\n\n(start, length) of the object inside the fetched record bytes, "
     "checked."},
    {"compressed", compressed, METH_NOARGS, "compressed($self)\n--\n\nWhether the store's objects are stored compressed."},
    {"dictionary_extent", dictionary_extent, METH_NOARGS,
     "dictionary_extent($self)\n--\n\nThe byte range [begin, end) of a compressed store's dictionary record."},
    {"use_dictionary", use_dictionary, METH_O,
     "use_dictionary($self, fetched, /)\n--\n\nReads the dictionary from the bytes of dictionary_extent()."},
    {"decode", decode, METH_O,
     "decode($self, stored, /)\n--\n\nThe object as it was put, from its stored bytes, as bytes."},
    {"prefix_range", prefix_range, METH_O,
     "prefix_range($self, prefix, /)\n--\n\nThe index positions [first, last) of the keys starting with *prefix*."},
    {"entries", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(entries)), METH_FASTCALL,
     "entries($self, first, last, /)\n--\n\n(key bytes, record offset) of the index positions [first, last)."},
    {"header", header, METH_NOARGS,
     "header($self)\n--\n\n(num_keys, num_objects, index_offset, file_size, file_crc32) from the header."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("RemoteIndex(name, file_size, pieces)\n--\n\n"
                                  "The index of a store read from a URL: used by tarnkv.remote.")},
    {Py_tp_new, reinterpret_cast<void*>(remote_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(remote_dealloc)},
    {Py_tp_methods, methods},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {0, nullptr},
};

PyType_Spec spec = {"tarnkv._native.RemoteIndex", static_cast<int>(sizeof(RemoteIndexObject)), 0,
                    Py_TPFLAGS_DEFAULT, slots};

py::OnceObject type_object;

}  // namespace

int add_remote_index_type(PyObject* module) {
    auto* type = reinterpret_cast<PyTypeObject*>(type_object.get([]() -> PyObject* {
        if (!py::intern_names(new_params)) return nullptr;
        return PyType_FromSpec(&spec);
    }));
    if (!type) return -1;
    return PyModule_AddObjectRef(module, "RemoteIndex", reinterpret_cast<PyObject*>(type));
}

}  // namespace tarnkv::native
