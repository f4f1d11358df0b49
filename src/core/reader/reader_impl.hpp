// Internals of StoreReader shared by its source files: the owned mapping, the in-memory index
// and the reader state itself. Not part of the public interface.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <format>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include <boost/unordered/unordered_flat_set.hpp>

#define XXH_INLINE_ALL  // a lookup hashes one short key: the call and dispatch would cost as much
#include <xxhash.h>

#include "core/format/compression.hpp"
#include "core/format/layout.hpp"
#include "core/reader/key_table.hpp"
#include "core/reader/store_reader.hpp"

namespace tarnkv::detail {

// A read-only mapping, unmapped when the owner goes away.
class FileMapping {
public:
    FileMapping() = default;
    FileMapping(void* addr, std::size_t length) noexcept : addr_(addr), length_(length) {}
    FileMapping(FileMapping&& other) noexcept : addr_(other.addr_), length_(other.length_) { other.addr_ = nullptr; }
    FileMapping& operator=(FileMapping&&) = delete;
    ~FileMapping();

    const unsigned char* data() const noexcept { return static_cast<const unsigned char*>(addr_); }

    // Maps the pages of [begin, end) that are in the page cache now, in one call rather than a
    // fault for every few pages. Only a hint: whatever it leaves out faults in when read.
    void populate(std::uint64_t begin, std::uint64_t end) const noexcept;
    // Gives the resident pages of the whole pages inside [begin, end) back to the kernel. The
    // bytes stay readable: touching them again faults them back in from the file.
    void release(std::uint64_t begin, std::uint64_t end) const noexcept;

private:
    void* addr_ = nullptr;
    std::size_t length_ = 0;
};

// An array of unsigned values that takes four bytes per element when every value fits in 32
// bits, eight otherwise.
class PackedArray {
public:
    void allocate(std::size_t n, bool wide);
    void set(std::size_t i, std::uint64_t v) noexcept {
        if (wide_)
            wide_values_[i] = v;
        else
            narrow_values_[i] = static_cast<std::uint32_t>(v);
    }
    std::uint64_t operator[](std::size_t i) const noexcept { return wide_ ? wide_values_[i] : narrow_values_[i]; }

private:
    bool wide_ = false;
    std::unique_ptr<std::uint32_t[]> narrow_values_;
    std::unique_ptr<std::uint64_t[]> wide_values_;
};

// Hashes an object offset with the reader's seed, for the per-call sets of offsets already
// seen. Offsets come from the file, so an unseeded hash would let a crafted file collide them.
struct OffsetHash {
    using is_avalanching = std::true_type;
    std::uint64_t seed;
    std::size_t operator()(std::uint64_t offset) const noexcept;
};
using OffsetSet = boost::unordered_flat_set<std::uint64_t, OffsetHash>;

// The whole-file check shared by open (with verification) and verify(): the CRC-32 of every
// byte after the header against the header's stored value.
inline Status check_body_crc(std::uint32_t computed, std::uint32_t stored) {
    if (computed == stored) return {};
    return std::unexpected(StoreError::corrupt(std::format("file CRC32 mismatch  stored={}  computed={}",
                                                           format::crc_hex(stored), format::crc_hex(computed))));
}

// The CRC-32 of bytes [40, size) of `mapping` (body_crc.cpp). `advance(n)` hears of every n
// bytes checksummed; when it returns false the pass stops and returns nothing.
std::optional<std::uint32_t> body_crc(const FileMapping& mapping, std::uint64_t size,
                                      const std::function<bool(std::uint64_t)>& advance = {});

// Byte equality of two keys of the same length `n`, without a library call for the short keys
// that make up nearly every store: overlapping word loads cover 1 to 16 bytes in two compares.
inline bool same_key_bytes(const void* pa, const void* pb, std::size_t n) noexcept {
    const auto* a = static_cast<const char*>(pa);
    const auto* b = static_cast<const char*>(pb);
    const auto load64 = [](const char* p) {
        std::uint64_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    };
    const auto load32 = [](const char* p) {
        std::uint32_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    };
    if (n >= 8) {
        if (n > 16) return std::memcmp(a, b, n) == 0;
        return ((load64(a) ^ load64(b)) | (load64(a + n - 8) ^ load64(b + n - 8))) == 0;
    }
    if (n >= 4) return ((load32(a) ^ load32(b)) | (load32(a + n - 4) ^ load32(b + n - 4))) == 0;
    if (n == 0) return true;
    return a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1];
}

// The hash of a key in the index: XXH3 with the reader's seed.
inline std::uint64_t key_hash(std::string_view key, std::uint64_t seed) noexcept {
    return XXH3_64bits_withSeed(key.data(), key.size(), seed);
}

// Files up to `narrow` bytes keep entry positions and object offsets in four bytes each, which
// is most of what keeps the table small. StoreReader::open uses the default; tests pass a lower
// limit to open_reader to reach the eight-byte form, which a real file needs only beyond 4 GiB.
struct IndexLimits {
    std::uint64_t narrow = 0xFFFF'FFFF;
};

// Every kMarkStride-th entry is a mark: its position is kept, so that entry i is at most
// kMarkStride - 1 steps from a known place (walks in file order use a cursor and never look one
// up), and its key is copied, so that a binary search runs over the marks' keys in one small
// block that stays in cache and only its last steps read the index in the mapping.
inline constexpr std::size_t kMarkStride = 16;

}  // namespace tarnkv::detail

namespace tarnkv {

// The index: the entries stay where they are, in the mapping, read in place. The reader adds a
// hash table from each distinct key to its last entry (entry position and object offset), and
// the marks (every kMarkStride-th entry's position and key) for key_at, offset_at and binary
// searches. A hit reads the table's bucket, then the entry (to compare the key) and the object
// together.
struct StoreReader::Impl {
    Impl(std::string p, detail::FileMapping m, std::uint64_t size, std::uint64_t hash_seed)
        : path(std::move(p)), mapping(std::move(m)), base(mapping.data()), file_size(size), seed(hash_seed) {}
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // Walks the num_keys entries from index_offset, checking that each lies inside the file,
    // and indexes them, with four-byte words unless `wide`. The first entry that does not fit
    // ends the walk with its truncation fault.
    template <class Word>
    std::optional<format::EntryFault> load_index(detail::KeyTable<Word>& table);

    std::uint64_t hash(std::string_view key) const noexcept { return detail::key_hash(key, seed); }
    format::Image image() const noexcept { return {base, file_size}; }

    // The entry at file position `at`, read in place. Every entry was inside the file at open;
    // one that no longer is (the file changed under the mapping) reads as an empty key naming
    // an offset no file holds, and ends the index.
    struct Entry {
        std::string_view key;
        std::uint64_t offset;
        std::uint64_t next;  // the position after it
    };
    Entry entry_at(std::uint64_t at) const noexcept {
        const auto e = format::EntryView::at(image(), at);
        if (!e) return {{}, kNoOffset, file_size};
        return {e->key, e->offset, at + e->size()};
    }
    // Whether the entry at `entry` (a position in the index section) holds `key`.
    bool holds(std::uint64_t entry, std::string_view key) const noexcept {
        const std::uint64_t at = index_offset + entry;
        if (at > file_size || file_size - at < 2 + key.size()) return false;
        const unsigned char* p = base + at;
        return format::load_be16(p) == key.size() && detail::same_key_bytes(p + 2, key.data(), key.size());
    }
    // The file position of entry i.
    std::uint64_t position_of(std::size_t i) const noexcept {
        std::uint64_t at = index_offset + marks[i / detail::kMarkStride];
        if (i % detail::kMarkStride) prefetch_block(i / detail::kMarkStride);
        for (std::size_t k = i % detail::kMarkStride; k > 0; --k) at = entry_at(at).next;
        return at;
    }
    // Starts loading the lines that hold mark block m's entries (the first few of them, when
    // their keys are long). Each entry's place follows from the one before it, so a walk into
    // a block that is not in cache would otherwise wait for its lines one after another.
    void prefetch_block(std::size_t m) const noexcept {
        constexpr std::uint64_t kMostLines = 12;
        const std::uint64_t begin = index_offset + marks[m];
        const std::uint64_t end = m + 1 < mark_count() ? index_offset + marks[m + 1] : index_end;
        const std::uint64_t stop = std::min({end, begin + kMostLines * 64, file_size});
        for (std::uint64_t at = begin & ~std::uint64_t{63}; at < stop; at += 64) __builtin_prefetch(base + at);
    }
    std::string_view key_at(std::size_t i) const noexcept { return entry_at(position_of(i)).key; }
    std::uint64_t offset_at(std::size_t i) const noexcept { return entry_at(position_of(i)).offset; }
    EntryCursor cursor(std::size_t i) const noexcept {
        return EntryCursor(base, file_size, i < entries ? position_of(i) : index_end, i);
    }
    std::size_t mark_count() const noexcept { return (entries + detail::kMarkStride - 1) / detail::kMarkStride; }
    std::string_view mark_key(std::size_t m) const noexcept {
        return std::string_view(mark_keys).substr(mark_key_starts[m], mark_key_starts[m + 1] - mark_key_starts[m]);
    }
    // The first entry whose key is not less than `key`, found among the marks and then in the
    // run of entries before the first mark not less than it. In a sorted index (every file the
    // builder writes) that is the lower bound; in an unsorted one it is some entry, never a fault.
    std::size_t lower_bound(std::string_view key) const noexcept;
    // Its two steps: the first mark not less than `key`, then the entry in the block before it.
    std::size_t first_mark_not_less(std::string_view key) const noexcept;
    std::size_t bound_after_mark(std::size_t m, std::string_view key) const noexcept;
    // The end of the run of keys starting with `prefix`, found the same way: the first mark from
    // `lo` on that does not start with it, then the end of the run from entry `first` on, in the
    // block before that mark.
    std::size_t run_end_mark(std::size_t lo, std::string_view prefix) const noexcept;
    std::size_t run_end(std::size_t first, std::size_t m, std::string_view prefix) const noexcept;

    // A hint that the record at `offset` will be read soon: its first two lines, which hold
    // the whole of a small record.
    void prefetch_record(std::uint64_t offset) const noexcept {
        if (offset >= file_size) return;
        __builtin_prefetch(base + offset);
        if (file_size - offset > 64) __builtin_prefetch(base + offset + 64);
    }

    // The object offset of a slot: a four-byte table keeps offsets beyond its words as the
    // largest word, and the entry itself has the offset in full.
    template <class Word>
    std::uint64_t slot_offset(const typename detail::KeyTable<Word>::Slot& s) const noexcept {
        if (sizeof(Word) == 4 && s.offset == static_cast<Word>(-1)) return entry_at(index_offset + s.entry).offset;
        return s.offset;
    }

    template <class Word>
    std::optional<std::uint64_t> find(const detail::KeyTable<Word>& table, std::string_view key,
                                      bool prefetch_object) const noexcept {
        const auto slot = table.find(hash(key), [&](Word entry, Word offset) {
            // The object's read starts before the key comparison has finished with its own.
            if (prefetch_object) prefetch_record(offset);
            return holds(entry, key);
        });
        if (!slot) return std::nullopt;
        return slot_offset<Word>(*slot);
    }
    // The offset of the last entry with `key`; with `prefetch_object` its record starts loading
    // as soon as it is known.
    std::optional<std::uint64_t> lookup(std::string_view key, bool prefetch_object = false) const noexcept {
        if (entries == 0) return std::nullopt;
        if (wide) return find(wide_table, key, prefetch_object);
        return find(narrow_table, key, prefetch_object);
    }

    // Walks over many entries read each object's length at a random place in the mapping
    // (records lie in the order objects were added, keys in key order). Starting the load of
    // an entry this far ahead lets those misses overlap instead of following one another.
    static constexpr std::size_t prefetch_ahead = 16;

    // Calls visit(offset) for each distinct offset in index order, at its first reference,
    // stopping at the first failure. The set of offsets seen is local to the call.
    template <class Visit>
    Status each_distinct_offset(Visit&& visit) const {
        detail::OffsetSet seen(0, detail::OffsetHash{seed});
        seen.reserve(entries);
        EntryCursor ahead = cursor(0);
        for (std::size_t i = 0; i < prefetch_ahead && ahead.index() < entries; ++i, ahead.next())
            ahead.prefetch_object();
        for (EntryCursor c = cursor(0); c.index() < entries; c.next()) {
            if (ahead.index() < entries) {
                ahead.prefetch_object();
                ahead.next();
            }
            const std::uint64_t offset = c.offset();
            if (!seen.insert(offset).second) continue;
            if (auto st = visit(offset); !st) return st;
        }
        return {};
    }

    // Looks up n keys (at most a block) at once, their misses overlapping; see batch.cpp.
    static constexpr std::size_t batch_block = 32;
    template <class Word>
    void lookup_block(const detail::KeyTable<Word>& table, const std::string_view* keys, std::size_t n,
                      std::optional<std::uint64_t>* offsets) const;

    std::string path;
    detail::FileMapping mapping;
    const unsigned char* base;  // the mapping's first byte
    std::uint64_t file_size;
    std::uint64_t seed;  // random per reader; keys from a file cannot aim at it

    std::uint32_t num_keys = 0;
    std::uint32_t num_objects = 0;
    std::uint64_t index_offset = 0;
    std::uint64_t index_end = 0;  // just past the last entry read
    std::uint32_t file_crc32 = 0;

    std::size_t entries = 0;
    bool wide = false;                  // eight-byte words: a file beyond the narrow limit
    detail::PackedArray marks;          // position in the index section of every kMarkStride-th entry
    std::string mark_keys;              // their keys back to back
    detail::PackedArray mark_key_starts;  // where each starts in mark_keys, and where the last ends
    detail::KeyTable<std::uint32_t> narrow_table;
    detail::KeyTable<std::uint64_t> wide_table;
    // Set by enable_decoding() on a compressed store (reader/decoding.cpp).
    std::unique_ptr<format::ObjectDecoder> decoder;
};

}  // namespace tarnkv
