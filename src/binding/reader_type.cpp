// _TarnReader: an open StoreReader behind Python methods. The StoreReader never changes after
// open and no method ever wants it exclusively, so shared access could never be refused: the
// reader carries no access counter at all, and any number of threads use one reader without
// touching a shared cache line. close() and the context-manager methods release nothing: the
// mapping lives as long as the object, and every method keeps working after them.
#include <chrono>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/gil.hpp"
#include "binding/once.hpp"
#include "binding/py_ref.hpp"
#include "binding/results.hpp"
#include "binding/types.hpp"
#include "core/reader/store_reader.hpp"

namespace tarnkv::py {

namespace {

struct Reader {
    PyObject_HEAD
    StoreReader reader;
};

Reader* as_reader(PyObject* self) noexcept { return reinterpret_cast<Reader*>(self); }

// How many entries ahead a walk over the index starts loading records.
constexpr std::size_t kReadAhead = 16;

// A walk that makes Python objects as it reads needs the interpreter throughout, so instead of
// giving it up for the whole call it gives it up for a moment every 10 ms. A thread waiting for
// the interpreter asks its holder to hand over once it has waited a switch interval (5 ms by
// default) with no change of holder; letting go more often than that would keep resetting the
// waiter's clock and it would never ask, so a turn comes every two intervals: a request thread
// then waits about as long as behind Python code, not for the whole walk. Time, not a count of
// entries, sets the turns, since the collector's passes while the objects are made lengthen
// them too; the clock is read every 1,024 entries, a few nanoseconds an entry at most.
class TurnOffer {
public:
    void step(std::size_t walked) noexcept {
        if ((walked & 1023) != 1023 || Clock::now() < next_) return;
        ReleasedInterpreter{};
        next_ = Clock::now() + kTurn;
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kTurn{10};
    Clock::time_point next_ = Clock::now() + kTurn;
};

Params new_params{"_TarnReader.__new__()", {"path", "verify"}, 2, 1};
Params get_raw_params{"_TarnReader.get_raw()", {"key"}, 1, 1};
Params exists_params{"_TarnReader.exists()", {"key"}, 1, 1};
Params prefix_params{"_TarnReader.prefix_raw()", {"prefix"}, 1, 1};
Params exit_params{"_TarnReader.__exit__()", {"_exc_type", "_exc_val", "_exc_tb"}, 3, 3};

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[2];
        if (!bind(new_params, args, kwargs, a)) return nullptr;
        const auto path = to_path(a[0], "path");
        if (!path) return nullptr;
        bool verify = true;
        if (a[1]) {
            const auto flag = to_flag(a[1], "verify");
            if (!flag) return nullptr;
            verify = *flag;
        }
        // All the work happens before the instance exists: a failed open leaves nothing behind.
        // Opening maps, checksums and indexes the file, so other threads run meanwhile.
        std::string owned(*path);
        auto opened = without_interpreter(true, [&] { return StoreReader::open(std::move(owned), verify); });
        if (!opened) return raise_store_error(std::move(opened.error()));
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;  // `opened` unmaps on the way out; MemoryError stands
        new (&as_reader(self)->reader) StoreReader(std::move(*opened));  // noexcept
        return self;
    });
}

void reader_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Reader* r = as_reader(self);
    r->reader.~StoreReader();
    type->tp_free(self);
    Py_DECREF(type);
}

// Runs `body(reader)`; every reader method goes through here.
template <class Body>
PyObject* with_reader(PyObject* self, Body&& body) {
    return guarded([&]() -> PyObject* { return body(as_reader(self)->reader); });
}

// The same for methods taking one key argument, converted at the start of the body.
template <class Body>
PyObject* with_key(const Params& p, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   Body&& body) {
    return guarded([&]() -> PyObject* {
        PyObject* a[1];
        if (!bind(p, args, nargs, kwnames, a)) return nullptr;
        const auto key = to_key(a[0]);
        if (!key) return nullptr;
        return body(as_reader(self)->reader, *key);
    });
}

// The (key, object) pairs of the entries from `first` on whose keys start with `prefix`, up to
// the first that does not or entry `end`, as a new list. One walk reads each record and makes
// its pair at once: checking every record first and making the pairs after (the order of the
// core's own prefix_raw and items_raw) would read each record twice, and a large run's records
// are no longer in cache the second time. A bad record found on the way drops what was made so
// far, so the caller sees the same error and no list either way.
PyObject* pairs_from(const StoreReader& r, std::size_t first, std::size_t end, std::string_view prefix) {
    // Every entry matches the empty prefix, so its list has a known length and is filled in
    // place; other runs gather their pairs first.
    Ref list(prefix.empty() ? PyList_New(static_cast<Py_ssize_t>(end - first)) : nullptr);
    if (prefix.empty() && !list) return nullptr;
    std::vector<PyObject*> pairs;  // owned until they go into the list
    struct Drop {
        std::vector<PyObject*>& v;
        ~Drop() {
            for (PyObject* o : v) Py_DECREF(o);
        }
    } drop{pairs};
    ReadAhead ahead(r.cursor(first), kReadAhead, end);
    TurnOffer turns;
    for (EntryCursor c = r.cursor(first); c.index() < end; c.next()) {
        const auto [key, offset] = c.entry();
        if (!key.starts_with(prefix)) break;
        turns.step(c.index() - first);
        ahead.step();
        const auto object = r.object_at(offset);
        if (!object) return raise_store_error(object.error());
        Ref k(lossy_text(key));
        if (!k) return nullptr;
        Ref v(to_bytes(*object));
        if (!v) return nullptr;
        PyObject* pair = PyTuple_New(2);
        if (!pair) return nullptr;
        PyTuple_SET_ITEM(pair, 0, k.release());
        PyTuple_SET_ITEM(pair, 1, v.release());
        // A pair of a str and a bytes can never be part of a cycle; the collector would find
        // that out itself on its next pass, after scanning it. Untracked now, a million pairs
        // cost the collector nothing (a sixth of a whole walk's time with it enabled).
        PyObject_GC_UnTrack(pair);
        if (list)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(c.index() - first), pair);
        else
            pairs.push_back(pair);
    }
    if (list) return list.release();
    list.reset(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < pairs.size(); ++i) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pairs[i]);
    pairs.clear();  // the list owns them now
    return list.release();
}

PyObject* reader_repr(PyObject* self) {
    return with_reader(self, [](const StoreReader& r) -> PyObject* {
        // The path goes in verbatim: no quoting or escaping of what the caller passed.
        std::string text = "_TarnReader('";
        text += r.path();
        text += "', keys=" + std::to_string(r.num_keys()) + ", objects=" + std::to_string(r.num_objects()) + ")";
        return lossy_text(text);
    });
}

PyObject* get_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return with_key(get_raw_params, self, args, nargs, kwnames, [](const StoreReader& r, std::string_view key) {
        auto found = r.get_raw(key);
        if (!found) return raise_store_error(std::move(found.error()));
        if (!*found) Py_RETURN_NONE;
        return to_bytes(**found);
    });
}

PyObject* exists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return with_key(exists_params, self, args, nargs, kwnames,
                    [](const StoreReader& r, std::string_view key) { return PyBool_FromLong(r.exists(key)); });
}

PyObject* prefix_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return with_key(prefix_params, self, args, nargs, kwnames, [](const StoreReader& r, std::string_view prefix) {
        return pairs_from(r, r.lower_bound(prefix), r.entry_count(), prefix);
    });
}

// The key list has no core pass to run apart: reading a key is one load, and all the work is
// making the strings, which needs the interpreter (it offers other threads turns instead).
PyObject* keys(PyObject* self, PyObject*) {
    return with_reader(self, [](const StoreReader& r) -> PyObject* {
        const std::size_t n = r.entry_count();
        Ref list(PyList_New(static_cast<Py_ssize_t>(n)));
        if (!list) return nullptr;
        EntryCursor c = r.cursor(0);
        TurnOffer turns;
        for (std::size_t i = 0; i < n; ++i, c.next()) {
            turns.step(i);
            PyObject* text = lossy_text(c.key());
            if (!text) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
        }
        return list.release();
    });
}

PyObject* items_raw(PyObject* self, PyObject*) {
    return with_reader(self, [](const StoreReader& r) { return pairs_from(r, 0, r.entry_count(), {}); });
}

PyObject* objects_raw(PyObject* self, PyObject*) {
    return with_reader(self, [](const StoreReader& r) -> PyObject* {
        auto objects = without_interpreter(r.entry_count() >= kReleaseFromEntries, [&] { return r.objects_raw(); });
        if (!objects) return raise_store_error(std::move(objects.error()));
        Ref list(PyList_New(static_cast<Py_ssize_t>(objects->size())));
        if (!list) return nullptr;
        // The core's pass read each record long before this one copies it, and a large
        // store's records have left the cache by then: they are loaded again ahead of the copies.
        const auto prefetch = [&](std::size_t i) {
            if (i >= objects->size()) return;
            const std::string_view o = (*objects)[i];
            __builtin_prefetch(o.data());
            if (o.size() > 32) __builtin_prefetch(o.data() + o.size() - 1);
        };
        for (std::size_t i = 0; i < kReadAhead; ++i) prefetch(i);
        TurnOffer turns;
        for (std::size_t i = 0; i < objects->size(); ++i) {
            prefetch(i + kReadAhead);
            turns.step(i);
            PyObject* b = to_bytes((*objects)[i]);
            if (!b) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), b);
        }
        return list.release();
    });
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    Ref owned(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* stats(PyObject* self, PyObject*) {
    return with_reader(self, [](const StoreReader& r) -> PyObject* {
        const Stats s = r.stats();
        Ref dict(PyDict_New());
        if (!dict) return nullptr;
        PyObject* d = dict.get();
        if (!set_item(d, "path", lossy_text(s.path)) || !set_item(d, "version", PyLong_FromLong(s.version)) ||
            !set_item(d, "num_keys", PyLong_FromUnsignedLongLong(s.num_keys)) ||
            !set_item(d, "num_objects", PyLong_FromUnsignedLongLong(s.num_objects)) ||
            !set_item(d, "index_offset", PyLong_FromUnsignedLongLong(s.index_offset)) ||
            !set_item(d, "data_offset", PyLong_FromUnsignedLongLong(s.data_offset)) ||
            !set_item(d, "file_size_kb", PyFloat_FromDouble(s.file_size_kb)) ||
            !set_item(d, "file_crc32", lossy_text(s.file_crc32)))
            return nullptr;
        return dict.release();
    });
}

PyObject* verify(PyObject* self, PyObject*) {
    return with_reader(self, [](const StoreReader& r) -> PyObject* {
        const bool big = r.file_size() >= kReleaseFromBytes || r.entry_count() >= kReleaseFromEntries;
        if (auto st = without_interpreter(big, [&] { return r.verify(); }); !st)
            return raise_store_error(std::move(st.error()));
        Py_RETURN_TRUE;
    });
}

PyObject* reader_close(PyObject* self, PyObject*) {
    return with_reader(self, [](const StoreReader&) -> PyObject* { Py_RETURN_NONE; });
}

PyObject* reader_enter(PyObject* self, PyObject*) {
    return with_reader(self, [&](const StoreReader&) { return Py_NewRef(self); });
}

PyObject* reader_exit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* a[3];
        if (!bind(exit_params, args, nargs, kwnames, a)) return nullptr;
        Py_RETURN_FALSE;  // never suppresses the exception of a with block
    });
}

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef reader_methods[] = {
    {"get_raw", as_method(get_raw), kFastKw,
     "get_raw($self, key)\n--\n\nO(1) exact-match lookup. Returns raw msgpack bytes or `None`."},
    {"exists", as_method(exists), kFastKw,
     "exists($self, key)\n--\n\nKey presence check \u2014 no I/O beyond the in-memory hash index."},
    {"prefix_raw", as_method(prefix_raw), kFastKw,
     "prefix_raw($self, prefix)\n--\n\nSorted prefix scan. Returns `list[tuple[str, bytes]]`."},
    {"keys", as_method(keys), METH_NOARGS, "keys($self)\n--\n\nAll keys in sorted order."},
    {"items_raw", as_method(items_raw), METH_NOARGS,
     "items_raw($self)\n--\n\nAll `(key, raw_bytes)` pairs in sorted key order."},
    {"objects_raw", as_method(objects_raw), METH_NOARGS,
     "objects_raw($self)\n--\n\nUnique objects only (deduplicated by file offset)."},
    {"stats", as_method(stats), METH_NOARGS, "stats($self)\n--\n\nReturn file metadata as a `dict`."},
    {"verify", as_method(verify), METH_NOARGS,
     "verify($self)\n--\n\nDeep CRC32 integrity check (whole-file + per-object)."},
    {"close", as_method(reader_close), METH_NOARGS, "close($self)\n--\n\n"},
    {"__enter__", as_method(reader_enter), METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", as_method(reader_exit), kFastKw, "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_doc, const_cast<char*>("_TarnReader(path, verify=True)\n--\n\n"
                                  "Low-level reader \u2014 returns raw msgpack bytes.\n"
                                  "**Use `tarnkv.TarnReader` (Python wrapper) instead of this directly.**\n"
                                  "\n"
                                  "Thread-safe for reads: the index is immutable after construction and the\n"
                                  "mmap is read-only.  Share one instance freely across threads.")},
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(reader_repr)},
    {Py_tp_methods, reader_methods},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "builtins._TarnReader", static_cast<int>(sizeof(Reader)), 0, Py_TPFLAGS_DEFAULT, reader_slots,
};

OnceObject reader_class;

}  // namespace

PyObject* reader_type() {
    return reader_class.get([]() -> PyObject* {
        for (Params* p : {&new_params, &get_raw_params, &exists_params, &prefix_params, &exit_params})
            if (!intern_names(*p)) return nullptr;
        return PyType_FromSpec(&reader_spec);
    });
}

}  // namespace tarnkv::py
