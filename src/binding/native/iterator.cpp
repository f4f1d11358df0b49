// tarnkv._native.Iterator: a lazy walk over a range of a reader's index, yielding keys, items
// or values. It holds no list: each step reads one entry (pinning the reader for that step, so
// a close() in between is seen at the next step) and reads ahead the object of an entry
// further on, so that the walk does not wait on one memory miss after another.
#include <new>

#include "binding/errors.hpp"
#include "binding/native/native.hpp"
#include "binding/native/reader_object.hpp"
#include "binding/once.hpp"
#include "binding/types.hpp"

namespace tarnkv::native {

using py::guarded;

namespace {

constexpr std::size_t kReadAhead = 16;
// The kinds that run no Python code for an entry make their answers this many at a time under
// one pin: a pin is two atomic operations, a large part of a step that only copies bytes.
constexpr unsigned kBatch = 64;

struct IteratorObject {
    PyObject_HEAD
    PyObject* reader;
    std::size_t first;
    std::size_t end;
    IterKind kind;
    bool started;        // the cursors are set from `first` at the first step
    EntryCursor cursor;  // the next entry
    EntryCursor ahead;   // kReadAhead entries further on, for objects that will be read
    // Answers made ahead, yielded from ready[ready_at] to ready[ready_end - 1]. They are copies
    // (no view into the mapping), and each step still checks the reader first, so a close()
    // in between is seen at the next step as before.
    unsigned ready_at;
    unsigned ready_end;
    PyObject* ready[kBatch];
};

bool reads_objects(IterKind kind) noexcept { return kind != IterKind::KeysStr && kind != IterKind::KeysBytes; }
bool runs_codec(IterKind kind) noexcept { return kind == IterKind::Items || kind == IterKind::Values; }

IteratorObject* as_iterator(PyObject* o) noexcept { return reinterpret_cast<IteratorObject*>(o); }

// An iterator can sit in a cycle (a codec that keeps the iterators it is handed, say, and the
// reader keeps the codec): the collector must see its reader. It needs no clear of its own:
// every such cycle runs through the reader, whose clear breaks it, and the iterator stays
// usable meanwhile.
int iterator_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_iterator(self)->reader);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

// Drops the answers made ahead (the caller holds the iterator's critical section).
void drop_ready(IteratorObject* it) noexcept {
    while (it->ready_at < it->ready_end) Py_DECREF(it->ready[it->ready_at++]);
    it->ready_at = it->ready_end = 0;
}

void iterator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    drop_ready(as_iterator(self));
    Py_CLEAR(as_iterator(self)->reader);
    type->tp_free(self);
    Py_DECREF(type);
}

// Takes the next entry, or returns false at the end. The cursors live in the iterator, so a
// step moves from one entry to the next without finding it again.
void start(IteratorObject* it, const StoreReader& core) {
    const bool objects = reads_objects(it->kind);
    if (!it->started) {
        it->started = true;
        it->cursor = core.cursor(it->first);
        it->cursor.prefetch_entries_to_come();
        it->ahead = it->cursor;
        for (std::size_t k = 0; objects && k < kReadAhead && it->ahead.index() < it->end; ++k) {
            it->ahead.prefetch_object();
            it->ahead.prefetch_entries();
            it->ahead.next();
        }
    }
}

// Moves a walk's cursors past the next entry; `ahead` starts the loads of what is to come.
void step_cursors(EntryCursor& cursor, EntryCursor& ahead, bool objects, std::size_t end) noexcept {
    cursor.next();
    if (!objects) {
        cursor.prefetch_entries();
    } else if (ahead.index() < end) {
        ahead.prefetch_object();
        ahead.prefetch_entries();
        ahead.next();
    }
}

// Moves past the next entry (the caller holds the iterator's critical section).
void step(IteratorObject* it) { step_cursors(it->cursor, it->ahead, reads_objects(it->kind), it->end); }

bool advance(PyObject* self, const StoreReader& core, EntryCursor& c) {
    IteratorObject* it = as_iterator(self);
    bool more;
    Py_BEGIN_CRITICAL_SECTION(self);
    start(it, core);
    c = it->cursor;
    more = c.index() < it->end;
    if (more) step(it);
    Py_END_CRITICAL_SECTION();
    return more;
}

// The answer for entry (k, offset) of a kind that runs no codec, made straight from the mapping
// (a compressed store's object through `buffer`), or nullptr when it cannot be made here: a bad
// record or no memory, with no exception left set. The one-entry step then meets the same
// failure at that entry's turn and raises it in full.
PyObject* quick_answer(const ReaderObject* r, const StoreReader& core, IterKind kind, std::string_view k,
                       std::uint64_t offset, bool compressed, DecodeBuffer& buffer) {
    PyObject* answer = nullptr;
    if (kind == IterKind::KeysStr) {
        answer = key_str(k);
    } else if (kind == IterKind::KeysBytes) {
        answer = key_as_bytes(k);
    } else {
        auto object = read_view(r, core, offset);
        if (object && compressed) object = core.decode(*object, buffer.get());
        if (!object) return nullptr;
        Ref value(PyBytes_FromStringAndSize(object->data(), static_cast<Py_ssize_t>(object->size())));
        if (value && kind == IterKind::ValuesRaw) return value.release();
        if (value) {
            Ref key(key_str(k));
            if (key) answer = make_pair(key.release(), value.release(), true);
        }
    }
    if (!answer) PyErr_Clear();
    return answer;
}

// Makes up to kBatch answers ahead under one pin. It stops before an entry whose answer fails
// (a bad record, or no memory), leaving the cursors on it: the one-entry step raises it at its
// own turn. False (with the exception) only when the reader is closed.
bool refill(PyObject* self, ReaderObject* r) {
    IteratorObject* it = as_iterator(self);
    Pin pin(r);
    if (!pin.ok()) return false;
    const StoreReader& core = pin.core();
    const bool compressed = core.compressed();
    const bool objects = reads_objects(it->kind);
    DecodeBuffer buffer;  // one for the batch, taken only by a compressed store's objects
    Py_BEGIN_CRITICAL_SECTION(self);
    if (it->ready_at == it->ready_end) {
        it->ready_at = it->ready_end = 0;
        start(it, core);
        // The loop runs on copies of the cursors, kept in registers across the calls that make
        // the objects (which run no Python code), and puts them back at the end.
        EntryCursor cursor = it->cursor;
        EntryCursor ahead = it->ahead;
        const std::size_t end = it->end;
        unsigned made = 0;
        while (made < kBatch && cursor.index() < end) {
            const auto [k, offset] = cursor.entry();
            PyObject* answer = quick_answer(r, core, it->kind, k, offset, compressed, buffer);
            if (!answer) break;
            it->ready[made++] = answer;
            step_cursors(cursor, ahead, objects, end);
        }
        it->cursor = cursor;
        it->ahead = ahead;
        it->ready_end = made;
    }
    Py_END_CRITICAL_SECTION();
    return true;
}

// Whether the walk has yielded its last entry (a walk not yet started has not).
bool exhausted(PyObject* self) {
    bool over;
    Py_BEGIN_CRITICAL_SECTION(self);
    const IteratorObject* it = as_iterator(self);
    over = it->started && it->cursor.index() >= it->end && it->ready_at == it->ready_end;
    Py_END_CRITICAL_SECTION();
    return over;
}

// The next answer made ahead, or nullptr when there is none.
PyObject* take_ready(PyObject* self) {
    PyObject* out = nullptr;
    Py_BEGIN_CRITICAL_SECTION(self);
    IteratorObject* it = as_iterator(self);
    if (it->ready_at < it->ready_end) out = it->ready[it->ready_at++];
    Py_END_CRITICAL_SECTION();
    return out;
}

PyObject* iterator_next(PyObject* self) {
    return guarded([&]() -> PyObject* {
        IteratorObject* it = as_iterator(self);
        ReaderObject* r = as_reader(it->reader);
        const IterKind kind = it->kind;
        if (!runs_codec(kind)) {
            if (r->closed()) {
                Py_BEGIN_CRITICAL_SECTION(self);
                drop_ready(it);
                Py_END_CRITICAL_SECTION();
                return raise_closed();
            }
            if (PyObject* ready = take_ready(self)) return ready;
            if (!refill(self, r)) return nullptr;
            if (PyObject* ready = take_ready(self)) return ready;
            if (exhausted(self)) return nullptr;  // StopIteration, without another pin
            // Nothing made: the next entry fails and raises below.
        }
        EntryAnswer answer;
        {
            Pin pin(r);
            if (!pin.ok()) return nullptr;
            const StoreReader& core = pin.core();
            EntryCursor c;
            if (!advance(self, core, c)) return nullptr;  // exhausted: StopIteration
            const auto [k, offset] = c.entry();
            if (kind == IterKind::KeysStr) return key_str(k);
            if (kind == IterKind::KeysBytes) return key_as_bytes(k);
            if (!answer.take(r, kind, k, offset, read_view(r, core, offset))) return nullptr;
        }
        return answer.finish(r, kind);
    });
}

PyObject* length_hint(PyObject* self, PyObject*) {
    std::size_t left;
    Py_BEGIN_CRITICAL_SECTION(self);
    const IteratorObject* it = as_iterator(self);
    left = it->end - (it->started ? it->cursor.index() : it->first) + (it->ready_end - it->ready_at);
    Py_END_CRITICAL_SECTION();
    return PyLong_FromSize_t(left);
}

PyMethodDef methods[] = {
    {"__length_hint__", py::as_method(length_hint), METH_NOARGS, "__length_hint__($self, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("A lazy iterator over a store's index, in key order.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(iterator_traverse)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "tarnkv._native.Iterator", static_cast<int>(sizeof(IteratorObject)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC, slots,
};

py::OnceObject type_object;

}  // namespace

bool EntryAnswer::take(const ReaderObject* r, IterKind kind, std::string_view key, std::uint64_t offset,
                       const Result<std::string_view>& object) {
    if (kind == IterKind::Items || kind == IterKind::ItemsRaw) {
        key_.reset(key_str(key));
        if (!key_) return false;
    }
    if (!object) {
        if (!key_) key_.reset(key_str(key));
        if (key_) raise_read_error(r, object.error(), key_.get(), offset);
        return false;
    }
    DecodeBuffer buffer;
    const auto put = as_put(*r->core, *object, buffer);
    if (!put) {
        if (!key_) key_.reset(key_str(key));
        if (key_) raise_read_error(r, put.error(), key_.get(), offset);
        return false;
    }
    const bool decoded = kind == IterKind::Items || kind == IterKind::Values;
    if (decoded) value_.reset(decode_in_place(r, *put));
    if (!value_) {
        raw_.reset(PyBytes_FromStringAndSize(put->data(), static_cast<Py_ssize_t>(put->size())));
        if (!raw_) return false;
        if (!decoded) value_ = std::move(raw_);
        if (decoded && r->decode.active() && !key_) {
            key_.reset(key_str(key));  // names the key if the codec fails
            if (!key_) return false;
        }
    }
    return true;
}

PyObject* EntryAnswer::finish(const ReaderObject* r, IterKind kind) {
    if (raw_) {  // for the codec, now that the pin is gone
        value_.reset(r->decode(raw_.get()));
        if (!value_) {
            note_key("while decoding", key_.get());
            return nullptr;
        }
    }
    if (kind == IterKind::Values || kind == IterKind::ValuesRaw) return value_.release();
    return make_pair(key_.release(), value_.release());
}

PyObject* make_pair(PyObject* key, PyObject* value, bool untracked_parts) {
    PyObject* pair = PyTuple_New(2);
    if (!pair) {
        Py_DECREF(key);
        Py_DECREF(value);
        return nullptr;
    }
    PyTuple_SET_ITEM(pair, 0, key);
    PyTuple_SET_ITEM(pair, 1, value);
    // A pair of objects the collector does not track (bytes, str, numbers) can never be part of
    // a cycle. Untracked now, as the collector would untrack it after scanning it on its next
    // pass, the pairs of a long walk cost the collector nothing.
    if (untracked_parts || (!PyObject_GC_IsTracked(key) && !PyObject_GC_IsTracked(value))) PyObject_GC_UnTrack(pair);
    return pair;
}

PyTypeObject* iterator_type() {
    return reinterpret_cast<PyTypeObject*>(type_object.get([] { return PyType_FromSpec(&spec); }));
}

PyObject* make_iterator(PyObject* reader, IterKind kind, std::size_t first, std::size_t last) {
    PyTypeObject* type = iterator_type();
    if (!type) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    IteratorObject* it = as_iterator(self);
    it->reader = Py_NewRef(reader);
    it->first = first;
    it->end = last;
    it->kind = kind;
    it->started = false;
    it->ready_at = it->ready_end = 0;
    new (&it->cursor) EntryCursor();
    new (&it->ahead) EntryCursor();
    return self;
}

}  // namespace tarnkv::native
