// MessagePack straight from the mapping to Python objects, for the default codec.
//
// Calling msgpack.unpackb costs more than the decoding itself for a small record: a bytes copy
// of the object to pass in, and the parsing of the keyword arguments on every call. This
// decoder reads the stored bytes in place and builds the same objects unpackb(data, raw=False,
// strict_map_key=False) builds: str as str (strict UTF-8), bin as bytes, arrays as lists, maps
// as dicts with their str keys interned. Whatever it does not handle itself (ext types,
// malformed or trailing bytes, keys that cannot be hashed, very deep nesting) it leaves to
// msgpack, so that every such object, and every error, is exactly msgpack's own.
#include <cstring>

#include <xxhash.h>

#include "binding/ascii.hpp"
#include "binding/native/native.hpp"

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

class Decoder {
public:
    explicit Decoder(std::string_view data) noexcept
        : p_(reinterpret_cast<const unsigned char*>(data.data())), end_(p_ + data.size()) {}

    // A new reference; nullptr for "leave it to msgpack", with no exception set.
    PyObject* document() {
        PyObject* v = value(0);
        if (v && p_ != end_) {  // trailing bytes: msgpack reports them (ExtraData)
            Py_DECREF(v);
            return nullptr;
        }
        return v;
    }

private:
    bool have(std::size_t n) const noexcept { return static_cast<std::size_t>(end_ - p_) >= n; }

    template <class T>
    bool read_be(T& out) noexcept {
        if (!have(sizeof(T))) return false;
        T v = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) v = static_cast<T>((v << 8) | p_[i]);
        p_ += sizeof(T);
        out = v;
        return true;
    }

    // Any failure of the interpreter (memory) is also left to msgpack, which meets it again and
    // raises it properly; so no exception is left set here.
    static PyObject* made(PyObject* v) {
        if (!v) PyErr_Clear();
        return v;
    }

    // A map key: a str comes back interned, as msgpack has it.
    PyObject* key(int depth) {
        if (!have(1)) return nullptr;
        const unsigned char b = *p_;
        if ((b & 0xe0) != 0xa0 || (b & 0x1f) > KeyCache::kMaxLen || !have(1 + (b & 0x1f))) {
            PyObject* k = value(depth);
            if (k && PyUnicode_CheckExact(k)) PyUnicode_InternInPlace(&k);
            return k;
        }
        const std::size_t n = b & 0x1f;
        const char* s = reinterpret_cast<const char*>(p_ + 1);
        if (!py::is_ascii(s, n)) {
            PyObject* k = value(depth);
            if (k) PyUnicode_InternInPlace(&k);
            return k;
        }
        std::size_t slot = 0;
        if (PyObject* cached = key_cache.find(s, n, slot)) {
            p_ += 1 + n;
            return cached;
        }
        PyObject* k = value(depth);
        if (!k) return nullptr;
        PyUnicode_InternInPlace(&k);
        key_cache.store(slot, k);
        return k;
    }

    PyObject* str(std::size_t n) {
        if (!have(n)) return nullptr;
        const char* s = reinterpret_cast<const char*>(p_);
        p_ += n;
        if (n > 1 && py::is_ascii(s, n)) return made(py::ascii_str(s, n));
        return made(PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), nullptr));
    }

    PyObject* bin(std::size_t n) {
        if (!have(n)) return nullptr;
        const char* s = reinterpret_cast<const char*>(p_);
        p_ += n;
        return made(PyBytes_FromStringAndSize(s, static_cast<Py_ssize_t>(n)));
    }

    PyObject* array(std::size_t n, int depth) {
        if (!have(n)) return nullptr;  // each element takes at least one byte
        Ref list(made(PyList_New(static_cast<Py_ssize_t>(n))));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < n; ++i) {
            PyObject* v = value(depth + 1);
            if (!v) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v);
        }
        return list.release();
    }

    PyObject* map(std::size_t n, int depth) {
        if (!have(n) || n > static_cast<std::size_t>(end_ - p_) / 2) return nullptr;
        Ref dict(made(PyDict_New()));
        if (!dict) return nullptr;
        for (std::size_t i = 0; i < n; ++i) {
            Ref key(this->key(depth + 1));
            if (!key) return nullptr;
            Ref v(value(depth + 1));
            if (!v) return nullptr;
            if (PyDict_SetItem(dict.get(), key.get(), v.get()) < 0) {  // an unhashable key
                PyErr_Clear();
                return nullptr;
            }
        }
        return dict.release();
    }

    PyObject* value(int depth) {
        if (depth > kMaxDepth || !have(1)) return nullptr;
        const unsigned char b = *p_++;
        if (b <= 0x7f) return made(PyLong_FromLong(b));
        if (b >= 0xe0) return made(PyLong_FromLong(static_cast<signed char>(b)));
        if ((b & 0xe0) == 0xa0) return str(b & 0x1f);
        if ((b & 0xf0) == 0x90) return array(b & 0x0f, depth);
        if ((b & 0xf0) == 0x80) return map(b & 0x0f, depth);
        switch (b) {
            case 0xc0: Py_RETURN_NONE;
            case 0xc2: Py_RETURN_FALSE;
            case 0xc3: Py_RETURN_TRUE;
            case 0xc4: { std::uint8_t n; return read_be(n) ? bin(n) : nullptr; }
            case 0xc5: { std::uint16_t n; return read_be(n) ? bin(n) : nullptr; }
            case 0xc6: { std::uint32_t n; return read_be(n) ? bin(n) : nullptr; }
            case 0xca: {
                std::uint32_t bits;
                if (!read_be(bits)) return nullptr;
                float f;
                std::memcpy(&f, &bits, sizeof f);
                return made(PyFloat_FromDouble(f));
            }
            case 0xcb: {
                std::uint64_t bits;
                if (!read_be(bits)) return nullptr;
                double d;
                std::memcpy(&d, &bits, sizeof d);
                return made(PyFloat_FromDouble(d));
            }
            case 0xcc: { std::uint8_t v; return read_be(v) ? made(PyLong_FromLong(v)) : nullptr; }
            case 0xcd: { std::uint16_t v; return read_be(v) ? made(PyLong_FromLong(v)) : nullptr; }
            case 0xce: { std::uint32_t v; return read_be(v) ? made(PyLong_FromUnsignedLong(v)) : nullptr; }
            case 0xcf: { std::uint64_t v; return read_be(v) ? made(PyLong_FromUnsignedLongLong(v)) : nullptr; }
            case 0xd0: { std::uint8_t v; return read_be(v) ? made(PyLong_FromLong(static_cast<std::int8_t>(v))) : nullptr; }
            case 0xd1: { std::uint16_t v; return read_be(v) ? made(PyLong_FromLong(static_cast<std::int16_t>(v))) : nullptr; }
            case 0xd2: { std::uint32_t v; return read_be(v) ? made(PyLong_FromLong(static_cast<std::int32_t>(v))) : nullptr; }
            case 0xd3: {
                std::uint64_t v;
                return read_be(v) ? made(PyLong_FromLongLong(static_cast<std::int64_t>(v))) : nullptr;
            }
            case 0xd9: { std::uint8_t n; return read_be(n) ? str(n) : nullptr; }
            case 0xda: { std::uint16_t n; return read_be(n) ? str(n) : nullptr; }
            case 0xdb: { std::uint32_t n; return read_be(n) ? str(n) : nullptr; }
            case 0xdc: { std::uint16_t n; return read_be(n) ? array(n, depth) : nullptr; }
            case 0xdd: { std::uint32_t n; return read_be(n) ? array(n, depth) : nullptr; }
            case 0xde: { std::uint16_t n; return read_be(n) ? map(n, depth) : nullptr; }
            case 0xdf: { std::uint32_t n; return read_be(n) ? map(n, depth) : nullptr; }
            default: return nullptr;  // ext types, and 0xc1 which is never used
        }
    }

    const unsigned char* p_;
    const unsigned char* end_;
};

}  // namespace

PyObject* unpack_msgpack(std::string_view data) { return Decoder(data).document(); }

}  // namespace tarnkv::native
