// MessagePack straight from the mapping to Python objects, for the default codec.
//
// Calling msgpack.unpackb costs more than the decoding itself for a small record: a bytes copy
// of the object to pass in, and the parsing of the keyword arguments on every call. This
// decoder reads the stored bytes in place and builds the same objects unpackb(data, raw=False,
// strict_map_key=False) builds: str as str (strict UTF-8), bin as bytes, arrays as lists, maps
// as dicts with their str keys interned. Whatever it does not handle itself (ext types,
// malformed or trailing bytes, keys that cannot be hashed, very deep nesting) it leaves to
// msgpack, so that every such object, and every error, is exactly msgpack's own.
#include <climits>
#include <cstring>

#include <xxhash.h>

#include "binding/ascii.hpp"
#include "binding/native/native.hpp"
#include "core/convert/msgpack_walk.hpp"

namespace tarnkv::native {

namespace {

constexpr int kMaxDepth = 256;

// Map keys repeat from one record to the next ("id", "name", ...), and msgpack interns them.
// A small direct-mapped cache of the interned str for short ASCII keys saves making a new str
// and looking it up in the interpreter's interned table for every key of every record. The
// result is the same object msgpack would give. Without the global interpreter lock a slot
// could be replaced under a reader of it, so that build goes without the cache.
class KeyCache {
public:
    static constexpr std::size_t kMaxLen = 32;

    // The interned str for ASCII `s`, or nullptr when it is not cached (nothing is set).
    PyObject* find(const char* s, std::size_t n, std::size_t& slot) const noexcept {
#ifdef Py_GIL_DISABLED
        (void)s, (void)n, (void)slot;
        return nullptr;
#else
        slot = XXH3_64bits(s, n) & (kSlots - 1);
        PyObject* cached = slots_[slot];
        if (cached && PyUnicode_GET_LENGTH(cached) == static_cast<Py_ssize_t>(n) &&
            std::memcmp(PyUnicode_1BYTE_DATA(cached), s, n) == 0)
            return Py_NewRef(cached);
        return nullptr;
#endif
    }
    void store(std::size_t slot, PyObject* interned) noexcept {
#ifndef Py_GIL_DISABLED
        Py_XSETREF(slots_[slot], Py_NewRef(interned));
#else
        (void)slot, (void)interned;
#endif
    }

private:
    static constexpr std::size_t kSlots = 1024;
    PyObject* slots_[kSlots] = {};
};

KeyCache key_cache;  // process-wide; its strs live as long as the process

// Builds the objects for the walker; nullptr stops the walk.
class Builder {
public:
    using Value = PyObject*;
    using Walker = msgpack::Walker<Builder>;

    // A new reference; nullptr for "leave it to msgpack", with no exception set.
    PyObject* document(std::string_view data) {
        Walker w(*this, kMaxDepth);
        w.reset(data);
        PyObject* v = w.value(0);
        if (v && !w.at_end()) {  // trailing bytes: msgpack reports them (ExtraData)
            Py_DECREF(v);
            return nullptr;
        }
        return v;
    }

    PyObject* nil() { Py_RETURN_NONE; }
    PyObject* boolean(bool v) {
        if (v) Py_RETURN_TRUE;
        Py_RETURN_FALSE;
    }
    PyObject* uint(std::uint64_t v) {
        return made(v <= LONG_MAX ? PyLong_FromLong(static_cast<long>(v)) : PyLong_FromUnsignedLongLong(v));
    }
    PyObject* sint(std::int64_t v) { return made(PyLong_FromLongLong(v)); }
    PyObject* real(double v) { return made(PyFloat_FromDouble(v)); }
    PyObject* str(std::string_view s) {
        if (s.size() > 1 && py::is_ascii(s.data(), s.size())) return made(py::ascii_str(s.data(), s.size()));
        return made(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
    }
    PyObject* bin(std::string_view s) {
        return made(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
    }

    PyObject* array(Walker& w, std::size_t n, int depth) {
        Ref list(made(PyList_New(static_cast<Py_ssize_t>(n))));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < n; ++i) {
            PyObject* v = w.value(depth + 1);
            if (!v) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v);
        }
        return list.release();
    }

    PyObject* map(Walker& w, std::size_t n, int depth) {
        Ref dict(made(PyDict_New()));
        if (!dict) return nullptr;
        for (std::size_t i = 0; i < n; ++i) {
            Ref key(this->key(w, depth + 1));
            if (!key) return nullptr;
            Ref v(w.value(depth + 1));
            if (!v) return nullptr;
            if (PyDict_SetItem(dict.get(), key.get(), v.get()) < 0) {  // an unhashable key
                PyErr_Clear();
                return nullptr;
            }
        }
        return dict.release();
    }

private:
    // Any failure of the interpreter (memory) is also left to msgpack, which meets it again and
    // raises it properly; so no exception is left set here.
    static PyObject* made(PyObject* v) {
        if (!v) PyErr_Clear();
        return v;
    }

    // A map key: a str comes back interned, as msgpack has it.
    PyObject* key(Walker& w, int depth) {
        std::string_view s;
        std::size_t encoded = 0;
        // Short ASCII names in their one-byte form go through the cache.
        if (!w.peek_str(s, encoded) || encoded != s.size() + 1 || s.size() > KeyCache::kMaxLen ||
            !py::is_ascii(s.data(), s.size())) {
            PyObject* k = w.value(depth);
            if (k && PyUnicode_CheckExact(k)) PyUnicode_InternInPlace(&k);
            return k;
        }
        std::size_t slot = 0;
        if (PyObject* cached = key_cache.find(s.data(), s.size(), slot)) {
            w.skip(encoded);
            return cached;
        }
        PyObject* k = w.value(depth);
        if (!k) return nullptr;
        PyUnicode_InternInPlace(&k);
        key_cache.store(slot, k);
        return k;
    }
};

}  // namespace

PyObject* unpack_msgpack(std::string_view data) { return Builder().document(data); }

}  // namespace tarnkv::native
