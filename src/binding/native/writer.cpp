// tarnkv._native.Writer: the base class of tarnkv.TarnWriter. A StoreBuilder with an encoder,
// a policy for keys given twice, and a build that runs without the interpreter lock.
//
// One mutex guards the builder, so the writer can be shared by threads: calls on it take turns,
// and a build (which gives up the interpreter lock) makes other threads' calls wait for it. A
// call from the thread that holds the mutex (a progress callback of a build calling back into
// the writer) fails instead of waiting for itself.
#include <atomic>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <boost/container/small_vector.hpp>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/native/batch_format.hpp"
#include "binding/gil.hpp"
#include "binding/native/native.hpp"
#include "binding/native/progress.hpp"
#include "binding/once.hpp"
#include "binding/types.hpp"
#include "core/format/layout.hpp"
#include "core/writer/spill_builder.hpp"
#include "core/writer/store_builder.hpp"

namespace tarnkv::native {

using py::guarded;
using py::ReleasedInterpreter;
using py::without_gil;

namespace {

enum class Policy : int { Error, Last, First };

struct WriterObject {
    PyObject_HEAD
    PyMutex mutex;
    std::atomic<unsigned long> owner;  // thread holding `mutex`, 0 when free
    std::unique_ptr<StoreBuilder> builder;
    // Under a memory limit, once the builder outgrows it: where everything goes from then on.
    std::unique_ptr<SpillingBuilder> spill;
    std::uint64_t memory_limit;  // 0: none
    std::string spill_parent;    // where the spill directory is made
    // Keys given again that the last build found across spills.
    std::uint64_t spilled_repeated;
    CodecCall encode;
    PyObject* codec;
    Policy policy;
    // Per object: whether a key has ever named it; and how many objects none has.
    std::vector<bool> named;
    std::uint64_t unnamed;
    // Keys given again under "first" (kept on their earlier object) or "last" (re-pointed).
    std::uint64_t repeated;
    // Files build() has renamed into place. Counted before the call returns and read without
    // the mutex, so a signal handler (which may run inside a build's progress report, with
    // the mutex held) can tell whether the file is out, with no window after the rename.
    std::atomic<std::uint64_t> published;
    PyObject* weakrefs;
};

WriterObject* as_writer(PyObject* o) noexcept { return reinterpret_cast<WriterObject*>(o); }

// Holds the writer's mutex for a scope. Check ok(): false means RuntimeError is set.
class Locked {
public:
    explicit Locked(WriterObject* w) : w_(w) {
        const unsigned long me = PyThread_get_thread_ident();
        if (w->owner.load(std::memory_order_relaxed) == me) {
            PyErr_SetString(PyExc_RuntimeError, "the writer is busy in this thread (building)");
            w_ = nullptr;
            return;
        }
        PyMutex_Lock(&w->mutex);  // waits with the interpreter lock released
        w->owner.store(me, std::memory_order_relaxed);
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    ~Locked() {
        if (!w_) return;
        w_->owner.store(0, std::memory_order_relaxed);
        PyMutex_Unlock(&w_->mutex);
    }
    bool ok() const noexcept { return w_ != nullptr; }
    StoreBuilder& builder() const noexcept { return *w_->builder; }
    SpillingBuilder* spill() const noexcept { return w_->spill.get(); }
    std::uint64_t num_objects() const noexcept { return spill() ? spill()->num_objects() : builder().num_objects(); }

private:
    WriterObject* w_;
};

sets::Policy core_policy(Policy p) noexcept {
    switch (p) {
        case Policy::Error: return sets::Policy::Error;
        case Policy::Last: return sets::Policy::Last;
        case Policy::First: break;
    }
    return sets::Policy::First;
}

// Under a memory limit, moves what the writer holds to disk once it weighs half the limit,
// before more is added. Runs locked, with or without the interpreter; fails with what
// stopped the move, the writer then as it was.
Status make_room(WriterObject* w) {
    // The move needs the builder and the run's buffer at once, and the buffer's parts grow by
    // doubling: half the limit for the one and a quarter for the other keep the peak within it.
    if (w->spill || w->memory_limit == 0 || w->builder->footprint() < w->memory_limit / 2) return {};
    auto spill = SpillingBuilder::create(w->spill_parent, w->memory_limit / 4, core_policy(w->policy), true);
    if (!spill) return std::unexpected(std::move(spill.error()));
    const std::optional<int> level = w->builder->compression_level();
    // The builder left behind only says how the store is compressed.
    auto rest = std::make_unique<StoreBuilder>();
    rest->order_objects_by_key(true);
    if (level) {
        if (auto st = (*spill)->compress(*level); !st) return st;
        if (auto st = rest->compress(*level); !st) return st;
    }
    if (auto st = (*spill)->take_over(*w->builder); !st) return st;
    w->builder = std::move(rest);
    w->spill = std::move(*spill);
    return {};
}

using KeyList = boost::container::small_vector<KeyBytes, 4>;
using KeyObjects = boost::container::small_vector<PyObject*, 4>;

// --- Checks and errors ----------------------------------------------------------------------

PyObject* limit_error(const char* cls, PyObject* message) { return raise_package_error(cls, Ref(PyTuple_Pack(1, message)).get()); }

bool check_key(PyObject* key, KeyBytes& k) {
    if (!require_key(key, k)) return false;
    if (k.bytes.size() <= format::kMaxKeyLen) return true;
    Ref message(PyUnicode_FromFormat("key %.80R is %zu bytes long; keys are at most 65535 bytes", key,
                                     k.bytes.size()));
    if (message) limit_error("KeyTooLongError", message.get());
    return false;
}

bool check_object(std::size_t size, PyObject* key) {
    if (size <= format::kMaxObjectLen) return true;
    Ref message(key ? PyUnicode_FromFormat("the object of key %.80R is %zu bytes; objects are at most 4294967295 "
                                           "bytes", key, size)
                    : PyUnicode_FromFormat("the object is %zu bytes; objects are at most 4294967295 bytes", size));
    if (message) limit_error("ObjectTooLargeError", message.get());
    return false;
}

bool check_room(const StoreBuilder& b, std::size_t new_objects, std::size_t new_keys) {
    const char* what = nullptr;
    if (b.num_objects() + new_objects > format::kMaxCount) what = "objects";
    if (b.num_keys() + new_keys > format::kMaxCount) what = "keys";
    if (!what) return true;
    Ref message(PyUnicode_FromFormat("the writer already holds 4294967295 %s", what));
    if (message) limit_error("StoreFullError", message.get());
    return false;
}

PyObject* duplicate_error(PyObject* key, std::uint64_t existing, std::uint64_t wanted) {
    Ref message(existing == wanted
                    ? PyUnicode_FromFormat("key %.80R is given twice for object %llu", key,
                                           static_cast<unsigned long long>(wanted))
                    : PyUnicode_FromFormat("key %.80R already maps to object %llu; it cannot also map to object %llu",
                                           key, static_cast<unsigned long long>(existing),
                                           static_cast<unsigned long long>(wanted)));
    if (!message) return nullptr;
    return raise_package_error("DuplicateKeyError", Ref(Py_BuildValue("(OOKK)", message.get(), key,
                                                                      static_cast<unsigned long long>(existing),
                                                                      static_cast<unsigned long long>(wanted)))
                                                        .get());
}

// Encodes `obj` for `key` (nullptr for add()). Failures the codec reports about the object
// itself become TypeError naming the key.
PyObject* encode(WriterObject* w, PyObject* obj, PyObject* key) {
    PyObject* out = w->encode(obj);
    if (out) return out;
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
        !PyErr_ExceptionMatches(PyExc_OverflowError)) {
        note_key("while encoding", key ? key : Py_None);
        return nullptr;
    }
    Ref cause(PyErr_GetRaisedException());
    if (key)
        PyErr_Format(PyExc_TypeError, "cannot encode the object of key %.80R: %S", key, cause.get());
    else
        PyErr_Format(PyExc_TypeError, "cannot encode the object: %S", cause.get());
    Ref exc(PyErr_GetRaisedException());
    PyException_SetCause(exc.get(), cause.release());
    PyErr_SetRaisedException(exc.release());
    return nullptr;
}

// The bytes of an encoded object: a bytes object, or anything with a contiguous buffer.
class Encoded {
public:
    ~Encoded() {
        if (buffer_.obj) PyBuffer_Release(&buffer_);
    }
    // `obj` (a new reference, or nullptr with an exception set) is what the codec returned when
    // `from_codec`, else what the caller gave as already encoded.
    bool take(PyObject* obj, PyObject* key, bool from_codec) {
        held_.reset(obj);
        if (!obj) return false;
        if (PyBytes_Check(obj)) {
            bytes_ = std::string_view(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
            return true;
        }
        if (PyObject_GetBuffer(obj, &buffer_, PyBUF_SIMPLE) < 0) {
            PyErr_Clear();
            if (from_codec && key)
                PyErr_Format(PyExc_TypeError, "the codec encoded the object of key %.80R as %T, not bytes", key, obj);
            else if (from_codec)
                PyErr_Format(PyExc_TypeError, "the codec encoded the object as %T, not bytes", obj);
            else if (key)
                PyErr_Format(PyExc_TypeError, "the object of key %.80R must be bytes-like, not %T", key, obj);
            else
                PyErr_Format(PyExc_TypeError, "the object must be bytes-like, not %T", obj);
            return false;
        }
        bytes_ = std::string_view(static_cast<const char*>(buffer_.buf), static_cast<std::size_t>(buffer_.len));
        return true;
    }
    std::string_view bytes() const noexcept { return bytes_; }

private:
    Ref held_;
    Py_buffer buffer_{};
    std::string_view bytes_;
};

// --- Adding ---------------------------------------------------------------------------------

// Stores `bytes` under keys[0..n), following the duplicate policy; returns the object's ID.
PyObject* put_bytes(WriterObject* w, const KeyObjects& keys, std::string_view bytes) {
    KeyList converted(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i)
        if (!check_key(keys[i], converted[i])) return nullptr;
    if (!check_object(bytes.size(), keys[0])) return nullptr;

    // Decided under the lock; any error is raised after it, so that making the exception
    // (Python code) never runs while the writer is held.
    PyObject* dup_key = nullptr;
    std::uint64_t dup_existing = 0, dup_wanted = 0;
    std::uint32_t id = 0;
    {
        Locked lock(w);
        if (!lock.ok()) return nullptr;
        if (auto st = make_room(w); !st) return raise_core_error(st.error(), ErrorContext{});
        if (SpillingBuilder* sp = lock.spill()) {
            // Keys already given are settled when the store is built; a key given twice in
            // this call is settled here, as in memory.
            if (sp->num_objects() + 1 > format::kMaxCount) {
                Ref message(PyUnicode_FromString("the writer already holds 4294967295 objects"));
                if (message) limit_error("StoreFullError", message.get());
                return nullptr;
            }
            const auto next = sp->num_objects();
            for (std::size_t i = 1; i < keys.size(); ++i)
                for (std::size_t j = 0; j < i; ++j)
                    if (converted[j].bytes == converted[i].bytes && w->policy == Policy::Error) {
                        dup_key = keys[i];
                        dup_existing = dup_wanted = next;
                    }
            if (!dup_key) {
                w->named.reserve(w->named.size() + 1);
                auto added = sp->add_object(bytes);
                if (!added) return raise_core_error(added.error(), ErrorContext{});
                id = *added;
                w->named.push_back(true);
                for (std::size_t i = 0; i < keys.size(); ++i) {
                    bool again = false;
                    for (std::size_t j = 0; j < i && !again; ++j) again = converted[j].bytes == converted[i].bytes;
                    if (again) {
                        ++w->repeated;
                        continue;
                    }
                    if (auto st = sp->add_key(converted[i].bytes, id); !st) return raise_core_error(st.error(), ErrorContext{});
                }
            }
        } else {
        StoreBuilder& b = lock.builder();
        if (!check_room(b, 1, keys.size())) return nullptr;
        const auto next_id = static_cast<std::uint32_t>(b.num_objects());
        const auto earlier = [&](std::size_t i) {
            for (std::size_t j = 0; j < i; ++j)
                if (converted[j].bytes == converted[i].bytes) return true;
            return false;
        };
        boost::container::small_vector<std::size_t, 4> mapped;  // which keys this put maps
        std::uint64_t repeated = 0;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const auto existing = b.find_key(converted[i].bytes);
            if (w->policy == Policy::Error && (existing || earlier(i))) {
                dup_key = keys[i];
                dup_existing = existing ? *existing : next_id;
                dup_wanted = next_id;
                break;
            }
            if (existing || earlier(i)) ++repeated;
            if (w->policy == Policy::First && (existing || earlier(i))) continue;
            mapped.push_back(i);
        }
        if (!dup_key) w->repeated += repeated;
        if (!dup_key && mapped.empty()) {
            // "first" and every key taken already: nothing is stored.
            return PyLong_FromUnsignedLong(*b.find_key(converted[0].bytes));
        }
        if (!dup_key) {
            w->named.reserve(w->named.size() + 1);  // so that recording the object cannot fail after adding it
            auto added = b.add_object(bytes);
            if (!added) return raise_core_error(added.error(), ErrorContext{});
            id = *added;
            w->named.push_back(true);
            for (std::size_t i : mapped)
                if (auto st = b.add_key(converted[i].bytes, id); !st) return raise_core_error(st.error(), ErrorContext{});
        }
        }
    }
    if (dup_key) return duplicate_error(dup_key, dup_existing, dup_wanted);
    return PyLong_FromUnsignedLong(id);
}

bool collect_keys(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, KeyObjects& keys) {
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", name);
        return false;
    }
    if (nargs < 2) {
        PyErr_Format(PyExc_TypeError, "%s() takes a key, an object and any number of aliases (%zd arguments given)",
                     name, nargs);
        return false;
    }
    keys.push_back(args[0]);
    for (Py_ssize_t i = 2; i < nargs; ++i) keys.push_back(args[i]);
    return true;
}

PyObject* put(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        nargs = PyVectorcall_NARGS(nargs);
        KeyObjects keys;
        if (!collect_keys("put", args, nargs, kwnames, keys)) return nullptr;
        WriterObject* w = as_writer(self);
        Encoded e;
        if (!e.take(encode(w, args[1], keys[0]), keys[0], w->encode.active())) return nullptr;
        return put_bytes(w, keys, e.bytes());
    });
}

PyObject* put_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        nargs = PyVectorcall_NARGS(nargs);
        KeyObjects keys;
        if (!collect_keys("put_raw", args, nargs, kwnames, keys)) return nullptr;
        Encoded e;
        if (!e.take(Py_NewRef(args[1]), keys[0], false)) return nullptr;
        return put_bytes(as_writer(self), keys, e.bytes());
    });
}

int ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    return guarded<int>(-1, [&]() -> int {
        if (!value) {
            PyErr_SetString(PyExc_TypeError, "a writer cannot delete keys");
            return -1;
        }
        WriterObject* w = as_writer(self);
        KeyObjects keys{key};
        Encoded e;
        if (!e.take(encode(w, value, key), key, w->encode.active())) return -1;
        Ref id(put_bytes(w, keys, e.bytes()));
        return id ? 0 : -1;
    });
}

PyObject* add_bytes(WriterObject* w, std::string_view bytes) {
    if (!check_object(bytes.size(), nullptr)) return nullptr;
    Locked lock(w);
    if (!lock.ok()) return nullptr;
    if (auto st = make_room(w); !st) return raise_core_error(st.error(), ErrorContext{});
    if (!lock.spill() && !check_room(lock.builder(), 1, 0)) return nullptr;
    w->named.reserve(w->named.size() + 1);
    auto added = lock.spill() ? lock.spill()->add_object(bytes) : lock.builder().add_object(bytes);
    if (!added) return raise_core_error(added.error(), ErrorContext{});
    w->named.push_back(false);
    ++w->unnamed;
    return PyLong_FromUnsignedLong(*added);
}

PyObject* add(PyObject* self, PyObject* obj) {
    return guarded([&]() -> PyObject* {
        WriterObject* w = as_writer(self);
        Encoded e;
        if (!e.take(encode(w, obj, nullptr), nullptr, w->encode.active())) return nullptr;
        return add_bytes(w, e.bytes());
    });
}

PyObject* add_raw(PyObject* self, PyObject* data) {
    return guarded([&]() -> PyObject* {
        Encoded e;
        if (!e.take(Py_NewRef(data), nullptr, false)) return nullptr;
        return add_bytes(as_writer(self), e.bytes());
    });
}

PyObject* alias(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        nargs = PyVectorcall_NARGS(nargs);
        if (nargs != 2 || (kwnames && PyTuple_GET_SIZE(kwnames) > 0)) {
            PyErr_SetString(PyExc_TypeError, "alias() takes exactly two positional arguments: key, obj_id");
            return nullptr;
        }
        PyObject* key = args[0];
        KeyBytes k;
        if (!check_key(key, k)) return nullptr;
        Ref index(PyNumber_Index(args[1]));
        if (!index) return nullptr;
        int overflow = 0;
        const long long id = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (id == -1 && PyErr_Occurred()) return nullptr;
        WriterObject* w = as_writer(self);
        std::uint64_t existing_id = 0;
        bool duplicate = false;
        {
            Locked lock(w);
            if (!lock.ok()) return nullptr;
            if (auto st = make_room(w); !st) return raise_core_error(st.error(), ErrorContext{});
            if (overflow || id < 0 || static_cast<std::uint64_t>(id) >= lock.num_objects()) {
                PyErr_Format(PyExc_IndexError, "object ID %R out of range: the writer has %llu objects", index.get(),
                             static_cast<unsigned long long>(lock.num_objects()));
                return nullptr;
            }
            if (SpillingBuilder* sp = lock.spill()) {
                // Settled when the store is built, with every other giving of the key.
                if (auto st = sp->add_key(k.bytes, static_cast<std::uint64_t>(id)); !st)
                    return raise_core_error(st.error(), ErrorContext{});
                if (!w->named[id]) {
                    w->named[id] = true;
                    --w->unnamed;
                }
                Py_RETURN_NONE;
            }
            StoreBuilder& b = lock.builder();
            const auto existing = b.find_key(k.bytes);
            if (existing && *existing != static_cast<std::uint64_t>(id)) {
                if (w->policy == Policy::Error) {
                    duplicate = true;
                    existing_id = *existing;
                } else {
                    ++w->repeated;
                    if (w->policy == Policy::Last)
                        if (auto st = b.add_key(k.bytes, static_cast<std::uint64_t>(id)); !st)
                            return raise_core_error(st.error(), ErrorContext{});
                }
            } else if (!existing) {
                if (!check_room(b, 0, 1)) return nullptr;
                if (auto st = b.add_key(k.bytes, static_cast<std::uint64_t>(id)); !st)
                    return raise_core_error(st.error(), ErrorContext{});
            }
            if (!duplicate && b.find_key(k.bytes) == static_cast<std::uint32_t>(id) && !w->named[id]) {
                w->named[id] = true;
                --w->unnamed;
            }
        }
        if (duplicate) return duplicate_error(key, existing_id, static_cast<std::uint64_t>(id));
        Py_RETURN_NONE;
    });
}

// One record of a batch stored as put_raw(key, data, *aliases) would store it (keys as bytes),
// without making a Python object: false, with nothing stored, when put_raw would raise instead
// (a key or object over its limit, a full writer, a duplicate under "error"). Runs with the
// writer locked, and needs no interpreter.
bool put_record(WriterObject* w, const batch::Parts& parts, std::size_t nkeys) {
    boost::container::small_vector<std::string_view, 4> keys;
    keys.push_back(parts[0]);
    for (std::size_t k = 1; k < nkeys; ++k) keys.push_back(parts[k + 1]);
    const std::string_view bytes = parts[1];
    for (std::string_view k : keys)
        if (k.size() > format::kMaxKeyLen) return false;
    if (bytes.size() > format::kMaxObjectLen) return false;
    if (!make_room(w)) return false;  // put_raw tries again, and says why
    if (SpillingBuilder* sp = w->spill.get()) {
        if (sp->num_objects() + 1 > format::kMaxCount) return false;
        for (std::size_t i = 1; i < keys.size(); ++i)
            for (std::size_t j = 0; j < i; ++j)
                if (keys[j] == keys[i] && w->policy == Policy::Error) return false;
        w->named.reserve(w->named.size() + 1);
        auto added = sp->add_object(bytes);
        if (!added) return false;  // spent: put_raw says why
        w->named.push_back(true);
        for (std::size_t i = 0; i < keys.size(); ++i) {
            bool again = false;
            for (std::size_t j = 0; j < i && !again; ++j) again = keys[j] == keys[i];
            if (again)
                ++w->repeated;
            else if (!sp->add_key(keys[i], *added))
                return false;
        }
        return true;
    }
    StoreBuilder& b = *w->builder;
    if (b.num_objects() + 1 > format::kMaxCount || b.num_keys() + keys.size() > format::kMaxCount) return false;
    boost::container::small_vector<std::size_t, 4> mapped;
    std::uint64_t repeated = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        bool taken = b.find_key(keys[i]).has_value();
        for (std::size_t j = 0; j < i && !taken; ++j) taken = keys[j] == keys[i];
        if (taken && w->policy == Policy::Error) return false;
        repeated += taken;
        if (taken && w->policy == Policy::First) continue;
        mapped.push_back(i);
    }
    w->repeated += repeated;
    if (mapped.empty()) return true;  // "first" and every key taken: nothing is stored
    w->named.reserve(w->named.size() + 1);  // so that recording the object cannot fail after adding it
    auto added = b.add_object(bytes);
    if (!added) return false;  // not after the checks above
    w->named.push_back(true);
    for (std::size_t i : mapped)
        if (!b.add_key(keys[i], *added)) return false;  // not after the checks above either
    return true;
}

// put_many_raw(batch, skip): the records of a packed batch (batch_format.hpp) from the skip-th
// on, each as put_raw would store it, under one lock and without the interpreter lock, so that
// another thread reads and converts the next batch meanwhile. Stops in front of the first
// record put_raw would refuse and returns its index (the count when none was): the caller then
// puts that one through put_raw, which says why.
PyObject* put_many_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 2 || !PyBytes_Check(args[0])) {
            PyErr_SetString(PyExc_TypeError, "put_many_raw(batch: bytes, skip: int)");
            return nullptr;
        }
        const std::string_view packed(PyBytes_AS_STRING(args[0]), static_cast<std::size_t>(PyBytes_GET_SIZE(args[0])));
        const Py_ssize_t skip = PyLong_AsSsize_t(args[1]);
        if (skip == -1 && PyErr_Occurred()) return nullptr;
        WriterObject* w = as_writer(self);
        Locked lock(w);
        if (!lock.ok()) return nullptr;
        bool malformed = false;
        // The batch is an immutable bytes object the caller holds for the call.
        const Py_ssize_t stopped = without_gil([&](ReleasedInterpreter&) {
            batch::Reader in{packed.data(), packed.data() + packed.size()};
            // A second reader a few records ahead starts loading where their keys go, so that
            // the writer's lookups do not wait on one cache miss after another.
            constexpr int kAhead = 8;
            batch::Reader ahead = in;
            batch::Parts parts, next;
            std::size_t nkeys = 0, next_keys = 0;
            const auto prefetch = [&](std::string_view key) {
                if (!w->spill) w->builder->prefetch_key(key);
            };
            for (int k = 0; k < kAhead && ahead.record(next, next_keys); ++k) prefetch(next[0]);
            Py_ssize_t i = 0;
            for (; !in.at_end(); ++i) {
                if (!in.record(parts, nkeys)) {
                    malformed = true;
                    break;
                }
                if (ahead.record(next, next_keys)) prefetch(next[0]);
                if (i >= skip && !put_record(w, parts, nkeys)) break;
            }
            return i;
        });
        if (malformed) {
            PyErr_SetString(PyExc_ValueError, "malformed batch");
            return nullptr;
        }
        return PyLong_FromSsize_t(stopped);
    });
}

// --- Queries --------------------------------------------------------------------------------

// Keys that went to disk are not kept in memory to look up.
int spilled_lookup() {
    PyErr_SetString(PyExc_RuntimeError, "the writer has spilled to disk under its memory limit: its keys can be "
                                        "looked up in the store it builds");
    return -1;
}

Py_ssize_t length(PyObject* self) {
    return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
        Locked lock(as_writer(self));
        if (!lock.ok()) return -1;
        if (lock.spill()) return static_cast<Py_ssize_t>(lock.spill()->names());
        return static_cast<Py_ssize_t>(lock.builder().num_keys());
    });
}

int contains(PyObject* self, PyObject* key) {
    return guarded<int>(-1, [&]() -> int {
        KeyBytes k;
        switch (key_bytes(key, k)) {
            case KeyStatus::Ok: break;
            case KeyStatus::NotAKey: return 0;
            case KeyStatus::Failed: return -1;
        }
        Locked lock(as_writer(self));
        if (!lock.ok()) return -1;
        if (lock.spill()) return spilled_lookup();
        return lock.builder().find_key(k.bytes) ? 1 : 0;
    });
}

PyObject* object_id(PyObject* self, PyObject* key) {
    return guarded([&]() -> PyObject* {
        KeyBytes k;
        if (!require_key(key, k)) return nullptr;
        Locked lock(as_writer(self));
        if (!lock.ok()) return nullptr;
        if (lock.spill()) return spilled_lookup(), nullptr;
        const auto id = lock.builder().find_key(k.bytes);
        if (!id) Py_RETURN_NONE;
        return PyLong_FromUnsignedLong(*id);
    });
}

PyObject* get_num_objects(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Locked lock(as_writer(self));
        if (!lock.ok()) return nullptr;
        return PyLong_FromUnsignedLongLong(lock.num_objects());
    });
}

PyObject* get_unnamed(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Locked lock(as_writer(self));
        if (!lock.ok()) return nullptr;
        return PyLong_FromUnsignedLongLong(as_writer(self)->unnamed);
    });
}

PyObject* get_repeated(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Locked lock(as_writer(self));
        if (!lock.ok()) return nullptr;
        return PyLong_FromUnsignedLongLong(as_writer(self)->repeated + as_writer(self)->spilled_repeated);
    });
}

PyObject* get_codec(PyObject* self, void*) { return Py_NewRef(as_writer(self)->codec); }

PyObject* get_compression(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Locked lock(as_writer(self));
        if (!lock.ok()) return nullptr;
        if (!lock.builder().compressed()) Py_RETURN_NONE;
        return PyUnicode_FromString("zstd");
    });
}

PyObject* get_published(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(as_writer(self)->published.load(std::memory_order_relaxed));
}

PyObject* get_policy(PyObject* self, void*) {
    switch (as_writer(self)->policy) {
        case Policy::Error: return PyUnicode_FromString("error");
        case Policy::Last: return PyUnicode_FromString("last");
        case Policy::First: break;
    }
    return PyUnicode_FromString("first");
}

// --- Building -------------------------------------------------------------------------------

PyObject* build_error(const StoreError& err, PyObject* path, const std::string& target) {
    // Which file the failure concerns: creating, writing and syncing are done on the temporary
    // file; the rename moves it over the target.
    const std::string tmp = temporary_path(target);
    Ref tmp_path(PyUnicode_DecodeFSDefaultAndSize(tmp.data(), static_cast<Py_ssize_t>(tmp.size())));
    if (!tmp_path) return nullptr;
    ErrorContext where;
    where.path = tmp_path.get();
    if (err.message().starts_with("rename: ")) where.filename2 = path;
    return raise_core_error(err, where);
}

// _build(path, *, progress=None)
py::Params build_params{"_build()", {"path", "progress"}, 2, 1, 1};

PyObject* build(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* a[2];
        if (!py::bind(build_params, args, nargs, kwnames, a)) return nullptr;
        PyObject* path = a[0];
        PyObject* progress = a[1] ? a[1] : Py_None;
        ProgressCallback callback(progress);
        if (!callback.check()) return nullptr;
        Ref fspath;
        std::string target;
        if (!store_path(path, fspath, target)) return nullptr;
        WriterObject* w = as_writer(self);
        if (w->spill) {
            std::optional<SpilledDuplicate> duplicate;
            Result<SpillBuildInfo> built = std::unexpected(StoreError::general("not built"));
            {
                Locked lock(w);
                if (!lock.ok()) return nullptr;
                built = without_gil([&](ReleasedInterpreter& released) {
                    return lock.spill()->build(target, callback.report(released));
                });
                duplicate = lock.spill()->duplicate();
                if (built) w->spilled_repeated = built->repeated;
            }
            if (callback.raised()) return nullptr;
            if (duplicate) {
                Ref key(PyUnicode_DecodeUTF8(duplicate->key.data(), static_cast<Py_ssize_t>(duplicate->key.size()),
                                             nullptr));
                if (!key) {
                    PyErr_Clear();
                    key.reset(PyBytes_FromStringAndSize(duplicate->key.data(),
                                                        static_cast<Py_ssize_t>(duplicate->key.size())));
                    if (!key) return nullptr;
                }
                return duplicate_error(key.get(), duplicate->existing, duplicate->wanted);
            }
            if (!built) return build_error(built.error(), fspath.get(), target);
            w->published.fetch_add(1, std::memory_order_relaxed);
            return Py_BuildValue("(KKKK)", static_cast<unsigned long long>(built->info.num_objects),
                                 static_cast<unsigned long long>(built->info.num_keys),
                                 static_cast<unsigned long long>(built->dropped),
                                 static_cast<unsigned long long>(built->info.file_size));
        }
        Locked lock(w);
        if (!lock.ok()) return nullptr;
        StoreBuilder& b = lock.builder();
        std::size_t dropped = 0;
        auto built = without_gil([&](ReleasedInterpreter& released) -> Result<BuildInfo> {
            const Progress report = callback.report(released);
            // A compressed store in key order trains its dictionary as it builds.
            // Objects no key names cannot be read back; the file leaves them out (the
            // key-ordered layout does so by itself).
            dropped = b.count_unreferenced();
            if (dropped == 0 || b.objects_by_key()) return b.build(target, report);
            auto compacted = b.without_unreferenced();
            if (!compacted) return std::unexpected(std::move(compacted.error()));
            return (*compacted)->build(target, report);
        });
        if (callback.raised()) return nullptr;
        if (!built) return build_error(built.error(), fspath.get(), target);
        w->published.fetch_add(1, std::memory_order_relaxed);
        return Py_BuildValue("(KKnK)", static_cast<unsigned long long>(built->num_objects),
                             static_cast<unsigned long long>(built->num_keys), static_cast<Py_ssize_t>(dropped),
                             static_cast<unsigned long long>(built->file_size));
    });
}

// --- Type -----------------------------------------------------------------------------------

// Writer(*, encode=None, encode_kwargs=None, codec=None, on_duplicate="error", compression=None,
//        compression_level=3, memory_limit=0, spill_dir=None): a memory limit of 0 is none;
//        spill_dir is where the spill directory goes.
py::Params new_params{"Writer()",
                      {"encode", "encode_kwargs", "codec", "on_duplicate", "compression", "compression_level",
                       "memory_limit", "spill_dir"},
                      8, 0, 0};

// Sets up `b` for the compression argument: None, or "zstd" at `level`.
bool set_compression(StoreBuilder& b, PyObject* compression, PyObject* level_arg) {
    if (!compression || compression == Py_None) return true;
    if (!PyUnicode_Check(compression) || PyUnicode_CompareWithASCIIString(compression, "zstd") != 0) {
        PyErr_Format(PyExc_ValueError, "compression must be None or 'zstd', not %R", compression);
        return false;
    }
    int level = 3;
    if (level_arg && level_arg != Py_None) {
        if (PyBool_Check(level_arg) || !PyLong_Check(level_arg)) {
            PyErr_Format(PyExc_TypeError, "compression_level must be int, not %T", level_arg);
            return false;
        }
        level = PyLong_AsInt(level_arg);
        if (level == -1 && PyErr_Occurred()) return false;
        if (level < 1 || level > 22) {
            PyErr_Format(PyExc_ValueError, "compression_level must be 1 to 22, not %d", level);
            return false;
        }
    }
    if (auto st = b.compress(level); !st) {
        raise_core_error(st.error(), ErrorContext{});
        return false;
    }
    return true;
}

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[8];
        if (!py::bind(new_params, args, kwargs, a)) return nullptr;
        std::uint64_t memory_limit = 0;
        if (a[6] && a[6] != Py_None) {
            memory_limit = PyLong_AsUnsignedLongLong(a[6]);
            if (memory_limit == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) return nullptr;
        }
        Ref spill_path;
        std::string spill_parent = ".";
        if (a[7] && a[7] != Py_None && !store_path(a[7], spill_path, spill_parent)) return nullptr;
        PyObject* encode_fn = a[0] ? a[0] : Py_None;
        PyObject* encode_kwargs = a[1] ? a[1] : Py_None;
        PyObject* codec = a[2] ? a[2] : Py_None;
        std::string_view name = "error";
        if (a[3]) {
            if (!PyUnicode_Check(a[3])) {
                PyErr_Format(PyExc_TypeError, "Writer() argument 'on_duplicate' must be str, not %T", a[3]);
                return nullptr;
            }
            Py_ssize_t n;
            const char* text = PyUnicode_AsUTF8AndSize(a[3], &n);
            if (!text) return nullptr;
            name = std::string_view(text, static_cast<std::size_t>(n));
        }
        Policy p;
        if (name == "error")
            p = Policy::Error;
        else if (name == "last")
            p = Policy::Last;
        else if (name == "first")
            p = Policy::First;
        else {
            PyErr_Format(PyExc_ValueError, "on_duplicate must be 'error', 'last' or 'first', not '%U'", a[3]);
            return nullptr;
        }
        auto builder = std::make_unique<StoreBuilder>();
        // The package's stores keep objects in the order of their keys, so that walks and
        // prefix scans read them front to back.
        builder->order_objects_by_key(true);
        if (!set_compression(*builder, a[4], a[5])) return nullptr;
        Ref self(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        WriterObject* w = as_writer(self.get());
        new (&w->owner) std::atomic<unsigned long>(0);
        new (&w->published) std::atomic<std::uint64_t>(0);
        new (&w->builder) std::unique_ptr<StoreBuilder>(std::move(builder));
        new (&w->encode) CodecCall();
        new (&w->named) std::vector<bool>();
        new (&w->spill) std::unique_ptr<SpillingBuilder>();
        new (&w->spill_parent) std::string(std::move(spill_parent));
        w->memory_limit = memory_limit;
        w->spilled_repeated = 0;
        w->mutex = PyMutex{};
        w->codec = Py_NewRef(codec);
        w->policy = p;
        w->unnamed = 0;
        w->repeated = 0;
        w->weakrefs = nullptr;
        if (!w->encode.set(encode_fn, encode_kwargs)) return nullptr;
        return self.release();
    });
}

// As for the reader: a codec that refers back to its writer makes a cycle the collector must see.
int writer_traverse(PyObject* self, visitproc visit, void* arg) {
    const WriterObject* w = as_writer(self);
    Py_VISIT(w->codec);
    if (int err = w->encode.traverse(visit, arg)) return err;
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int writer_clear(PyObject* self) {
    WriterObject* w = as_writer(self);
    w->encode.clear();
    Py_CLEAR(w->codec);
    return 0;
}

void writer_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    WriterObject* w = as_writer(self);
    if (w->weakrefs) PyObject_ClearWeakRefs(self);
    w->builder.~unique_ptr();
    w->spill.~unique_ptr();  // removes the spill directory
    w->spill_parent.~basic_string();
    w->encode.~CodecCall();
    w->named.~vector();
    w->owner.~atomic();
    w->published.~atomic();
    Py_CLEAR(w->codec);
    type->tp_free(self);
    Py_DECREF(type);
}

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;
using py::as_method;

PyMethodDef methods[] = {
    {"put", as_method(put), kFastKw,
     "put($self, key, obj, /, *aliases)\n--\n\nEncodes *obj*, stores it under *key* and every alias, and returns "
     "its object ID."},
    {"put_raw", as_method(put_raw), kFastKw,
     "put_raw($self, key, data, /, *aliases)\n--\n\nput() for bytes that are already encoded."},
    {"add", as_method(add), METH_O,
     "add($self, obj, /)\n--\n\nEncodes and stores *obj* without a key; returns its object ID for alias()."},
    {"add_raw", as_method(add_raw), METH_O, "add_raw($self, data, /)\n--\n\nadd() for bytes that are already encoded."},
    {"alias", as_method(alias), kFastKw,
     "alias($self, key, obj_id, /)\n--\n\nMaps *key* to the object with ID *obj_id*."},
    {"object_id", as_method(object_id), METH_O,
     "object_id($self, key, /)\n--\n\nThe ID of the object *key* maps to, or None."},
    {"put_many_raw", as_method(put_many_raw), METH_FASTCALL,
     "put_many_raw($self, batch, skip, /)\n--\n\nStores the records of a packed batch from the skip-th on, as "
     "put_raw() would; returns the index of the first it leaves to put_raw() (the count when none)."},
    {"_build", as_method(build), METH_FASTCALL | METH_KEYWORDS,
     "_build($self, path, *, progress=None)\n--\n\nWrites the store; returns (objects, keys, dropped, size)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"num_objects", get_num_objects, nullptr, "The number of objects stored so far.", nullptr},
    {"_unnamed", get_unnamed, nullptr, "Objects added with add() that no key has named yet.", nullptr},
    {"_repeated", get_repeated, nullptr,
     "Keys given again under 'first' (left on their earlier object) or 'last' (re-pointed).", nullptr},
    {"codec", get_codec, nullptr, "The codec that encodes objects (None: bytes as given).", nullptr},
    {"compression", get_compression, nullptr, "'zstd' when objects are stored compressed, else None.", nullptr},
    {"on_duplicate", get_policy, nullptr, "What a key given again does: 'error', 'last' or 'first'.", nullptr},
    {"published", get_published, nullptr,
     "How many files build() has published (renamed into place); counted before build() returns.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(WriterObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Writer(*, encode=None, encode_kwargs=None, codec=None, on_duplicate='error', "
                                  "compression=None, compression_level=3, memory_limit=None, spill_dir=None)\n--\n\n"
                                  "The native half of tarnkv.TarnWriter: use that class.")},
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(writer_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(writer_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(writer_clear)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(ass_subscript)},
    {Py_mp_length, reinterpret_cast<void*>(length)},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {Py_sq_contains, reinterpret_cast<void*>(contains)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_members, members},
    {0, nullptr},
};

PyType_Spec spec = {
    "tarnkv._native.Writer", static_cast<int>(sizeof(WriterObject)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    slots,
};

py::OnceObject type_object;

}  // namespace

PyTypeObject* writer_type() {
    return reinterpret_cast<PyTypeObject*>(type_object.get([]() -> PyObject* {
        if (!py::intern_names(new_params) || !py::intern_names(build_params)) return nullptr;
        return PyType_FromSpec(&spec);
    }));
}

}  // namespace tarnkv::native
