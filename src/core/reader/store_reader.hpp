// StoreReader maps a store file (layout in core/format/layout.hpp, written by
// core/writer/store_builder.hpp) read-only, checks its header and optionally its CRC, loads the
// index into memory, and answers queries. After open() nothing in it changes, so any number of
// threads may query one reader at once.
//
// Results that hold object bytes are views into the mapping (or, for keys, into the reader's
// key arena): they stay valid as long as the reader. Every operation that returns several
// objects checks all of them first and returns either everything or the first error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/format/error.hpp"

namespace tarnkv {

class StoreReader;

namespace detail {
struct IndexLimits;
// StoreReader::open with the in-memory index widths given explicitly (reader_impl.hpp).
Result<StoreReader> open_reader(std::string path, bool verify, const IndexLimits& limits);
}  // namespace detail

// One index entry with its object: key bytes (in the key arena) and object bytes (in the mapping).
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

    // Index entries in file order, duplicates included; entry_count() == num_keys().
    std::size_t entry_count() const noexcept;
    std::string_view key_at(std::size_t i) const noexcept;
    std::uint64_t offset_at(std::size_t i) const noexcept;

    // The object bytes of the record at `offset`, bounds-checked, without copying:
    // "offset N out of bounds" / "object at N extends beyond file end".
    Result<std::string_view> object_at(std::uint64_t offset) const;
    // The same as a fresh copy.
    Result<std::string> read_object(std::uint64_t offset) const;

    // The offset of the last index entry with this key.
    std::optional<std::uint64_t> lookup(std::string_view key) const noexcept;
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

private:
    friend Result<StoreReader> detail::open_reader(std::string path, bool verify, const detail::IndexLimits& limits);

    // Held on the heap: the hash table's functors point back at it, so it must never move.
    struct Impl;
    explicit StoreReader(std::unique_ptr<Impl> impl) noexcept;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarnkv
