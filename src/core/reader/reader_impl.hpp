// Internals of StoreReader shared by its source files: the owned mapping, the in-memory index
// and the reader state itself. Not part of the public interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <format>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include <boost/unordered/unordered_flat_set.hpp>

#define XXH_INLINE_ALL  // a lookup hashes one short key: the call and dispatch would cost as much
#include <xxhash.h>

#include "core/format/layout.hpp"
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

    // Gives the resident pages of the whole pages inside [begin, end) back to the kernel. The
    // bytes stay readable: touching them again faults them back in from the file.
    void release(std::uint64_t begin, std::uint64_t end) const noexcept;

private:
    void* addr_ = nullptr;
    std::size_t length_ = 0;
};

// Asks for transparent huge pages on the whole 2 MiB pages inside a fresh block of `bytes` at
// `p`. A lookup touches the hash table and the key arena at random places, so with 4 KiB pages
// nearly every lookup also misses the TLB; under virtualisation each such miss is a two-level
// page walk. Only advice: where the kernel has no huge pages nothing changes.
void advise_huge_pages(void* p, std::size_t bytes) noexcept;

// The allocator of the index's hash table: the global heap, plus huge page advice.
template <class T>
struct IndexAllocator {
    using value_type = T;
    IndexAllocator() = default;
    template <class U>
    IndexAllocator(const IndexAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        T* p = std::allocator<T>().allocate(n);
        advise_huge_pages(p, n * sizeof(T));
        return p;
    }
    void deallocate(T* p, std::size_t n) noexcept { std::allocator<T>().deallocate(p, n); }
    template <class U>
    bool operator==(const IndexAllocator<U>&) const noexcept {
        return true;
    }
};

// An array of unsigned values that takes four bytes per element when every value fits in 32
// bits, eight otherwise. Arena positions nearly always fit, and halving them is a large part
// of what keeps the index compact.
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
inline Status check_body_crc(const unsigned char* base, std::uint64_t size, std::uint32_t stored) {
    const std::uint32_t computed = format::crc32(base + format::kHeaderSize, size - format::kHeaderSize);
    if (computed == stored) return {};
    return std::unexpected(StoreError::corrupt(std::format("file CRC32 mismatch  stored={}  computed={}",
                                                           format::crc_hex(stored), format::crc_hex(computed))));
}

// Byte equality of two keys of the same length `n`, without a library call for the short keys
// that make up nearly every store: overlapping word loads cover 1 to 16 bytes in two compares.
inline bool same_key_bytes(const char* a, const char* b, std::size_t n) noexcept {
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
inline std::size_t key_hash(std::string_view key, std::uint64_t seed) noexcept {
    return XXH3_64bits_withSeed(key.data(), key.size(), seed);
}

// The order in which open inserts the keys into the hash table. The table picks a key's group
// by the top bits of its hash; inserting in file order would miss the cache on nearly every
// insert once the table outgrows it, while inserting the keys grouped by the top bits of their
// hashes walks the table from front to back. Smaller indexes stay in cache and are inserted in
// file order.
struct InsertOrder {
    static constexpr int bits = 11;
    static constexpr std::size_t buckets = std::size_t{1} << bits;
    static constexpr std::size_t grouped_from = std::size_t{1} << 16;  // entries
    static std::size_t bucket(std::size_t hash) noexcept { return hash >> (sizeof hash * 8 - bits); }
};

// Widths in the in-memory index, chosen per reader at open: 4 bytes while every value fits.
// StoreReader::open always uses these defaults; tests pass lower limits to open_reader to
// reach the wide forms, which a real file reaches only beyond 4 GiB.
struct IndexLimits {
    std::uint64_t narrow_offset = 0xFFFF'FFFF;    // largest object offset kept in 4 bytes
    std::uint64_t narrow_position = 0xFFFF'FFFF;  // largest arena size addressed in 4 bytes
};

}  // namespace tarnkv::detail

namespace tarnkv {

// The index in memory. Each entry is one record in the arena, in file order:
//
//   object offset (4 or 8 bytes, native order) | key_len (u16, native order) | key bytes
//
// The hash set holds, per distinct key, the arena position of its record, so a hit reads the
// table's control bytes, the slot, and then one record that holds both the key to compare and
// the offset to return. A parallel array holds every record's position in file order for
// key_at, offset_at and the binary search of prefix scans.
struct StoreReader::Impl {
    // A record that is about to enter the set, with its key's hash computed beforehand.
    template <class Pos>
    struct Placed {
        Pos pos;
        std::size_t hash;
        explicit operator Pos() const noexcept { return pos; }
    };
    // A probe by hash alone: it matches the first slot whose stored hash bits agree, without
    // reading any key. Batched lookups (batch.cpp) find candidates this way for a whole block,
    // then check each candidate's key once its record is in cache.
    struct HashProbe {
        std::size_t hash;
    };

    // Positions hash and compare by their record's key bytes; string_views look them up directly.
    template <class Pos>
    struct RecordHash {
        using is_transparent = void;
        using is_avalanching = std::true_type;  // XXH3 output needs no extra mixing
        const Impl* owner;
        std::size_t operator()(std::string_view key) const noexcept { return owner->hash(key); }
        std::size_t operator()(Pos pos) const noexcept { return owner->hash(owner->record_key(pos)); }
        std::size_t operator()(const Placed<Pos>& p) const noexcept { return p.hash; }
        std::size_t operator()(const HashProbe& p) const noexcept { return p.hash; }
    };
    template <class Pos>
    struct RecordEq {
        using is_transparent = void;
        const Impl* owner;
        std::string_view key(std::string_view k) const noexcept { return k; }
        std::string_view key(Pos pos) const noexcept { return owner->record_key(pos); }
        std::string_view key(const Placed<Pos>& p) const noexcept { return owner->record_key(p.pos); }
        template <class A, class B>
        bool operator()(const A& a, const B& b) const noexcept {
            const std::string_view x = key(a), y = key(b);
            return x.size() == y.size() && detail::same_key_bytes(x.data(), y.data(), x.size());
        }
        bool operator()(const HashProbe&, const Pos&) const noexcept { return true; }
    };
    template <class Pos>
    using KeySet = boost::unordered_flat_set<Pos, RecordHash<Pos>, RecordEq<Pos>, detail::IndexAllocator<Pos>>;

    Impl(std::string p, detail::FileMapping m, std::uint64_t size, std::uint64_t hash_seed)
        : path(std::move(p)), mapping(std::move(m)), base(mapping.data()), file_size(size), seed(hash_seed),
          narrow_set(0, RecordHash<std::uint32_t>{this}, RecordEq<std::uint32_t>{this}),
          wide_set(0, RecordHash<std::uint64_t>{this}, RecordEq<std::uint64_t>{this}) {}
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // Fills the arena, the positions and the hash set from an index already checked to lie
    // in the file, with the narrowest widths `limits` allow. `bucket_starts`, when given, holds InsertOrder::buckets + 1 values: zero,
    // then the number of keys in each bucket. False when the index no longer matches what
    // the check saw: the file changed in between.
    bool load_index(std::uint64_t key_bytes, std::uint64_t max_offset, std::size_t* bucket_starts,
                    const detail::IndexLimits& limits);
    template <class Pos>
    bool fill(KeySet<Pos>& set, std::uint64_t arena_bytes, std::size_t* bucket_starts);
    template <class Pos>
    static void insert(KeySet<Pos>& set, Pos pos, std::size_t key_hash);

    std::size_t hash(std::string_view key) const noexcept { return detail::key_hash(key, seed); }

    std::string_view record_key(std::uint64_t pos) const noexcept {
        const unsigned char* p = arena.get() + pos + offset_width;
        std::uint16_t len;
        std::memcpy(&len, p, sizeof len);
        return {reinterpret_cast<const char*>(p + sizeof len), len};
    }
    std::uint64_t record_offset(std::uint64_t pos) const noexcept {
        const unsigned char* p = arena.get() + pos;
        if (offset_width == sizeof(std::uint32_t)) {
            std::uint32_t v;
            std::memcpy(&v, p, sizeof v);
            return v;
        }
        std::uint64_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    std::string_view key_at(std::size_t i) const noexcept { return record_key(positions[i]); }
    format::Image image() const noexcept { return {base, file_size}; }

    // Walks over many entries read each object's length at a random place in the mapping
    // (records lie in the order objects were added, keys in key order). Starting the load of
    // an entry this far ahead lets those misses overlap instead of following one another.
    static constexpr std::size_t prefetch_ahead = 16;
    void prefetch_object(std::size_t i) const noexcept {
        if (i >= entries) return;
        const std::uint64_t offset = offset_at(i);
        if (offset < file_size) __builtin_prefetch(base + offset);
    }
    std::uint64_t offset_at(std::size_t i) const noexcept { return record_offset(positions[i]); }

    // Calls visit(offset) for each distinct offset in index order, at its first reference,
    // stopping at the first failure. The set of offsets seen is local to the call.
    template <class Visit>
    Status each_distinct_offset(Visit&& visit) const {
        detail::OffsetSet seen(0, detail::OffsetHash{seed});
        seen.reserve(entries);
        for (std::size_t i = 0; i < prefetch_ahead; ++i) prefetch_object(i);
        for (std::size_t i = 0; i < entries; ++i) {
            prefetch_object(i + prefetch_ahead);
            const std::uint64_t offset = offset_at(i);
            if (!seen.insert(offset).second) continue;
            if (auto st = visit(offset); !st) return st;
        }
        return {};
    }

    // Looks up n keys (at most a block) at once, their misses overlapping; see batch.cpp.
    static constexpr std::size_t batch_block = 32;
    template <class Pos>
    void lookup_block(const KeySet<Pos>& set, const std::string_view* keys, std::size_t n,
                      std::optional<std::uint64_t>* offsets) const;

    // The offset of the record that the set holds for `key`.
    std::optional<std::uint64_t> lookup(std::string_view key) const noexcept {
        if (wide_positions) return lookup_in(wide_set, key);
        return lookup_in(narrow_set, key);
    }
    template <class Pos>
    std::optional<std::uint64_t> lookup_in(const KeySet<Pos>& set, std::string_view key) const noexcept {
        if (set.empty()) return std::nullopt;
        const auto it = set.find(key);
        if (it == set.end()) return std::nullopt;
        return record_offset(*it);
    }

    std::string path;
    detail::FileMapping mapping;
    const unsigned char* base;  // the mapping's first byte
    std::uint64_t file_size;
    std::uint64_t seed;  // random per reader; keys and offsets from a file cannot aim at it

    std::uint32_t num_keys = 0;
    std::uint32_t num_objects = 0;
    std::uint64_t index_offset = 0;
    std::uint64_t index_end = 0;  // just past the last entry read
    std::uint32_t file_crc32 = 0;

    // The records back to back in file order, one copy of each key.
    std::unique_ptr<unsigned char[]> arena;
    std::size_t offset_width = sizeof(std::uint32_t);  // of each record's object offset
    detail::PackedArray positions;                     // entries values
    std::size_t entries = 0;
    // One position per distinct key: the last entry with that key. Only the set matching the
    // positions' width is filled.
    bool wide_positions = false;
    KeySet<std::uint32_t> narrow_set;
    KeySet<std::uint64_t> wide_set;
};

}  // namespace tarnkv
