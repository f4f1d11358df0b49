// Batched lookups. One lookup pays its memory misses one after another: the hash table's slot,
// the key's record in the arena, then the object in the mapping. A batch works in blocks and
// takes each step for the whole block before the next, prefetching what the next step reads,
// so that the misses of different keys overlap instead of adding up:
//
//   1. hash every key, and find each one's candidate slot by hash alone (the table's control
//      bytes, which stay in cache; no key is read yet); prefetch the slots;
//   2. read each slot's record position; prefetch the records;
//   3. compare each key with its record's key (a candidate whose hash bits matched by chance
//      takes the ordinary lookup instead) and prefetch the object's record;
//   4. read and check the objects.
#include "core/reader/reader_impl.hpp"
#include "core/reader/store_reader.hpp"

namespace tarnkv {

template <class Pos>
void StoreReader::Impl::lookup_block(const KeySet<Pos>& set, const std::string_view* keys, std::size_t n,
                                     std::optional<std::uint64_t>* offsets) const {
    const Impl& r = *this;
    const Pos* slots[batch_block];
    Pos records[batch_block];
    for (std::size_t j = 0; j < n; ++j) {
        const auto it = set.find(HashProbe{r.hash(keys[j])});
        slots[j] = it == set.end() ? nullptr : &*it;
        if (slots[j]) __builtin_prefetch(slots[j]);
    }
    for (std::size_t j = 0; j < n; ++j) {
        if (!slots[j]) continue;
        records[j] = *slots[j];
        __builtin_prefetch(r.arena.get() + records[j]);
    }
    for (std::size_t j = 0; j < n; ++j) {
        if (!slots[j]) {  // no slot has the key's hash bits: absent
            offsets[j].reset();
            continue;
        }
        const std::string_view key = r.record_key(records[j]);
        if (key.size() == keys[j].size() && detail::same_key_bytes(key.data(), keys[j].data(), key.size()))
            offsets[j] = r.record_offset(records[j]);
        else
            offsets[j] = r.lookup_in(set, keys[j]);
        if (offsets[j] && *offsets[j] < r.file_size) __builtin_prefetch(r.base + *offsets[j]);
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
        } else if (r.wide_positions) {
            r.lookup_block(r.wide_set, keys.data() + start, n, offsets);
        } else {
            r.lookup_block(r.narrow_set, keys.data() + start, n, offsets);
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
