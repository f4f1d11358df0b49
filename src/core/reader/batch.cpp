// Batched lookups. One lookup pays its memory misses one after another: the hash table's
// bucket, then the key's entry in the index together with the object's record. A batch works
// in blocks and takes each step for the whole block before the next, prefetching what the next
// step reads, so that the misses of different keys overlap instead of adding up:
//
//   1. hash every key and prefetch its home bucket;
//   2. find each key's candidate slot by its tag (no key is read yet); prefetch the candidate's
//      entry and its object's record;
//   3. compare each key with its candidate's entry (a key whose candidate is not it, or that
//      has none in a bucket others overflowed from, takes the ordinary lookup instead);
//   4. read and check the objects.
#include "core/reader/reader_impl.hpp"
#include "core/reader/store_reader.hpp"

namespace tarnkv {

template <class Word>
void StoreReader::Impl::lookup_block(const detail::KeyTable<Word>& table, const std::string_view* keys,
                                     std::size_t n, std::optional<std::uint64_t>* offsets) const {
    using Table = detail::KeyTable<Word>;
    const Impl& r = *this;
    std::uint64_t hashes[batch_block];
    const typename Table::Bucket* buckets[batch_block];
    // The candidate's slot; kNone: absent for sure; kAsk: needs the ordinary lookup.
    constexpr unsigned kNone = Table::kSlots, kAsk = Table::kSlots + 1;
    unsigned slots[batch_block];
    for (std::size_t j = 0; j < n; ++j) {
        hashes[j] = r.hash(keys[j]);
        buckets[j] = &table.home(hashes[j]);
        __builtin_prefetch(buckets[j]);
    }
    for (std::size_t j = 0; j < n; ++j) {
        const auto& b = *buckets[j];
        const std::uint64_t m = Table::candidates(b, hashes[j]);
        if (!m) {
            slots[j] = Table::overflowed(b, hashes[j]) ? kAsk : kNone;
            continue;
        }
        slots[j] = Table::slot_of(m);
        const std::uint64_t at = r.index_offset + b.entry[slots[j]];
        if (at < r.file_size) __builtin_prefetch(r.base + at);
        r.prefetch_record(b.offset[slots[j]]);
    }
    for (std::size_t j = 0; j < n; ++j) {
        const auto& b = *buckets[j];
        if (slots[j] == kNone) {
            offsets[j].reset();
        } else if (slots[j] != kAsk && r.holds(b.entry[slots[j]], keys[j])) {
            offsets[j] = r.slot_offset<Word>({b.entry[slots[j]], b.offset[slots[j]]});
        } else {
            offsets[j] = r.find(table, keys[j], true);
        }
    }
}

std::expected<void, StoreReader::BatchError> StoreReader::get_many(std::span<const std::string_view> keys,
                                                                   std::span<std::optional<std::string_view>> out,
                                                                   bool check) const {
    const Impl& r = *impl_;
    constexpr std::size_t kBlock = Impl::batch_block;
    std::optional<std::uint64_t> offsets[kBlock];
    for (std::size_t start = 0; start < keys.size(); start += kBlock) {
        const std::size_t n = std::min(kBlock, keys.size() - start);
        if (r.entries == 0) {
            for (std::size_t j = 0; j < n; ++j) offsets[j].reset();
        } else if (r.wide) {
            r.lookup_block(r.wide_table, keys.data() + start, n, offsets);
        } else {
            r.lookup_block(r.narrow_table, keys.data() + start, n, offsets);
        }
        for (std::size_t j = 0; j < n; ++j) {
            std::optional<std::string_view>& slot = out[start + j];
            if (!offsets[j]) {
                slot.reset();
                continue;
            }
            auto object = check ? checked_object_at(*offsets[j]) : object_at(*offsets[j]);
            if (!object) return std::unexpected(BatchError{start + j, std::move(object.error())});
            slot = *object;
        }
    }
    return {};
}

}  // namespace tarnkv
