// The reader's instance layout and the pins that keep its StoreReader alive while it is used.
//
// A reader may be closed by one thread while others are inside calls that run without the
// interpreter lock, or while memoryviews of its objects are alive. So every use pins the core
// reader: `state` counts the pins, and its top bit says the reader is closed. A pin can only be
// taken while the bit is clear; close() sets it; whoever brings the state to "closed, no pins"
// (close() itself, or the last pin to go) destroys the StoreReader, which unmaps the file. Once
// the bit is set the count only falls, so that happens exactly once.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "binding/native/native.hpp"
#include "core/reader/store_reader.hpp"

namespace tarnkv::native {

struct ReaderObject {
    PyObject_HEAD
    std::atomic<std::uint64_t> state;
    std::optional<StoreReader> core;
    PyObject* path;   // as given (str or bytes); for messages, repr and pickling
    PyObject* codec;  // the codec object the Python class resolved, for pickling
    CodecCall decode;
    bool native_msgpack;  // the default codec: decoded in place by unpack_msgpack
    bool check_reads;
    bool verified;  // opened with verify=True

    static constexpr std::uint64_t kClosed = std::uint64_t{1} << 63;

    bool closed() const noexcept { return state.load(std::memory_order_acquire) & kClosed; }

    bool try_pin() noexcept {
        std::uint64_t s = state.load(std::memory_order_relaxed);
        do {
            if (s & kClosed) return false;
        } while (!state.compare_exchange_weak(s, s + 1, std::memory_order_acquire, std::memory_order_relaxed));
        return true;
    }
    void unpin() noexcept {
        if (state.fetch_sub(1, std::memory_order_acq_rel) - 1 == kClosed) core.reset();
    }
    // Marks the reader closed; the StoreReader goes now or with the last pin. False when it
    // was closed already.
    bool close() noexcept {
        const std::uint64_t s = state.fetch_or(kClosed, std::memory_order_acq_rel);
        if (s & kClosed) return false;
        if (s == 0) core.reset();
        return true;
    }
};

inline ReaderObject* as_reader(PyObject* o) noexcept { return reinterpret_cast<ReaderObject*>(o); }

// One pin for the length of a call. Check ok(): when false, ValueError is set.
class Pin {
public:
    explicit Pin(ReaderObject* r) noexcept : r_(r->try_pin() ? r : nullptr) {
        if (!r_) raise_closed();
    }
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;
    ~Pin() { release(); }
    bool ok() const noexcept { return r_ != nullptr; }
    const StoreReader& core() const noexcept { return *r_->core; }
    // Lets go early (before calling back into Python, for instance).
    void release() noexcept {
        if (r_) r_->unpin();
        r_ = nullptr;
    }
    // Hands the pin to an object that outlives the call; it then calls unpin() itself.
    void transfer() noexcept { r_ = nullptr; }

private:
    ReaderObject* r_;
};

// The reader's objects as the readers ask for them: checked against their CRC when the
// reader was opened with check_reads.
inline Result<std::string_view> read_view(const ReaderObject* r, const StoreReader& core, std::uint64_t offset) {
    return r->check_reads ? core.checked_object_at(offset) : core.object_at(offset);
}
// Where a compressed store's objects are decompressed to: this thread's buffer, kept between
// reads so that reading allocates nothing, unless a read further up the stack (a finalizer that
// reads, run by an allocation while an object is made) is still using it: then one of its own.
// Taken at the first get(), so that a read of a store that is not compressed never pays for
// the thread-local look-ups.
class DecodeBuffer {
public:
    DecodeBuffer() noexcept = default;
    DecodeBuffer(const DecodeBuffer&) = delete;
    DecodeBuffer& operator=(const DecodeBuffer&) = delete;
    ~DecodeBuffer() {
        if (use_ != Use::Shared) return;
        // A buffer grown by a large object is not held for the thread's life.
        if (shared().capacity() > kKeep) std::string().swap(shared());
        busy() = false;
    }
    std::string& get() noexcept {
        if (use_ == Use::None) {
            use_ = busy() ? Use::Own : Use::Shared;
            if (use_ == Use::Shared) busy() = true;
        }
        return use_ == Use::Shared ? shared() : own_;
    }

private:
    static constexpr std::size_t kKeep = std::size_t{1} << 20;
    static bool& busy() noexcept {
        thread_local bool b = false;
        return b;
    }
    static std::string& shared() noexcept {
        thread_local std::string s;
        return s;
    }
    enum class Use : unsigned char { None, Shared, Own };
    Use use_ = Use::None;
    std::string own_;
};

// Stored bytes read from the store as the object that was put: the same bytes unless the
// store is compressed, else decompressed into `buffer` (valid while it is).
inline Result<std::string_view> as_put(const StoreReader& core, std::string_view stored, DecodeBuffer& buffer) {
    if (!core.compressed()) return stored;
    return core.decode(stored, buffer.get());
}
inline Result<std::string_view> as_put(const StoreReader& core, const Result<std::string_view>& stored,
                                       DecodeBuffer& buffer) {
    if (!stored) return stored;
    return as_put(core, *stored, buffer);
}

// `offset`'s object as put, for a single read. A compressed record is checked (when the reader
// checks reads) before it is decompressed, so that a damaged record reads as a CRC fault; an
// uncompressed one is checked after its use (check_after_use).
inline Result<std::string_view> read_put(const ReaderObject* r, const StoreReader& core, std::uint64_t offset,
                                         DecodeBuffer& buffer) {
    if (!core.compressed()) return core.object_at(offset);
    return as_put(core, read_view(r, core, offset), buffer);
}

// For a single read, the check comes after the bytes were first used (copied or decoded in
// place, which runs no Python code), so that the use overlaps the record's memory miss; what
// was made from a record that fails is dropped before anything sees it. A compressed store's
// records were checked before they were decompressed (read_put).
inline Status check_after_use(const ReaderObject* r, const StoreReader& core, std::uint64_t offset) {
    if (!r->check_reads || core.compressed()) return {};
    return core.check_object(offset);
}

// The decoded object of `bytes` (in the pinned mapping), when it can be made without running
// Python code: by unpack_msgpack for the default codec. nullptr, with no exception set, when
// the codec must decode a bytes copy instead.
inline PyObject* decode_in_place(const ReaderObject* r, std::string_view bytes) {
    return r->native_msgpack ? unpack_msgpack(bytes) : nullptr;
}

// The iterator over a range of the index.
enum class IterKind : int { KeysStr, KeysBytes, Items, ItemsRaw, Values, ValuesRaw };
// _scan(kind, prefix=None, limit=None): `prefix` nullptr for None, `limit` SIZE_MAX for None.
struct ScanArgs {
    IterKind kind;
    PyObject* prefix;
    std::size_t limit;
};
bool scan_args(PyObject* args, PyObject* kwargs, ScanArgs& out);
// A scan's `limit` argument (nullptr or None: no limit), which must be an index of at least 0.
bool limit_arg(PyObject* limit, std::size_t& out);
bool scan_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, ScanArgs& out);
// One entry of a walk (a store's or a set's) as `kind` asks for it, made in two steps: take()
// while the reader is pinned (the key and the object lie in its mapping), then finish() once
// the pin is gone, since the codec is Python code that may even close the reader.
class EntryAnswer {
public:
    // Keeps the key and the object (or a copy of its bytes, for the codec); a failed read is
    // raised for the key. False with an exception set. Not for the kinds that yield keys only.
    bool take(const ReaderObject* r, IterKind kind, std::string_view key, std::uint64_t offset,
              const Result<std::string_view>& object);
    // The value, or the (key, value) pair: a new reference, or nullptr with an exception set.
    PyObject* finish(const ReaderObject* r, IterKind kind);

private:
    Ref key_, raw_, value_;
};
PyObject* make_iterator(PyObject* reader, IterKind kind, std::size_t first, std::size_t last);
// A (key, value) tuple, taking over both references (dropped when it fails); untracked by the
// collector when neither part is tracked (`untracked_parts`: the caller knows they are not,
// a str and a bytes, say).
PyObject* make_pair(PyObject* key, PyObject* value, bool untracked_parts = false);
// A memoryview of `bytes`, which lie in `reader`'s mapping. Takes over one pin of the reader,
// which it drops when the view is released (or at once, if it fails).
PyObject* make_view(PyObject* reader, std::string_view bytes);

// Raises the package error for a read of `key`'s object that failed.
PyObject* raise_read_error(const ReaderObject* r, const StoreError& err, PyObject* key, std::uint64_t offset);

}  // namespace tarnkv::native
