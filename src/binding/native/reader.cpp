// tarnkv._native.Reader: the base class of tarnkv.TarnReader. A StoreReader behind the mapping
// protocol, lookups one by one and in batches, scans, verification and statistics.
//
// Every call pins the core reader (reader_object.hpp), so close() may come from any thread at
// any time: later calls fail with ValueError, and the mapping goes when the last call or view
// that uses it has finished. Long work (open, verify, large batches) runs without the
// interpreter lock.
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/gil.hpp"
#include "binding/native/native.hpp"
#include "binding/native/progress.hpp"
#include "binding/native/reader_object.hpp"
#include "binding/once.hpp"
#include "binding/types.hpp"

namespace tarnkv::native {

using py::guarded;
using py::ReleasedInterpreter;
using py::without_gil;

namespace {

// Batches this long give up the interpreter lock while they look keys up; shorter ones keep it,
// since taking it back can cost more than the other threads gain (see binding/gil.hpp).
constexpr std::size_t kReleaseBatch = py::kReleaseFromEntries;

struct ReaderLayout {
    ReaderObject r;
    PyObject* weakrefs;
};

PyObject* key_error(PyObject* key) {
    Ref exc(PyObject_CallOneArg(PyExc_KeyError, key));
    if (exc) PyErr_SetObject(PyExc_KeyError, exc.get());
    return nullptr;
}

ErrorContext context(const ReaderObject* r, PyObject* key = nullptr) {
    ErrorContext c;
    c.path = r->path;
    c.key = key;
    return c;
}

PyObject* decode(const ReaderObject* r, PyObject* raw, PyObject* key) {
    PyObject* value = r->decode(raw);
    if (!value) note_key("while decoding", key);
    return value;
}

// `key`'s object, decoded: the object, or nullptr with an exception set, or nullptr without
// one when the key is absent.
PyObject* lookup_decoded(ReaderObject* r, PyObject* key) {
    Ref raw;
    {
        Pin pin(r);
        if (!pin.ok()) return nullptr;
        KeyBytes k;
        if (key_bytes(key, k) != KeyStatus::Ok) return nullptr;  // Failed has its exception, NotAKey is absent
        const auto offset = pin.core().lookup_to_read(k.bytes);
        if (!offset) return nullptr;
        DecodeBuffer buffer;
        auto object = read_put(r, pin.core(), *offset, buffer);
        if (!object) return raise_read_error(r, object.error(), key, *offset);
        Ref value(decode_in_place(r, *object));
        if (!value) {
            raw.reset(PyBytes_FromStringAndSize(object->data(), static_cast<Py_ssize_t>(object->size())));
            if (!raw) return nullptr;
        }
        if (auto st = check_after_use(r, pin.core(), *offset); !st) return raise_read_error(r, st.error(), key, *offset);
        if (value) return value.release();
    }
    // The codec is Python code, which may even close the reader: the pin is gone by now.
    return decode(r, raw.get(), key);
}

// The bytes of `key`'s object as a new bytes object, or nullptr: with an exception set, or
// without one when the key is absent.
PyObject* lookup_bytes(ReaderObject* r, PyObject* key) {
    Pin pin(r);
    if (!pin.ok()) return nullptr;
    KeyBytes k;
    const KeyStatus status = key_bytes(key, k);
    if (status != KeyStatus::Ok) return nullptr;  // Failed has its exception, NotAKey is absent
    const auto offset = pin.core().lookup_to_read(k.bytes);
    if (!offset) return nullptr;
    DecodeBuffer buffer;
    auto object = read_put(r, pin.core(), *offset, buffer);
    if (!object) return raise_read_error(r, object.error(), key, *offset);
    Ref raw(PyBytes_FromStringAndSize(object->data(), static_cast<Py_ssize_t>(object->size())));
    if (!raw) return nullptr;
    if (auto st = check_after_use(r, pin.core(), *offset); !st) return raise_read_error(r, st.error(), key, *offset);
    return raw.release();
}

// --- Construction -------------------------------------------------------------------------

// Reader(path, *, verify=True, check_reads=True, decode=None, decode_kwargs=None, codec=None,
//        native_msgpack=False)
py::Params new_params{
    "Reader()", {"path", "verify", "check_reads", "decode", "decode_kwargs", "codec", "native_msgpack"}, 7, 1, 1};

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[7];
        if (!py::bind(new_params, args, kwargs, a)) return nullptr;
        PyObject* path = a[0];
        // The flags are truth values, as an `if` takes them.
        int verify = 1;
        int check_reads = 1;
        int native_msgpack = 0;
        if ((a[1] && (verify = PyObject_IsTrue(a[1])) < 0) || (a[2] && (check_reads = PyObject_IsTrue(a[2])) < 0) ||
            (a[6] && (native_msgpack = PyObject_IsTrue(a[6])) < 0))
            return nullptr;
        PyObject* decode_fn = a[3] ? a[3] : Py_None;
        PyObject* decode_kwargs = a[4] ? a[4] : Py_None;
        PyObject* codec = a[5] ? a[5] : Py_None;
        Ref fspath;
        std::string bytes;
        if (!store_path(path, fspath, bytes)) return nullptr;
        // Mapping, checking and indexing happen before the instance exists; a failed open
        // leaves nothing behind.
        auto opened = without_gil([&](ReleasedInterpreter&) -> Result<StoreReader> {
            auto store = StoreReader::open(std::move(bytes), verify != 0);
            // The package's reader returns objects as they were put, compressed or not.
            if (store)
                if (auto st = store->enable_decoding(); !st) return std::unexpected(std::move(st.error()));
            return store;
        });
        if (!opened) {
            ErrorContext where;
            where.path = fspath.get();
            return raise_core_error(opened.error(), where);
        }
        Ref self(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        auto* layout = reinterpret_cast<ReaderLayout*>(self.get());
        ReaderObject* r = &layout->r;
        new (&r->state) std::atomic<std::uint64_t>(0);
        new (&r->core) std::optional<StoreReader>(std::move(*opened));
        new (&r->decode) CodecCall();
        r->path = Py_NewRef(fspath.get());
        r->codec = Py_NewRef(codec);
        r->check_reads = check_reads != 0;
        r->native_msgpack = native_msgpack != 0;
        r->verified = verify != 0;
        layout->weakrefs = nullptr;
        if (!r->decode.set(decode_fn, decode_kwargs)) return nullptr;
        return self.release();
    });
}

// A codec is any Python object, and one that refers back to its reader (a codec that keeps the
// readers it serves, a subclass attribute) makes a cycle: the collector must see through it.
int reader_traverse(PyObject* self, visitproc visit, void* arg) {
    const ReaderObject* r = &reinterpret_cast<ReaderLayout*>(self)->r;
    Py_VISIT(r->codec);
    if (int err = r->decode.traverse(visit, arg)) return err;
    Py_VISIT(Py_TYPE(self));
    return 0;
}

// Breaks such a cycle; the reader then decodes nothing, which nobody can see any more.
int reader_clear(PyObject* self) {
    ReaderObject* r = &reinterpret_cast<ReaderLayout*>(self)->r;
    r->decode.clear();
    Py_CLEAR(r->codec);
    return 0;
}

void reader_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto* layout = reinterpret_cast<ReaderLayout*>(self);
    if (layout->weakrefs) PyObject_ClearWeakRefs(self);
    ReaderObject* r = &layout->r;
    // Nothing can hold a pin now: calls and views keep the object alive.
    r->core.~optional();
    r->decode.~CodecCall();
    r->state.~atomic();
    Py_CLEAR(r->path);
    Py_CLEAR(r->codec);
    type->tp_free(self);
    Py_DECREF(type);
}

// --- Mapping protocol -----------------------------------------------------------------------

PyObject* subscript(PyObject* self, PyObject* key) {
    return guarded([&]() -> PyObject* {
        PyObject* value = lookup_decoded(as_reader(self), key);
        if (!value && !PyErr_Occurred()) return key_error(key);
        return value;
    });
}

int contains(PyObject* self, PyObject* key) {
    return guarded<int>(-1, [&]() -> int {
        ReaderObject* r = as_reader(self);
        Pin pin(r);
        if (!pin.ok()) return -1;
        KeyBytes k;
        switch (key_bytes(key, k)) {
            case KeyStatus::Ok: return pin.core().exists(k.bytes) ? 1 : 0;
            case KeyStatus::NotAKey: return 0;
            case KeyStatus::Failed: break;
        }
        return -1;
    });
}

Py_ssize_t length(PyObject* self) {
    return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
        Pin pin(as_reader(self));
        if (!pin.ok()) return -1;
        return static_cast<Py_ssize_t>(pin.core().entry_count());
    });
}

PyObject* iterate(PyObject* self) {
    return guarded([&]() -> PyObject* {
        std::size_t n;
        {
            Pin pin(as_reader(self));
            if (!pin.ok()) return nullptr;
            n = pin.core().entry_count();
        }
        return make_iterator(self, IterKind::KeysStr, 0, n);
    });
}

// --- Lookups ------------------------------------------------------------------------------

// The get family's parameters: (key, default=None); get_many's (keys, default=None).
py::Params get_params{"get()", {"key", "default"}, 2, 1};
py::Params get_raw_params{"get_raw()", {"key", "default"}, 2, 1};
py::Params get_view_params{"get_view()", {"key", "default"}, 2, 1};
py::Params get_many_params{"get_many()", {"keys", "default"}, 2, 1};
py::Params get_many_raw_params{"get_many_raw()", {"keys", "default"}, 2, 1};
py::Params verify_params{"verify()", {"progress"}, 1, 0};

PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* a[2];
        if (!py::bind(get_params, args, nargs, kwnames, a)) return nullptr;
        PyObject* key = a[0];
        PyObject* dflt = a[1] ? a[1] : Py_None;
        PyObject* value = lookup_decoded(as_reader(self), key);
        if (!value && !PyErr_Occurred()) return Py_NewRef(dflt);
        return value;
    });
}

PyObject* get_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* a[2];
        if (!py::bind(get_raw_params, args, nargs, kwnames, a)) return nullptr;
        PyObject* key = a[0];
        PyObject* dflt = a[1] ? a[1] : Py_None;
        PyObject* raw = lookup_bytes(as_reader(self), key);
        if (!raw) return PyErr_Occurred() ? nullptr : Py_NewRef(dflt);
        return raw;
    });
}

PyObject* get_view(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* a[2];
        if (!py::bind(get_view_params, args, nargs, kwnames, a)) return nullptr;
        PyObject* key = a[0];
        PyObject* dflt = a[1] ? a[1] : Py_None;
        ReaderObject* r = as_reader(self);
        Pin pin(r);
        if (!pin.ok()) return nullptr;
        KeyBytes k;
        switch (key_bytes(key, k)) {
            case KeyStatus::Ok: break;
            case KeyStatus::NotAKey: return Py_NewRef(dflt);
            case KeyStatus::Failed: return nullptr;
        }
        const auto offset = pin.core().lookup_to_read(k.bytes);
        if (!offset) return Py_NewRef(dflt);
        auto object = read_view(r, pin.core(), *offset);
        if (!object) return raise_read_error(r, object.error(), key, *offset);
        if (pin.core().compressed()) {
            // A compressed object has no bytes in the mapping to show: the view is of a copy.
            DecodeBuffer buffer;
            auto put = as_put(pin.core(), *object, buffer);
            if (!put) return raise_read_error(r, put.error(), key, *offset);
            Ref copy(PyBytes_FromStringAndSize(put->data(), static_cast<Py_ssize_t>(put->size())));
            if (!copy) return nullptr;
            return PyMemoryView_FromObject(copy.get());
        }
        pin.transfer();  // to the view, which unpins when it is released
        return make_view(self, *object);
    });
}

// A run of a batch's objects decompressed apart from the interpreter: their bytes back to back,
// with where each ends.
struct Unpacked {
    static constexpr std::size_t kChunk = std::size_t{4} << 20;
    std::string bytes;
    std::vector<std::size_t> ends;  // for found[first], found[first + 1], ...
    std::size_t first = 0;
    std::optional<StoreError> error;  // of found[the index fill() returned]

    void clear() noexcept {
        bytes.clear();
        ends.clear();
        error.reset();
    }
    // Decompresses found[from], found[from + 1], ... until about kChunk bytes are made, the
    // batch ends or an object fails (`error`, for the index returned). Returns the index it
    // stopped at. Touches no Python object.
    std::size_t fill(const StoreReader& core, const std::vector<std::optional<std::string_view>>& found,
                     std::size_t from) {
        first = from;
        std::string scratch;
        std::size_t j = from;
        for (; j < found.size() && bytes.size() < kChunk; ++j) {
            if (found[j]) {
                const auto put = core.decode(*found[j], scratch);
                if (!put) {
                    error = put.error();
                    break;
                }
                bytes.append(*put);
            }
            ends.push_back(bytes.size());
        }
        return j;
    }
    // The object of found[j], for first <= j < the index fill() returned.
    std::string_view at(std::size_t j) const noexcept {
        const std::size_t begin = j == first ? 0 : ends[j - first - 1];
        return std::string_view(bytes).substr(begin, ends[j - first] - begin);
    }
};

// get_many / get_many_raw: one pass over the keys in the core, then the Python objects.
PyObject* get_many_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, bool decoded) {
    PyObject* a[2];
    if (!py::bind(decoded ? get_many_params : get_many_raw_params, args, nargs, kwnames, a)) return nullptr;
    PyObject* keys = a[0];
    PyObject* dflt = a[1] ? a[1] : Py_None;
    Ref seq(PySequence_Fast(keys, "keys must be iterable"));
    if (!seq) return nullptr;
    const auto n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq.get()));
    // Strong references to the keys: the lookups may run without the interpreter lock, while
    // another thread could change the list they came in.
    std::vector<Ref> held(n);
    std::vector<KeyBytes> converted(n);
    std::vector<std::string_view> lookups;
    std::vector<std::size_t> where;  // position in `keys` of each lookup
    lookups.reserve(n);
    where.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* key = PySequence_Fast_GET_ITEM(seq.get(), static_cast<Py_ssize_t>(i));
        held[i].reset(Py_NewRef(key));
        switch (key_bytes(key, converted[i])) {
            case KeyStatus::Ok:
                lookups.push_back(converted[i].bytes);
                where.push_back(i);
                break;
            case KeyStatus::NotAKey: break;  // never stored: the default, as get() gives it
            case KeyStatus::Failed: return nullptr;
        }
    }
    seq.reset();

    ReaderObject* r = as_reader(self);
    std::vector<bool> hit(lookups.size());
    Ref list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < n; ++i) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(dflt));
    {
        Pin pin(r);
        if (!pin.ok()) return nullptr;
        std::vector<std::optional<std::string_view>> found(lookups.size());
        const auto run = [&] { return pin.core().get_many(lookups, found, r->check_reads); };
        auto st = lookups.size() >= kReleaseBatch ? without_gil([&](ReleasedInterpreter&) { return run(); }) : run();
        if (!st) {
            const std::size_t i = where[st.error().index];
            // The failing key's offset is not carried out of the batch: look it up again.
            const auto offset = pin.core().lookup(lookups[st.error().index]);
            return raise_read_error(r, st.error().error, held[i].get(), offset.value_or(0));
        }
        const auto failed = [&](std::size_t j, const StoreError& err) {
            const auto offset = pin.core().lookup(lookups[j]);
            return raise_read_error(r, err, held[where[j]].get(), offset.value_or(0));
        };
        // A large batch from a compressed store is decompressed without the interpreter lock
        // too, a few MiB of objects at a time, which are then made into Python objects.
        const bool unpack_apart = pin.core().compressed() && lookups.size() >= kReleaseBatch;
        Unpacked unpacked;
        DecodeBuffer buffer;
        for (std::size_t j = 0; j < found.size();) {
            std::size_t stop = found.size();
            if (unpack_apart) {
                unpacked.clear();
                stop = without_gil([&](ReleasedInterpreter&) { return unpacked.fill(pin.core(), found, j); });
            }
            for (; j < stop; ++j) {
                if (!found[j]) continue;
                Result<std::string_view> object =
                    unpack_apart ? Result<std::string_view>(unpacked.at(j)) : as_put(pin.core(), *found[j], buffer);
                if (!object) return failed(j, object.error());
                PyObject* value = decoded ? decode_in_place(r, *object) : nullptr;
                if (!value) {
                    hit[j] = true;  // bytes for now; the codec decodes them below
                    value = PyBytes_FromStringAndSize(object->data(), static_cast<Py_ssize_t>(object->size()));
                    if (!value) return nullptr;
                }
                PyObject** slot = &PySequence_Fast_ITEMS(list.get())[where[j]];
                Py_SETREF(*slot, value);
            }
            if (unpacked.error) return failed(stop, *unpacked.error);
        }
    }
    if (decoded && r->decode.active()) {
        for (std::size_t j = 0; j < where.size(); ++j) {
            if (!hit[j]) continue;  // a miss keeps the default; a decoded object is done
            PyObject** slot = &PySequence_Fast_ITEMS(list.get())[where[j]];
            PyObject* value = decode(r, *slot, held[where[j]].get());
            if (!value) return nullptr;
            Py_SETREF(*slot, value);
        }
    }
    return list.release();
}

PyObject* get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return get_many_impl(self, args, nargs, kwnames, true); });
}

PyObject* get_many_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return get_many_impl(self, args, nargs, kwnames, false); });
}

// --- Scans ----------------------------------------------------------------------------------

PyObject* count_prefix(PyObject* self, PyObject* prefix) {
    return guarded([&]() -> PyObject* {
        Pin pin(as_reader(self));
        if (!pin.ok()) return nullptr;
        KeyBytes k;
        if (!prefix_arg(prefix, k)) return nullptr;
        const auto [first, last] = pin.core().prefix_range(k.bytes);
        return PyLong_FromSize_t(last - first);
    });
}

// The iterator of a scan over the keys that start with `prefix` (nullptr: every key).
PyObject* start_scan(PyObject* self, IterKind kind, PyObject* prefix, std::size_t limit) {
    std::size_t first = 0, last;
    {
        Pin pin(as_reader(self));
        if (!pin.ok()) return nullptr;
        last = pin.core().entry_count();
        if (prefix) {
            KeyBytes k;
            if (!prefix_arg(prefix, k)) return nullptr;
            std::tie(first, last) = pin.core().prefix_range(k.bytes);
        }
    }
    if (last - first > limit) last = first + limit;
    return make_iterator(self, kind, first, last);
}

PyObject* scan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        ScanArgs a;
        if (!scan_args(args, nargs, kwnames, a)) return nullptr;
        return start_scan(self, a.kind, a.prefix, a.limit);
    });
}

// prefix(prefix, *, limit=None) and prefix_raw(...): the scans a caller makes most often, here
// as the package's class sees them, without a Python frame in between.
py::Params prefix_params{"prefix()", {"prefix", "limit"}, 2, 1, 1};
py::Params prefix_raw_params{"prefix_raw()", {"prefix", "limit"}, 2, 1, 1};

PyObject* prefix_scan(const py::Params& params, IterKind kind, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* a[2];
        if (!py::bind(params, args, nargs, kwnames, a)) return nullptr;
        std::size_t limit;
        if (!limit_arg(a[1], limit)) return nullptr;
        return start_scan(self, kind, a[0], limit);
    });
}

PyObject* prefix(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return prefix_scan(prefix_params, IterKind::Items, self, args, nargs, kwnames);
}

PyObject* prefix_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return prefix_scan(prefix_raw_params, IterKind::ItemsRaw, self, args, nargs, kwnames);
}

// --- Whole-store operations ---------------------------------------------------------------

PyObject* verify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* progress = nullptr;
        if (!py::bind(verify_params, args, nargs, kwnames, &progress)) return nullptr;
        if (!progress) progress = Py_None;
        ProgressCallback callback(progress);
        if (!callback.check()) return nullptr;
        ReaderObject* r = as_reader(self);
        Pin pin(r);
        if (!pin.ok()) return nullptr;
        auto st = without_gil([&](ReleasedInterpreter& released) { return pin.core().verify(callback.report(released)); });
        if (callback.raised()) return nullptr;
        if (!st) return raise_core_error(st.error(), context(r));
        Py_RETURN_TRUE;
    });
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    Ref owned(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* stats(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        ReaderObject* r = as_reader(self);
        Pin pin(r);
        if (!pin.ok()) return nullptr;
        const Stats s = pin.core().stats();
        Ref dict(PyDict_New());
        if (!dict) return nullptr;
        PyObject* d = dict.get();
        if (PyDict_SetItemString(d, "path", r->path) < 0 || !set_item(d, "version", PyLong_FromLong(s.version)) ||
            !set_item(d, "num_keys", PyLong_FromUnsignedLong(s.num_keys)) ||
            !set_item(d, "num_objects", PyLong_FromUnsignedLong(s.num_objects)) ||
            !set_item(d, "index_offset", PyLong_FromUnsignedLongLong(s.index_offset)) ||
            !set_item(d, "data_offset", PyLong_FromUnsignedLongLong(s.data_offset)) ||
            !set_item(d, "file_size", PyLong_FromUnsignedLongLong(pin.core().file_size())) ||
            !set_item(d, "file_size_kb", PyFloat_FromDouble(s.file_size_kb)) ||
            !set_item(d, "file_crc32", PyUnicode_FromStringAndSize(s.file_crc32.data(),
                                                                   static_cast<Py_ssize_t>(s.file_crc32.size()))))
            return nullptr;
        return dict.release();
    });
}

PyObject* compression_stats(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        ReaderObject* r = as_reader(self);
        Pin pin(r);
        if (!pin.ok()) return nullptr;
        if (!pin.core().compressed()) Py_RETURN_NONE;
        auto sizes = without_gil([&](ReleasedInterpreter&) { return pin.core().compression_sizes(); });
        if (!sizes) return raise_core_error(sizes.error(), context(r));
        return Py_BuildValue("{sssKsKsK}", "compression", "zstd", "dictionary_size",
                             static_cast<unsigned long long>(sizes->dictionary), "stored_bytes",
                             static_cast<unsigned long long>(sizes->stored), "original_bytes",
                             static_cast<unsigned long long>(sizes->original));
    });
}

PyObject* close(PyObject* self, PyObject*) {
    as_reader(self)->close();
    Py_RETURN_NONE;
}

PyObject* enter(PyObject* self, PyObject*) {
    if (as_reader(self)->closed()) return raise_closed();
    return Py_NewRef(self);
}

PyObject* exit(PyObject* self, PyObject* const*, Py_ssize_t) {
    as_reader(self)->close();
    Py_RETURN_FALSE;
}

PyObject* get_closed(PyObject* self, void*) { return PyBool_FromLong(as_reader(self)->closed()); }
PyObject* get_compression(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Pin pin(as_reader(self));
        if (!pin.ok()) return nullptr;
        if (!pin.core().compressed()) Py_RETURN_NONE;
        return PyUnicode_FromString("zstd");
    });
}
PyObject* get_path(PyObject* self, void*) { return Py_NewRef(as_reader(self)->path); }
PyObject* get_codec(PyObject* self, void*) { return Py_NewRef(as_reader(self)->codec); }
PyObject* get_check_reads(PyObject* self, void*) { return PyBool_FromLong(as_reader(self)->check_reads); }
PyObject* get_verified(PyObject* self, void*) { return PyBool_FromLong(as_reader(self)->verified); }

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;
using py::as_method;

PyMethodDef methods[] = {
    {"get", as_method(get), kFastKw,
     "get($self, key, default=None)\n--\n\nThe decoded object of *key*, or *default* when the store has no such key."},
    {"get_raw", as_method(get_raw), kFastKw,
     "get_raw($self, key, default=None)\n--\n\nThe stored bytes of *key*'s object (not decoded), or *default*."},
    {"get_view", as_method(get_view), kFastKw,
     "get_view($self, key, default=None)\n--\n\nA read-only memoryview of *key*'s object in the file's mapping (no "
     "copy), or *default*.\n\nThe mapping stays in place while the view is alive, even after close(). In a "
     "compressed store the object is not in the mapping as it was put: the view is of a decompressed copy."},
    {"get_many", as_method(get_many), kFastKw,
     "get_many($self, keys, default=None)\n--\n\nThe decoded objects of *keys*, in their order, *default* for keys "
     "the store lacks.\n\nThe lookups overlap in memory, so a batch is much faster than one call per key."},
    {"get_many_raw", as_method(get_many_raw), kFastKw,
     "get_many_raw($self, keys, default=None)\n--\n\nget_many() returning the stored bytes, not decoded."},
    {"count_prefix", as_method(count_prefix), METH_O,
     "count_prefix($self, prefix, /)\n--\n\nThe number of keys that start with *prefix* (str or bytes)."},
    {"prefix", as_method(prefix), kFastKw,
     "prefix($self, prefix, *, limit=None)\n--\n\nA lazy iterator of ``(key, decoded object)`` for the keys that "
     "start with *prefix*\n(compared as bytes), in key order; at most *limit* pairs when given."},
    {"prefix_raw", as_method(prefix_raw), kFastKw,
     "prefix_raw($self, prefix, *, limit=None)\n--\n\n:meth:`prefix` with the stored bytes instead of decoded "
     "objects."},
    {"_scan", as_method(scan), kFastKw,
     "_scan($self, kind, prefix=None, limit=None)\n--\n\nA lazy iterator over the index (kind: see IterKind)."},
    {"verify", as_method(verify), kFastKw,
     "verify($self, progress=None)\n--\n\nChecks the CRC-32 of the whole file and of every object a key names; "
     "returns True or raises CorruptStoreError.\n\n*progress(done, total)*, in bytes, is called every few tens of "
     "MiB and at the end; an exception it raises stops the check."},
    {"stats", as_method(stats), METH_NOARGS, "stats($self, /)\n--\n\nThe store's header values and size as a dict."},
    {"compression_stats", as_method(compression_stats), METH_NOARGS,
     "compression_stats($self, /)\n--\n\nNone for a store that is not compressed; else a dict: 'compression', "
     "'dictionary_size', and the 'stored_bytes' and 'original_bytes' of the objects keys name (read through)."},
    {"close", as_method(close), METH_NOARGS,
     "close($self, /)\n--\n\nCloses the store: later calls raise ValueError. The file is unmapped once no call and "
     "no memoryview uses it any more."},
    {"__enter__", as_method(enter), METH_NOARGS,
     "__enter__($self, /)\n--\n\nThe reader itself, for a with block that closes it at the end."},
    {"__exit__", as_method(exit), METH_FASTCALL, "__exit__($self, *exc_info)\n--\n\nCloses the store."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"closed", get_closed, nullptr, "True once close() was called.", nullptr},
    {"compression", get_compression, nullptr, "'zstd' for a compressed store, else None.", nullptr},
    {"path", get_path, nullptr, "The path the store was opened with.", nullptr},
    {"codec", get_codec, nullptr, "The codec that decodes objects (None: bytes as stored).", nullptr},
    {"check_reads", get_check_reads, nullptr, "Whether each object read is checked against its CRC-32.", nullptr},
    {"_verified", get_verified, nullptr, "Whether the file's CRC-32 was checked at open.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(ReaderLayout, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Reader(path, *, verify=True, check_reads=True, decode=None, decode_kwargs=None, "
                                  "codec=None, native_msgpack=False)\n--\n\n"
                                  "The native half of tarnkv.TarnReader: use that class.")},
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(reader_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(iterate)},
    {Py_mp_subscript, reinterpret_cast<void*>(subscript)},
    {Py_mp_length, reinterpret_cast<void*>(length)},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {Py_sq_contains, reinterpret_cast<void*>(contains)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_members, members},
    {0, nullptr},
};

PyType_Spec spec = {
    "tarnkv._native.Reader", static_cast<int>(sizeof(ReaderLayout)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    slots,
};

py::OnceObject type_object;

}  // namespace

PyObject* raise_read_error(const ReaderObject* r, const StoreError& err, PyObject* key, std::uint64_t offset) {
    ErrorContext where = context(r, key);
    where.offset = offset;
    where.has_offset = true;
    return raise_core_error(err, where);
}

PyTypeObject* reader_type() {
    return reinterpret_cast<PyTypeObject*>(type_object.get([]() -> PyObject* {
        for (py::Params* p :
             {&new_params, &get_params, &get_raw_params, &get_view_params, &get_many_params, &get_many_raw_params,
              &verify_params, &prefix_params, &prefix_raw_params})
            if (!py::intern_names(*p)) return nullptr;
        return PyType_FromSpec(&spec);
    }));
}

}  // namespace tarnkv::native
