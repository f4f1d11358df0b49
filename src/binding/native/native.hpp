// Shared pieces of tarnkv._native, the package's own extension module: the classes' type
// objects, key conversion, calls into codecs, and the package's exceptions.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "binding/py_ref.hpp"
#include "core/format/error.hpp"

namespace tarnkv::native {

using py::Ref;

// Type objects, made once per process when the module is first executed. Borrowed.
PyTypeObject* reader_type();
PyTypeObject* iterator_type();
PyTypeObject* view_type();
PyTypeObject* writer_type();

// --- Keys ---------------------------------------------------------------------------------

// A key's bytes. A str gives its UTF-8 form; the lone surrogates U+DC80..U+DCFF stand for the
// bytes 0x80..0xFF, as os.fsencode() has them, so a key that is not UTF-8 read back as str
// finds itself again. `owner` keeps alive whatever the view points into, when that is not the
// key object itself.
struct KeyBytes {
    std::string_view bytes;
    Ref owner;
};
enum class KeyStatus { Ok, NotAKey, Failed };
// Ok; NotAKey (neither str nor bytes, or a str that no bytes spell), with no exception set;
// or Failed with an exception set (memory).
KeyStatus key_bytes(PyObject* key, KeyBytes& out);
// The same, raising TypeError "keys must be str or bytes, not T" (or the encoding error) for
// anything that is not a key.
bool require_key(PyObject* key, KeyBytes& out);
// A stored key as str (UTF-8, other bytes as surrogate escapes) or as bytes. New references.
PyObject* key_str(std::string_view key);
PyObject* key_as_bytes(std::string_view key);

// --- Arguments ----------------------------------------------------------------------------

// A store's path (str, bytes or os.PathLike): `fspath` the path object os.fspath() gives, `out`
// the bytes the system sees. ValueError "store path contains a NUL byte" for a NUL byte.
bool store_path(PyObject* path, Ref& fspath, std::string& out);
// A key prefix, or TypeError "prefix must be str or bytes, not T".
bool prefix_arg(PyObject* prefix, KeyBytes& k);

// --- Codecs -------------------------------------------------------------------------------

// A call `fn(arg, **kwargs)` prepared once: the keyword names and values are kept so that each
// call is one vectorcall, without building a dict.
class CodecCall {
public:
    CodecCall() = default;
    CodecCall(const CodecCall&) = delete;
    CodecCall& operator=(const CodecCall&) = delete;
    ~CodecCall() { clear(); }

    // fn may be None (no call: the argument is the result); kwargs a dict or None.
    bool set(PyObject* fn, PyObject* kwargs);
    bool active() const noexcept { return fn_ != nullptr; }
    // fn(arg, **kwargs), or a new reference to arg when there is no function.
    PyObject* operator()(PyObject* arg) const;
    void clear() noexcept;
    // For the owner's tp_traverse: the codec's function and arguments may lead back to it.
    int traverse(visitproc visit, void* arg) const;

private:
    static constexpr int kMaxKw = 8;
    PyObject* fn_ = nullptr;
    PyObject* kwnames_ = nullptr;
    PyObject* kwvalues_[kMaxKw] = {};
    int nkw_ = 0;
};

// MessagePack `data` decoded as msgpack.unpackb(data, raw=False, strict_map_key=False) would:
// a new reference, or nullptr with no exception set for anything it leaves to msgpack itself
// (ext types, malformed data, errors), which the caller then decodes through the codec.
PyObject* unpack_msgpack(std::string_view data);

// --- Errors -------------------------------------------------------------------------------

// Raises the package's exception for a core error (through tarnkv.errors._from_core): `path`
// is the store's path object, `key` the key involved (or nullptr), `filename2` the rename
// target of a build. Always returns nullptr.
struct ErrorContext {
    PyObject* path = nullptr;
    PyObject* key = nullptr;
    PyObject* filename2 = nullptr;
    std::uint64_t offset = 0;
    bool has_offset = false;
};
PyObject* raise_core_error(const StoreError& err, const ErrorContext& where);
// Raises an instance of tarnkv.errors.<cls>(*args); always returns nullptr.
PyObject* raise_package_error(const char* cls, PyObject* args);
// Adds a note to the exception being raised (PEP 678): "<what> the object of key K".
void note_key(const char* what, PyObject* key);

// ValueError("I/O operation on a closed store"): nullptr.
PyObject* raise_closed();

}  // namespace tarnkv::native
