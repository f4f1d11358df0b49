// Batched lookups. One lookup pays its memory misses one after another: the hash table, the
// key's record, then the object in the mapping. A batch works in blocks and runs each step for
// the whole block before the next, so the misses of different keys overlap.
#include "core/reader/reader_impl.hpp"
#include "core/reader/store_reader.hpp"

namespace tarnkv {

std::expected<void, StoreReader::BatchError> StoreReader::get_many(std::span<const std::string_view> keys,
                                                                   std::span<std::optional<std::string_view>> out,
                                                                   bool check) const {
    constexpr std::size_t kBlock = 32;
    const Impl& r = *impl_;
    std::optional<std::uint64_t> offsets[kBlock];
    for (std::size_t start = 0; start < keys.size(); start += kBlock) {
        const std::size_t n = std::min(kBlock, keys.size() - start);
        for (std::size_t j = 0; j < n; ++j) offsets[j] = r.lookup(keys[start + j]);
        for (std::size_t j = 0; j < n; ++j)
            if (offsets[j] && *offsets[j] < r.file_size) __builtin_prefetch(r.base + *offsets[j]);
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
