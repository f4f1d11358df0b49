// StoreBuilder collects objects and key -> object mappings in memory and publishes them as one
// store file (layout in core/format/layout.hpp; read back by core/reader/store_reader.hpp).
//
// Objects are kept as ready records (length, crc, bytes) appended to one buffer, which is the
// data section as it will be written. Keys live in one arena; a hash set of slot numbers
// (key_set.hpp) gives last-wins re-pointing. build() sorts slot numbers by a radix sort of the keys' leading bytes while it
// writes the data section, and writes the file through a temporary beside the target: write,
// fsync, rename, fsync of the directory.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <string_view>
#include <vector>

#include "core/format/compression.hpp"
#include "core/format/error.hpp"
#include "core/format/layout.hpp"
#include "core/format/progress.hpp"
#include "core/writer/growing_buffer.hpp"
#include "core/writer/key_set.hpp"

namespace tarnkv {

// What a successful build published.
struct BuildInfo {
    std::uint64_t num_objects;
    std::uint64_t num_keys;
    // The size of the file now at the target path (stat, following symbolic links), taken
    // after the rename; 0 when that fails. Another process may already have replaced the file,
    // so this is what is there, not necessarily what was written.
    std::uint64_t file_size;
};

class StoreBuilder {
public:
    StoreBuilder();
    ~StoreBuilder();
    StoreBuilder(const StoreBuilder&) = delete;
    StoreBuilder& operator=(const StoreBuilder&) = delete;

    // Appends a copy of `bytes` as the next object and returns its ID (0, 1, 2, ...).
    // Fails (builder unchanged) only when the object or the object count cannot be stored.
    Result<std::uint32_t> add_object(std::string_view bytes);

    // Maps `key` to `obj_id`; the last mapping of a key wins. Fails with the general kind when
    // obj_id is not below the object count, the key is longer than 65535 bytes, or the key
    // count is exhausted; the builder is then unchanged.
    Status add_key(std::string_view key, std::uint64_t obj_id);

    // --- Compression (writer/compressing.cpp; format in core/format/compression.hpp) ---

    // Makes the store a compressed one: objects are compressed with zstd at `level` with a
    // dictionary that is the first record of the data section. Only before the first object,
    // and only with objects in key order: they are kept as given, and each build trains a
    // dictionary on a sample (SampleReservoir) of the objects it stores, taken in ID order,
    // and compresses them as they go out. What a build writes then depends only on what it
    // stores, as with a SpillingBuilder, whatever was added and dropped before.
    Status compress(int level);
    bool compressed() const noexcept { return level_.has_value(); }
    std::optional<int> compression_level() const noexcept { return level_; }

    // Lays objects out in the order of their first key (the smallest key, unsigned bytewise,
    // that names them), so that a walk or a prefix scan reads the file front to back, and
    // leaves out the objects no key names. Off (the default): objects in the order they were
    // added, every one kept. Object IDs mean the same either way; only the file changes.
    // Only before the first object; a compressed builder stays in key order.
    void order_objects_by_key(bool on) noexcept { by_key_order_ = on || compressed(); }
    bool objects_by_key() const noexcept { return by_key_order_; }

    std::size_t num_objects() const noexcept { return record_offsets_.size(); }
    std::size_t num_keys() const noexcept { return slots_.size(); }

    // Writes the store file at `path` (UTF-8): temporary file, write, fsync, rename, fsync of
    // the directory. The temporary is locked from before it is truncated until after the
    // rename, so a concurrent build of the same target (or of one sharing its temporary path)
    // fails at once with "open tmp: another build is writing <temporary path>" and leaves this
    // one alone. Reads the builder without changing it, and prints nothing: the caller decides
    // how to report what was built. `progress` hears of the bytes written, the last time once
    // they are all synced and before the rename; when it says stop, nothing is published.
    // Whatever stops a build once its temporary file exists (a failed write or sync, a stop,
    // an exception) removes that file, and only that file: it is unlinked while still locked.
    // Only a failed rename leaves it, complete, at the temporary path.
    Result<BuildInfo> build(std::string_view path, const Progress& progress = {}) const;

    // The image of the file build() would write (header, data, index), for tests and tools.
    std::string image() const;
    // Just its index section: entries in key order, each with its object's record offset.
    std::string index_section() const;

    // Where each object goes in the file: what build() and image() write.
    struct Layout {
        // Object IDs in file order; empty when objects go in ID order, every one of them.
        std::unique_ptr<std::uint32_t[]> placed;
        std::size_t num_placed = 0;
        // Per object ID, its record's file offset once placed (0: left out); empty in ID order.
        std::unique_ptr<std::uint64_t[]> offsets;
        std::uint64_t data_size = 0;  // of the data section
    };

    // About the memory the builder holds, with what a build of it adds (the sorted index):
    // what a writer under a memory limit weighs against it.
    std::uint64_t footprint() const noexcept {
        return data_.size() + 2 * keys_.size() + record_offsets_.size() * (by_key_order_ ? 20 : 8) +
               slots_.size() * (sizeof(Slot) + 2 * sizeof(std::uint64_t) + format::kEntryOverhead + 24);
    }
    // Each object's bytes in ID order, then each key with its object's ID in the order the keys
    // first came; a callback's failure ends the walk with it.
    template <class OnObject, class OnKey>
    Status visit(OnObject&& on_object, OnKey&& on_key) const {
        for (std::size_t i = 0; i < record_offsets_.size(); ++i) {
            const std::uint64_t at = record_offsets_[i] - format::kHeaderSize + format::kRecordHeaderSize;
            const std::uint64_t end = i + 1 < record_offsets_.size() ? record_offsets_[i + 1] - format::kHeaderSize
                                                                     : data_.size();
            if (auto st = on_object(data_.view().substr(at, end - at)); !st) return st;
        }
        for (const Slot& s : slots_)
            if (auto st = on_key(key_of(s), s.obj_id); !st) return st;
        return {};
    }

    // --- Key lookups and compaction (writer/compaction.cpp) ---

    // The ID of the object `key` maps to, when it is mapped.
    std::optional<std::uint32_t> find_key(std::string_view key) const noexcept;
    // A hint that `key` will be looked up or added soon: starts loading where it would be. A
    // caller with many keys to add gives it a few keys ahead, so that their misses overlap.
    void prefetch_key(std::string_view key) const noexcept { by_key_.prefetch(key_hash(key)); }
    // How many objects no key maps to.
    std::size_t count_unreferenced() const;
    // A builder with the same keys and only the objects some key maps to, renumbered in their
    // order, so that its file leaves out what no key can reach.
    Result<std::unique_ptr<StoreBuilder>> without_unreferenced() const;

private:
    struct Slot {
        std::uint64_t key_pos;  // into keys_
        std::uint32_t key_len;
        std::uint32_t obj_id;
    };
    detail::KeySet::Hash key_hash(std::string_view key) const noexcept;
    std::optional<std::uint32_t> find_slot(std::string_view key, detail::KeySet::Hash h) const noexcept {
        return by_key_.find(h, [&](std::uint32_t slot) { return key_of(slots_[slot]) == key; });
    }
    // Slot numbers in the order of their keys.
    std::unique_ptr<std::uint32_t[]> sorted_slots() const;
    // Sorts out[0, n) (slot numbers) by key, ranking each by R's bytes of its key after the
    // first `common`, which every key shares.
    template <class R>
    void sort_slots(std::uint32_t* out, std::size_t common) const;
    // The layout for slots in key order `order` (which only the key-ordered layout needs).
    Layout layout(const std::uint32_t* order) const;
    // Writes the index section to out[0, index_size()): the entries in `order`, each with its
    // object's record offset as `lay` places it.
    void write_entries(char* out, const std::uint32_t* order, const Layout& lay) const;
    std::string entries(const std::uint32_t* order, const Layout& lay) const;
    // The bytes of object `id` as its record holds them.
    std::string_view object_of(std::uint32_t id) const noexcept {
        const std::uint64_t at = record_offsets_[id] - format::kHeaderSize + format::kRecordHeaderSize;
        const std::uint64_t end =
            id + 1 < record_offsets_.size() ? record_offsets_[id + 1] - format::kHeaderSize : data_.size();
        return data_.view().substr(at, end - at);
    }
    std::uint64_t record_offset(const Layout& lay, std::uint32_t id) const noexcept {
        return lay.offsets ? lay.offsets[id] : record_offsets_[id];
    }
    // Hands the data section as `lay` places it to sink(std::string_view) -> bool, in pieces,
    // until the sink says stop (false): returns false then.
    template <class Sink>
    bool emit_data(const Layout& lay, Sink&& sink) const;
    // The dictionary a compressed build in key order trains: on a sample of the objects it
    // stores (those a key names), offered in ID order. It needs no layout, so a build trains
    // it while the keys are sorted.
    std::string build_dictionary() const;
    // The same as emit_data for a compressed builder in key order: the record of `dictionary`,
    // then each placed object compressed with it on its way out. Sets lay.offsets and
    // lay.data_size to where the records went. Fails with what compressing failed with, or the
    // sink's failure (sink(std::string_view) -> Status).
    template <class Sink>
    Status emit_compressed(Layout& lay, std::string_view dictionary, Sink&& sink) const;
    std::string_view key_of(const Slot& s) const noexcept { return keys_.view().substr(s.key_pos, s.key_len); }
    // The header for the current contents with the given file CRC.
    std::array<unsigned char, format::kHeaderSize> header_with(std::uint32_t file_crc, const Layout& lay) const;
    std::uint64_t index_size() const noexcept { return keys_.size() + slots_.size() * format::kEntryOverhead; }

    detail::GrowingBuffer data_;                     // the data section, record after record
    detail::PodVector<std::uint64_t> record_offsets_;  // file offset of each object's record
    detail::GrowingBuffer keys_;                     // every distinct key, back to back
    detail::PodVector<Slot> slots_;                  // one per distinct key, in insertion order
    std::uint64_t seed_;
    detail::KeySet by_key_;  // slot numbers by key
    bool by_key_order_ = false;

    // Appends the record of stored bytes (no checks).
    void append_record(std::string_view stored);
    std::optional<int> level_;  // the zstd level of a compressed store; none: objects stored as given
};

namespace detail {
class SampleReservoir;
class SampleReservoirOfViews;
// A dictionary trained on the reservoir's sample, sized for `object_bytes` of objects (by
// default, all those offered to it).
std::string train_on(const SampleReservoir& sample, std::optional<std::uint64_t> object_bytes = std::nullopt);
std::string train_on(const SampleReservoirOfViews& sample, std::optional<std::uint64_t> object_bytes = std::nullopt);
// Appends to `out` the record of `object` compressed by `encoder`: the record header and the
// stored form. Fails when the stored form is over the object size limit; `out` may then hold
// part of the record.
Status append_compressed_record(format::ObjectEncoder& encoder, std::string_view object, std::string& out,
                                std::string& scratch);
}  // namespace detail

// The temporary file beside `path` that a build writes before renaming it over `path`: the
// final component's extension is replaced by "trnk.tmp" (out/db.bin -> out/db.trnk.tmp).
std::string temporary_path(std::string_view path);

}  // namespace tarnkv
