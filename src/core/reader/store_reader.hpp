// StoreReader maps a store file (layout in core/format/layout.hpp, written by
// core/writer/store_builder.hpp) read-only, checks its header and optionally its CRC, loads the
// index into memory, and answers queries. After open() nothing in it changes, so any number of
// threads may query one reader at once.
//
// Results that hold object bytes or keys are views into the mapping: they stay valid as long as
// the reader. Every operation that returns several
// objects checks all of them first and returns either everything or the first error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/format/compression.hpp"
#include "core/format/error.hpp"
#include "core/format/layout.hpp"
#include "core/format/progress.hpp"

namespace tarnkv {

class StoreReader;

namespace detail {
struct IndexLimits;
// StoreReader::open with the in-memory index widths given explicitly (reader_impl.hpp).
Result<StoreReader> open_reader(std::string path, bool verify, const IndexLimits& limits);
class FileMapping;
// The rest of an open once the file's bytes are mapped: the header, the optional CRC pass and
// the index. `release_index` gives the index pages back afterwards, which only a file-backed
// mapping can refault.
Result<StoreReader> open_mapped(std::string path, FileMapping mapping, std::uint64_t size, bool verify,
                                const IndexLimits& limits, bool release_index);
}  // namespace detail

// What an entry that no longer fits in its file (it changed under the mapping after open) names
// as its object's offset: no file has a record there.
inline constexpr std::uint64_t kNoOffset = ~std::uint64_t{0};

// Walks the index in file order, reading each entry in place: no lookup per step. Cheap to copy,
// valid as long as its reader; once index() reaches the entry count it must not be read.
class EntryCursor {
public:
    struct Entry {
        std::string_view key;
        std::uint64_t offset;
    };

    EntryCursor() = default;
    std::size_t index() const noexcept { return index_; }
    Entry entry() const noexcept {
        if (!fits_) return {{}, kNoOffset};
        const unsigned char* p = base_ + at_ + 2;
        return {{reinterpret_cast<const char*>(p), key_len_}, format::load_be64(p + key_len_)};
    }
    std::string_view key() const noexcept { return entry().key; }
    std::uint64_t offset() const noexcept { return entry().offset; }
    // A hint that this entry's object will be read soon: starts loading its record's first two
    // lines, which hold the whole of a small record wherever it starts.
    void prefetch_object() const noexcept {
        const std::uint64_t offset = this->offset();
        if (offset >= size_) return;
        __builtin_prefetch(base_ + offset);
        if (size_ - offset > 64) __builtin_prefetch(base_ + offset + 64);
    }
    // A hint that the walk goes on through the index: starts loading a line a few ahead of this
    // entry. Each entry's place follows from the one before it, so without it a walk into lines
    // not yet in cache waits for them one at a time.
    void prefetch_entries() const noexcept {
        // A cursor of a damaged index may stand anywhere, even past the end: no address is
        // formed that does not lie in the file.
        if (at_ < size_ && size_ - at_ > kEntriesAhead) __builtin_prefetch(base_ + at_ + kEntriesAhead);
    }
    // The same for every line up to that one, where a walk starts.
    void prefetch_entries_to_come() const noexcept {
        if (at_ >= size_) return;
        for (std::uint64_t d = 64; d <= kEntriesAhead && size_ - at_ > d; d += 64) __builtin_prefetch(base_ + at_ + d);
    }
    void next() noexcept {
        // An entry that no longer fits ends the walk's reads: the rest read as empty too.
        at_ = fits_ ? at_ + format::entry_size(key_len_) : size_;
        ++index_;
        decode();
    }

private:
    static constexpr std::uint64_t kEntriesAhead = 256;
    friend class StoreReader;
    EntryCursor(const unsigned char* base, std::uint64_t size, std::uint64_t at, std::size_t index) noexcept
        : base_(base), size_(size), at_(at), index_(index) {
        decode();
    }
    // Reads the key length of the entry at at_, once it is known to lie inside the file whole.
    void decode() noexcept {
        const auto e = format::EntryView::at(format::Image(base_, size_), at_);
        fits_ = e.has_value();
        key_len_ = fits_ ? e->key.size() : 0;
    }

    const unsigned char* base_ = nullptr;
    std::uint64_t size_ = 0;
    std::uint64_t at_ = 0;  // file position of the entry
    std::size_t index_ = 0;
    std::size_t key_len_ = 0;
    bool fits_ = false;
};

// A cursor running `ahead` entries in front of a walk that ends before entry `end`, starting the
// loads of the records the walk is about to read: call step() once for each entry walked.
class ReadAhead {
public:
    ReadAhead(EntryCursor from, std::size_t ahead, std::size_t end) noexcept : c_(from), end_(end) {
        c_.prefetch_entries_to_come();
        for (std::size_t i = 0; i < ahead; ++i) step();
    }
    void step() noexcept {
        if (c_.index() >= end_) return;
        c_.prefetch_object();
        c_.prefetch_entries();
        c_.next();
    }

private:
    EntryCursor c_;
    std::size_t end_;
};

// One index entry with its object: key bytes and object bytes, both in the mapping.
struct Item {
    std::string_view key;
    std::string_view object;
};

// File metadata, everything taken at open time; nothing is read from the mapping for it.
struct Stats {
    std::string path;
    long version;  // always 2
    std::uint32_t num_keys;
    std::uint32_t num_objects;
    std::uint64_t index_offset;
    std::uint64_t data_offset;  // always 40
    double file_size_kb;        // file size / 1024, unrounded
    std::string file_crc32;     // "0x" + 8 lowercase hex digits of the stored CRC
};

class StoreReader {
public:
    // Opens, maps and checks `path` (UTF-8, kept exactly as given), verifying the whole-file CRC
    // when `verify` is true, and loads the index. Leaves nothing behind on failure.
    static Result<StoreReader> open(std::string path, bool verify);

    // Moving leaves the source empty: only destruction and assignment are valid on it.
    StoreReader(StoreReader&&) noexcept;
    StoreReader& operator=(StoreReader&&) noexcept;
    ~StoreReader();

    // Header values as read at open.
    const std::string& path() const noexcept;
    std::uint64_t file_size() const noexcept;
    std::uint32_t num_keys() const noexcept;
    std::uint32_t num_objects() const noexcept;
    std::uint64_t index_offset() const noexcept;
    std::uint32_t file_crc32() const noexcept;

    // Index entries in file order, duplicates included; entry_count() == num_keys(). key_at and
    // offset_at find entry i from a nearby known one; walks use a cursor, which steps from one
    // entry to the next.
    std::size_t entry_count() const noexcept;
    std::string_view key_at(std::size_t i) const noexcept;
    std::uint64_t offset_at(std::size_t i) const noexcept;
    EntryCursor cursor(std::size_t i) const noexcept;

    // The object bytes of the record at `offset`, bounds-checked, without copying:
    // "offset N out of bounds" / "object at N extends beyond file end".
    Result<std::string_view> object_at(std::uint64_t offset) const;

    // The offset of the last index entry with this key.
    std::optional<std::uint64_t> lookup(std::string_view key) const noexcept;
    // lookup() for a caller that reads the object next: its record starts loading while the
    // key is compared, instead of after.
    std::optional<std::uint64_t> lookup_to_read(std::string_view key) const noexcept;
    // The object of `key`, or nullopt when absent. The object's CRC is not checked.
    Result<std::optional<std::string_view>> get_raw(std::string_view key) const;
    bool exists(std::string_view key) const noexcept;
    // Entries whose keys start with `prefix`, in index order, each with its object; only the
    // first `limit` of them when there are more (a caller can then tell a small scan from a
    // large one cheaply, and finish the large one elsewhere).
    Result<std::vector<Item>> prefix_raw(std::string_view prefix,
                                         std::size_t limit = std::numeric_limits<std::size_t>::max()) const;
    // Every entry with its object, in index order.
    Result<std::vector<Item>> items_raw() const;
    // Each distinct referenced object once, in order of first reference.
    Result<std::vector<std::string_view>> objects_raw() const;
    // Whole-file CRC, then the CRC of each distinct referenced record.
    Status verify() const;
    Stats stats() const;

    // --- Checked reads, ranges and batches (reader/checked_reads.cpp, reader/batch.cpp) ---

    // object_at() that also checks the record's stored CRC-32 against its bytes:
    // "object CRC32 mismatch at offset N" when they differ.
    Result<std::string_view> checked_object_at(std::uint64_t offset) const;
    // The CRC check alone, for a record whose bytes object_at() returned and the caller has
    // already read: checking after the use lets the use overlap the record's memory miss, and
    // the check then runs on bytes in cache.
    Status check_object(std::uint64_t offset) const;

    // The entries whose keys start with `prefix`, as the index positions [first, last). In a
    // well-formed (sorted) file they are one run; an unsorted one gives some run, never a fault.
    std::pair<std::size_t, std::size_t> prefix_range(std::string_view prefix) const noexcept;
    // The first entry whose key is not less than `key` (in an unsorted file: some entry); the
    // start of prefix_raw's run for a prefix.
    std::size_t lower_bound(std::string_view key) const noexcept;

    // Looks up every key and fills out[i] with its object's bytes (nullopt when absent),
    // checking each object's CRC when `check` is true. Many lookups are in flight at once, so a
    // batch costs far less than the same lookups one by one. On a bad record, the error
    // names the position of the first key whose object failed; `out` is then unspecified.
    struct BatchError {
        std::size_t index;
        StoreError error;
    };
    std::expected<void, BatchError> get_many(std::span<const std::string_view> keys,
                                             std::span<std::optional<std::string_view>> out, bool check) const;

    // --- Compressed stores (reader/decoding.cpp; format in core/format/compression.hpp) ---

    // Makes decode() return objects as they were put, for a store whose header says it is
    // compressed; does nothing for one that is not. Fails for a compression this reader does
    // not know. A damaged dictionary does not fail here: decoding a compressed object does.
    // Not while other threads use the reader.
    Status enable_decoding();
    // Whether enable_decoding() found a compressed store.
    bool compressed() const noexcept;
    // The object's bytes as put, from its stored bytes (read from this store, or fetched from
    // a copy of it): `stored` itself unless the store is compressed; else see
    // format::ObjectDecoder::decode. Any number of threads at once.
    Result<std::string_view> decode(std::string_view stored, std::string& scratch) const;
    // The decoder of a compressed store, nullptr otherwise.
    const format::ObjectDecoder* decoder() const noexcept;
    // For a compressed store: the dictionary's size, and the stored and original bytes of
    // every distinct object a key names (decoded one by one: a scan of the data section).
    struct CompressionSizes {
        std::uint64_t dictionary = 0;
        std::uint64_t stored = 0;
        std::uint64_t original = 0;
    };
    Result<CompressionSizes> compression_sizes() const;

    // verify() reporting its progress (core/format/progress.hpp); the total counts the whole
    // file once and the data section once more.
    Status verify(const Progress& progress) const;

    // Gives the index section's resident pages back after a walk over all of it, as open does
    // after loading it; lookups fault them in again.
    void release_index() const noexcept;

private:
    friend Result<StoreReader> detail::open_reader(std::string path, bool verify, const detail::IndexLimits& limits);
    friend Result<StoreReader> detail::open_mapped(std::string path, detail::FileMapping mapping, std::uint64_t size,
                                                   bool verify, const detail::IndexLimits& limits, bool release_index);

    // Held on the heap: the hash table's functors point back at it, so it must never move.
    struct Impl;
    explicit StoreReader(std::unique_ptr<Impl> impl) noexcept;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarnkv
