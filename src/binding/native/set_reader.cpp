// tarnkv._native.ShardSet: the base class of tarnkv.sets.SetReader. It routes each lookup to
// the shard reader that holds its key, groups batches by shard, and walks all shards in global
// key order (SetIterator); the routing, the grouping and the merged walk are the core's
// (core/sets/routing.hpp, core/sets/set_reads.hpp). The shard readers do the reading: their
// pins, checks and errors hold.
#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/gil.hpp"
#include "binding/native/mutex_lock.hpp"
#include "binding/native/native.hpp"
#include "binding/native/reader_object.hpp"
#include "binding/once.hpp"
#include "binding/types.hpp"
#include "core/sets/routing.hpp"
#include "core/sets/set_reads.hpp"

namespace tarnkv::native {

using py::guarded;
using py::ReleasedInterpreter;
using py::without_gil;

namespace {

constexpr std::size_t kReadAhead = 16;

struct ShardSetObject {
    PyObject_HEAD
    PyObject* readers;  // a tuple of Reader objects, one per shard
    std::uint32_t count;
    std::uint64_t total;  // keys in all shards
    PyObject* weakrefs;
};

ShardSetObject* as_set(PyObject* o) noexcept { return reinterpret_cast<ShardSetObject*>(o); }
PyObject* shard(const ShardSetObject* s, std::uint32_t i) noexcept { return PyTuple_GET_ITEM(s->readers, i); }

// The shard reader for `key`; for anything that is not a key, shard 0, whose reader then
// answers as for any non-key. nullptr with an exception set when converting the key failed.
PyObject* route(const ShardSetObject* s, PyObject* key) {
    if (s->count == 1) return shard(s, 0);
    KeyBytes k;
    switch (key_bytes(key, k)) {
        case KeyStatus::Ok: return shard(s, sets::shard_of(k.bytes, s->count));
        case KeyStatus::NotAKey: return shard(s, 0);
        case KeyStatus::Failed: break;
    }
    return nullptr;
}

py::OnceObject names[6];  // interned method names, made once
PyObject* name(int i, const char* text) {
    return names[i].get([&] { return PyUnicode_InternFromString(text); });
}

// --- Construction ---------------------------------------------------------------------------

py::Params new_params{"ShardSet()", {"readers"}, 1, 1, py::Params::kAllPositional, py::Wording::classic};
py::Params get_many_params{"get_many()", {"keys", "default"}, 2, 1, py::Params::kAllPositional,
                           py::Wording::classic};
py::Params get_many_raw_params{"get_many_raw()", {"keys", "default"}, 2, 1, py::Params::kAllPositional,
                               py::Wording::classic};

PyObject* set_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* readers;
        if (!py::bind(new_params, args, kwargs, &readers)) return nullptr;
        if (!PyTuple_Check(readers)) return py::argument_type_error(new_params, 0, "tuple", readers), nullptr;
        const Py_ssize_t n = PyTuple_GET_SIZE(readers);
        if (n == 0 || n > 0xFFFF'FFFE) {
            PyErr_SetString(PyExc_ValueError, "a set needs at least one shard");
            return nullptr;
        }
        std::uint64_t total = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* r = PyTuple_GET_ITEM(readers, i);
            const PyTypeObject* t = Py_TYPE(r);
            if (!PyObject_TypeCheck(r, reader_type()) || !t->tp_as_mapping || !t->tp_as_mapping->mp_subscript ||
                !t->tp_as_sequence || !t->tp_as_sequence->sq_contains) {
                PyErr_Format(PyExc_TypeError, "shards must be readers, not %T", r);
                return nullptr;
            }
            Pin pin(as_reader(r));
            if (!pin.ok()) return nullptr;
            total += pin.core().entry_count();
        }
        Ref self(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        ShardSetObject* s = as_set(self.get());
        s->readers = Py_NewRef(readers);
        s->count = static_cast<std::uint32_t>(n);
        s->total = total;
        return self.release();
    });
}

int set_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_set(self)->readers);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int set_clear(PyObject* self) {
    Py_CLEAR(as_set(self)->readers);
    return 0;
}

void set_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_set(self)->weakrefs) PyObject_ClearWeakRefs(self);
    set_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Whether the set is still open (a closed set closes every shard); ValueError when not.
bool open_check(const ShardSetObject* s) {
    if (!s->readers) {
        raise_closed();
        return false;
    }
    if (as_reader(shard(s, 0))->closed()) {
        raise_closed();
        return false;
    }
    return true;
}

// --- Mapping protocol -----------------------------------------------------------------------

PyObject* subscript(PyObject* self, PyObject* key) {
    return guarded([&]() -> PyObject* {
        PyObject* r = route(as_set(self), key);
        return r ? Py_TYPE(r)->tp_as_mapping->mp_subscript(r, key) : nullptr;
    });
}

int contains(PyObject* self, PyObject* key) {
    return guarded<int>(-1, [&]() -> int {
        PyObject* r = route(as_set(self), key);
        return r ? Py_TYPE(r)->tp_as_sequence->sq_contains(r, key) : -1;
    });
}

Py_ssize_t length(PyObject* self) {
    const ShardSetObject* s = as_set(self);
    if (!open_check(s)) return -1;
    return static_cast<Py_ssize_t>(s->total);
}

// --- Lookups --------------------------------------------------------------------------------

// The reader's own C functions behind get, get_raw and get_view, found once: a routed call
// goes straight to them with the caller's arguments, as lean as a call on the shard itself. A
// lookup waits on memory, and every instruction spent around it is time the next lookup's
// loads cannot start (a leaner path lets more of them overlap).
using FastKw = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
struct ReaderMethods {
    FastKw get = nullptr, get_raw = nullptr, get_view = nullptr;
};
py::OnceObject methods_found;
ReaderMethods reader_methods;

bool find_methods() {
    return methods_found.get([]() -> PyObject* {
        PyObject* type = reinterpret_cast<PyObject*>(reader_type());
        if (!type) return nullptr;
        const auto find = [&](const char* name, FastKw& out) {
            Ref descr(PyObject_GetAttrString(type, name));
            if (!descr) return false;
            if (!PyObject_TypeCheck(descr.get(), &PyMethodDescr_Type)) {
                PyErr_Format(PyExc_TypeError, "Reader.%s is not a C method", name);
                return false;
            }
            PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(descr.get())->d_method;
            if ((def->ml_flags & (METH_FASTCALL | METH_KEYWORDS)) != (METH_FASTCALL | METH_KEYWORDS)) {
                PyErr_Format(PyExc_TypeError, "Reader.%s has an unexpected calling convention", name);
                return false;
            }
            out = reinterpret_cast<FastKw>(reinterpret_cast<void (*)()>(def->ml_meth));
            return true;
        };
        if (!find("get", reader_methods.get) || !find("get_raw", reader_methods.get_raw) ||
            !find("get_view", reader_methods.get_view))
            return nullptr;
        return Py_NewRef(Py_True);
    }) != nullptr;
}

// get/get_raw/get_view(key, default=None): the shard's own method with the same arguments.
// Shard readers are tarnkv.TarnReader objects, which keep the native Reader's methods.
PyObject* forward(PyObject* self, FastKw ReaderMethods::* which, PyObject* const* args, Py_ssize_t nargsf,
                  PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!find_methods()) return nullptr;
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        PyObject* key = nargs > 0 ? args[0] : nullptr;
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t i = 0; !key && i < nkw; ++i)
            if (PyUnicode_EqualToUTF8(PyTuple_GET_ITEM(kwnames, i), "key")) key = args[nargs + i];
        const ShardSetObject* s = as_set(self);
        PyObject* r = key ? route(s, key) : shard(s, 0);  // without a key, the shard says what is wrong
        if (!r) return nullptr;
        return (reader_methods.*which)(r, args, nargs, kwnames);
    });
}

PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return forward(self, &ReaderMethods::get, args, n, kw);
}
PyObject* get_raw(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return forward(self, &ReaderMethods::get_raw, args, n, kw);
}
PyObject* get_view(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return forward(self, &ReaderMethods::get_view, args, n, kw);
}

// Batches this long go to the shards' own get_many, which gives up the interpreter lock while
// it looks keys up; shorter ones are looked up here, with the lock held throughout.
constexpr std::size_t kLargeBatch = 4096;

// A batch looked up here: the keys routed and grouped by shard, each group looked up in the
// shard's core in one pass (so its memory misses overlap), the answers made straight into the
// result list, in the keys' order. No Python call per shard, no second conversion of the keys.
PyObject* get_many_here(const ShardSetObject* s, PyObject* seq, PyObject* dflt, bool decoded) {
    const auto n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq));
    PyObject** items = PySequence_Fast_ITEMS(seq);
    // Strong references: making the answers may run a collection, and a finalizer could change
    // the list the keys came in while their bytes are in use here.
    std::vector<Ref> held(n);
    std::vector<KeyBytes> converted(n);
    sets::ShardBatch routed(s->count, n);  // what is not a key gets the default
    for (std::size_t i = 0; i < n; ++i) {
        held[i].reset(Py_NewRef(items[i]));
        switch (key_bytes(items[i], converted[i])) {
            case KeyStatus::Ok: routed.route(i, converted[i].bytes); break;
            case KeyStatus::NotAKey: break;
            case KeyStatus::Failed: return nullptr;
        }
    }
    routed.group([&](std::size_t i) { return converted[i].bytes; });
    const std::span<const std::string_view> lookups = routed.keys();
    const std::span<const std::size_t> pos = routed.positions();
    Ref list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    PyObject** out = PySequence_Fast_ITEMS(list.get());
    for (std::size_t i = 0; i < n; ++i) out[i] = Py_NewRef(dflt);
    std::vector<std::optional<std::string_view>> found(lookups.size());
    std::vector<std::size_t> to_decode;  // bytes the shard's codec still has to decode
    for (std::uint32_t j = 0; j < s->count; ++j) {
        const std::size_t a = routed.begin(j), b = routed.end(j);
        if (a == b) continue;
        ReaderObject* r = as_reader(shard(s, j));
        Pin pin(r);
        if (!pin.ok()) return nullptr;
        const std::span<const std::string_view> keys = lookups.subspan(a, b - a);
        const std::span<std::optional<std::string_view>> answers(found.data() + a, b - a);
        if (auto st = pin.core().get_many(keys, answers, r->check_reads); !st) {
            const std::size_t k = a + st.error().index;
            const auto offset = pin.core().lookup(lookups[k]);  // not carried out of the batch
            return raise_read_error(r, st.error().error, held[pos[k]].get(), offset.value_or(0));
        }
        DecodeBuffer buffer;
        for (std::size_t k = a; k < b; ++k) {
            if (!found[k]) continue;
            const auto object = as_put(pin.core(), *found[k], buffer);
            if (!object) {
                const auto offset = pin.core().lookup(lookups[k]);
                return raise_read_error(r, object.error(), held[pos[k]].get(), offset.value_or(0));
            }
            PyObject* value = decoded ? decode_in_place(r, *object) : nullptr;
            if (!value) {
                if (decoded) to_decode.push_back(k);
                value = PyBytes_FromStringAndSize(object->data(), static_cast<Py_ssize_t>(object->size()));
                if (!value) return nullptr;
            }
            Py_SETREF(out[pos[k]], value);
        }
    }
    // The codec is Python code, which may even close a shard: every pin is gone by now.
    for (const std::size_t k : to_decode) {
        ReaderObject* r = as_reader(shard(s, routed.shard_at(pos[k])));
        if (!r->decode.active()) continue;
        PyObject* value = r->decode(out[pos[k]]);
        if (!value) {
            note_key("while decoding", held[pos[k]].get());
            return nullptr;
        }
        Py_SETREF(out[pos[k]], value);
    }
    return list.release();
}

// get_many / get_many_raw: the keys grouped by shard, one batch per shard (so each batch still
// overlaps its memory misses), the answers put back in the keys' order.
PyObject* get_many_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, bool decoded) {
    PyObject* a[2];
    if (!py::bind(decoded ? get_many_params : get_many_raw_params, args, nargs, kwnames, a)) return nullptr;
    PyObject* keys = a[0];
    PyObject* dflt = a[1] ? a[1] : Py_None;
    const ShardSetObject* s = as_set(self);
    PyObject* meth = decoded ? name(3, "get_many") : name(4, "get_many_raw");
    if (!meth) return nullptr;
    if (s->count == 1) {
        PyObject* call[] = {shard(s, 0), keys, dflt};
        return PyObject_VectorcallMethod(meth, call, 3, nullptr);
    }
    Ref seq(PySequence_Fast(keys, "keys must be iterable"));
    if (!seq) return nullptr;
    const auto n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq.get()));
    PyObject** items = PySequence_Fast_ITEMS(seq.get());
    if (n < kLargeBatch) return get_many_here(s, seq.get(), dflt, decoded);
    sets::ShardBatch routed(s->count, n);  // what is not a key gets the default
    for (std::size_t i = 0; i < n; ++i) {
        KeyBytes k;  // only routed here: the shards' get_many take the keys themselves
        switch (key_bytes(items[i], k)) {
            case KeyStatus::Ok: routed.route(i, k.bytes); break;
            case KeyStatus::NotAKey: break;
            case KeyStatus::Failed: return nullptr;
        }
    }
    routed.group();
    const std::span<const std::size_t> pos = routed.positions();
    std::vector<std::size_t> counts(s->count);
    for (std::uint32_t j = 0; j < s->count; ++j) counts[j] = routed.end(j) - routed.begin(j);
    std::vector<Ref> batches(s->count);
    for (std::uint32_t j = 0; j < s->count; ++j) {
        if (!counts[j]) continue;
        batches[j].reset(PyList_New(static_cast<Py_ssize_t>(counts[j])));
        if (!batches[j]) return nullptr;
    }
    for (std::uint32_t j = 0; j < s->count; ++j)
        for (std::size_t k = routed.begin(j); k < routed.end(j); ++k)
            PyList_SET_ITEM(batches[j].get(), static_cast<Py_ssize_t>(k - routed.begin(j)), Py_NewRef(items[pos[k]]));
    std::vector<Ref> results(s->count);
    for (std::uint32_t j = 0; j < s->count; ++j) {
        if (!counts[j]) continue;
        PyObject* call[] = {shard(s, j), batches[j].get(), dflt};
        results[j].reset(PyObject_VectorcallMethod(meth, call, 3, nullptr));
        if (!results[j]) return nullptr;
        if (!PyList_Check(results[j].get()) || static_cast<std::size_t>(PyList_GET_SIZE(results[j].get())) != counts[j]) {
            PyErr_SetString(PyExc_RuntimeError, "a shard answered a batch with the wrong number of results");
            return nullptr;
        }
    }
    Ref out(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!out) return nullptr;
    std::vector<std::size_t> fill(s->count, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t j = routed.shard_at(i);
        PyObject* v = j == sets::ShardBatch::kNoShard
                          ? dflt
                          : PyList_GET_ITEM(results[j].get(), static_cast<Py_ssize_t>(fill[j]++));
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), Py_NewRef(v));
    }
    return out.release();
}

PyObject* get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return get_many_impl(self, args, nargs, kwnames, true); });
}
PyObject* get_many_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return get_many_impl(self, args, nargs, kwnames, false); });
}

PyObject* shard_of(PyObject* self, PyObject* key) {
    return guarded([&]() -> PyObject* {
        KeyBytes k;
        if (!require_key(key, k)) return nullptr;
        return PyLong_FromUnsignedLong(sets::shard_of(k.bytes, as_set(self)->count));
    });
}

PyObject* count_prefix(PyObject* self, PyObject* prefix) {
    return guarded([&]() -> PyObject* {
        const ShardSetObject* s = as_set(self);
        PyObject* meth = name(5, "count_prefix");
        if (!meth) return nullptr;
        unsigned long long total = 0;
        for (std::uint32_t j = 0; j < s->count; ++j) {
            PyObject* call[] = {shard(s, j), prefix};
            Ref n(PyObject_VectorcallMethod(meth, call, 2, nullptr));
            if (!n) return nullptr;
            const unsigned long long v = PyLong_AsUnsignedLongLong(n.get());
            if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
            total += v;
        }
        return PyLong_FromUnsignedLongLong(total);
    });
}

// The first key of shard `i` that routes elsewhere (a shard swapped or renamed), or None.
PyObject* misrouted(PyObject* self, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        const ShardSetObject* s = as_set(self);
        const unsigned long i = PyLong_AsUnsignedLong(arg);
        if (i == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
        if (i >= s->count) {
            PyErr_SetString(PyExc_IndexError, "shard out of range");
            return nullptr;
        }
        Pin pin(as_reader(shard(s, static_cast<std::uint32_t>(i))));
        if (!pin.ok()) return nullptr;
        const StoreReader& core = pin.core();
        const std::optional<std::size_t> bad = without_gil(
            [&](ReleasedInterpreter&) { return sets::first_misrouted(core, static_cast<std::uint32_t>(i), s->count); });
        if (!bad) Py_RETURN_NONE;
        return key_as_bytes(core.key_at(*bad));
    });
}

PyObject* get_shards(PyObject* self, void*) {
    const ShardSetObject* s = as_set(self);
    if (!s->readers) return raise_closed();
    return Py_NewRef(s->readers);
}

// --- The merged walk --------------------------------------------------------------------------

// A pin taken by hand (try_pin) and let go at the end of its scope or by reset().
class HeldPin {
public:
    HeldPin() = default;
    HeldPin(const HeldPin&) = delete;
    HeldPin& operator=(const HeldPin&) = delete;
    ~HeldPin() { reset(); }
    bool take(ReaderObject* r) noexcept {
        if (!r->try_pin()) return false;
        r_ = r;
        return true;
    }
    void reset() noexcept {
        if (r_) r_->unpin();
        r_ = nullptr;
    }

private:
    ReaderObject* r_ = nullptr;
};

struct WalkState {
    PyMutex mutex{};
    sets::MergedWalk walk;
};

struct SetIteratorObject {
    PyObject_HEAD
    PyObject* readers;
    IterKind kind;
    WalkState* state;
};

SetIteratorObject* as_walk(PyObject* o) noexcept { return reinterpret_cast<SetIteratorObject*>(o); }

// As for a store's iterator (iterator.cpp): seen by the collector through its shard readers,
// whose clear breaks any cycle it is part of.
int walk_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_walk(self)->readers);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

void walk_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    SetIteratorObject* it = as_walk(self);
    Py_CLEAR(it->readers);
    delete it->state;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* walk_next(PyObject* self) {
    return guarded([&]() -> PyObject* {
        SetIteratorObject* it = as_walk(self);
        WalkState& w = *it->state;
        const IterKind kind = it->kind;
        ReaderObject* r = nullptr;
        HeldPin pin;
        std::string_view key;
        std::uint64_t offset = 0;
        std::optional<Result<std::string_view>> object;
        bool closed = false;
        {
            // Only C++ work under the mutex (pins are atomics): no Python code runs here.
            MutexLock lock(w.mutex);
            const std::optional<std::uint32_t> next = w.walk.next_shard();
            if (!next) return nullptr;  // StopIteration
            r = as_reader(PyTuple_GET_ITEM(it->readers, *next));
            closed = !pin.take(r);
            if (!closed) {
                const EntryCursor at = w.walk.take();
                key = at.key();
                if (kind != IterKind::KeysStr && kind != IterKind::KeysBytes) {
                    offset = at.offset();
                    object.emplace(read_view(r, *r->core, offset));
                }
            }
        }
        if (closed) return raise_closed();
        if (kind == IterKind::KeysStr) return key_str(key);
        if (kind == IterKind::KeysBytes) return key_as_bytes(key);
        EntryAnswer answer;
        if (!answer.take(r, kind, key, offset, *object)) return nullptr;
        pin.reset();  // the codec is Python code: no pin while it runs
        return answer.finish(r, kind);
    });
}

PyObject* walk_length_hint(PyObject* self, PyObject*) {
    WalkState& w = *as_walk(self)->state;
    std::size_t left;
    {
        MutexLock lock(w.mutex);
        left = w.walk.remaining();
    }
    return PyLong_FromSize_t(left);
}

PyMethodDef walk_methods[] = {
    {"__length_hint__", py::as_method(walk_length_hint), METH_NOARGS, "__length_hint__($self, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot walk_slots[] = {
    {Py_tp_doc, const_cast<char*>("A lazy walk over every shard of a set, in global key order.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(walk_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(walk_traverse)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(walk_next)},
    {Py_tp_methods, walk_methods},
    {0, nullptr},
};

PyType_Spec walk_spec = {"tarnkv._native.SetIterator", static_cast<int>(sizeof(SetIteratorObject)), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
                         walk_slots};

py::OnceObject walk_type_object;

PyTypeObject* walk_type() {
    return reinterpret_cast<PyTypeObject*>(walk_type_object.get([] { return PyType_FromSpec(&walk_spec); }));
}

PyObject* make_walk(const ShardSetObject* s, IterKind kind, PyObject* prefix, std::size_t limit) {
    const bool keys_only = kind == IterKind::KeysStr || kind == IterKind::KeysBytes;
    auto state = std::make_unique<WalkState>(PyMutex{}, sets::MergedWalk(limit, keys_only ? 0 : kReadAhead));
    KeyBytes p;
    if (prefix && !prefix_arg(prefix, p)) return nullptr;
    for (std::uint32_t j = 0; j < s->count; ++j) {
        Pin pin(as_reader(shard(s, j)));
        if (!pin.ok()) return nullptr;
        const StoreReader& core = pin.core();
        std::size_t first = 0, last = core.entry_count();
        if (prefix) std::tie(first, last) = core.prefix_range(p.bytes);
        state->walk.add(j, core, first, last);
    }
    PyTypeObject* type = walk_type();
    if (!type) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    SetIteratorObject* it = as_walk(self);
    it->readers = Py_NewRef(s->readers);
    it->kind = kind;
    it->state = state.release();
    return self;
}

PyObject* iterate(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const ShardSetObject* s = as_set(self);
        if (!open_check(s)) return nullptr;
        return make_walk(s, IterKind::KeysStr, nullptr, SIZE_MAX);
    });
}

PyObject* scan(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        ScanArgs a;
        if (!scan_args(args, kwargs, a)) return nullptr;
        const ShardSetObject* s = as_set(self);
        if (!open_check(s)) return nullptr;
        return make_walk(s, a.kind, a.prefix, a.limit);
    });
}

using py::as_method;
constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;
constexpr int kKw = METH_VARARGS | METH_KEYWORDS;

PyMethodDef set_methods[] = {
    {"get", as_method(get), kFastKw,
     "get($self, key, default=None)\n--\n\nThe decoded object of *key*, or *default* when the set lacks it."},
    {"get_raw", as_method(get_raw), kFastKw,
     "get_raw($self, key, default=None)\n--\n\nThe stored bytes of *key*'s object, or *default*."},
    {"get_view", as_method(get_view), kFastKw,
     "get_view($self, key, default=None)\n--\n\nA memoryview of *key*'s object in its shard's mapping, or *default*."},
    {"get_many", as_method(get_many), kFastKw,
     "get_many($self, keys, default=None)\n--\n\nThe decoded objects of *keys*, in their order, *default* for keys "
     "the set lacks;\nlooked up in one batch per shard."},
    {"get_many_raw", as_method(get_many_raw), kFastKw,
     "get_many_raw($self, keys, default=None)\n--\n\nget_many() returning the stored bytes, not decoded."},
    {"shard_of", as_method(shard_of), METH_O,
     "shard_of($self, key, /)\n--\n\nThe number of the shard that holds *key*: key_hash(key) % the shard count."},
    {"count_prefix", as_method(count_prefix), METH_O,
     "count_prefix($self, prefix, /)\n--\n\nHow many keys start with *prefix*, in all shards."},
    {"_scan", as_method(scan), kKw,
     "_scan($self, kind, prefix=None, limit=None)\n--\n\nA lazy walk of every shard in global key order."},
    {"_misrouted", as_method(misrouted), METH_O,
     "_misrouted($self, shard, /)\n--\n\nThe first key of shard *shard* that belongs to another shard, or None."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef set_getset[] = {
    {"shards", get_shards, nullptr, "The shards' readers, in shard order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef set_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(ShardSetObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot set_slots[] = {
    {Py_tp_doc, const_cast<char*>("ShardSet(readers)\n--\n\nThe native half of tarnkv.sets.SetReader: use that class.")},
    {Py_tp_new, reinterpret_cast<void*>(set_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(set_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(set_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(set_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(iterate)},
    {Py_mp_subscript, reinterpret_cast<void*>(subscript)},
    {Py_mp_length, reinterpret_cast<void*>(length)},
    {Py_sq_contains, reinterpret_cast<void*>(contains)},
    {Py_tp_methods, set_methods},
    {Py_tp_getset, set_getset},
    {Py_tp_members, set_members},
    {0, nullptr},
};

PyType_Spec set_spec = {"tarnkv._native.ShardSet", static_cast<int>(sizeof(ShardSetObject)), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, set_slots};

py::OnceObject set_type_object;

}  // namespace

PyTypeObject* shard_set_type() {
    return reinterpret_cast<PyTypeObject*>(set_type_object.get([]() -> PyObject* {
        for (py::Params* p : {&new_params, &get_many_params, &get_many_raw_params})
            if (!py::intern_names(*p)) return nullptr;
        return PyType_FromSpec(&set_spec);
    }));
}

int add_shard_set_types(PyObject* module) {
    PyTypeObject* set = shard_set_type();
    PyTypeObject* walk = walk_type();
    if (!set || !walk) return -1;
    if (PyModule_AddObjectRef(module, "ShardSet", reinterpret_cast<PyObject*>(set)) < 0) return -1;
    return PyModule_AddObjectRef(module, "SetIterator", reinterpret_cast<PyObject*>(walk));
}

}  // namespace tarnkv::native
