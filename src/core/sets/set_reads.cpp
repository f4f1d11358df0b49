#include "core/sets/set_reads.hpp"

#include <algorithm>

#include "core/sets/routing.hpp"

namespace tarnkv::sets {

ShardBatch::ShardBatch(std::uint32_t shards, std::size_t size)
    : shards_(shards), where_(size, kNoShard), start_(std::size_t{shards} + 1, 0) {}

void ShardBatch::route(std::size_t i, std::string_view key) noexcept {
    where_[i] = shard_of(key, shards_);
    ++start_[where_[i] + 1];
}

void ShardBatch::group() {
    // A counting sort: the counts become each shard's start, then every place goes to its slot.
    for (std::uint32_t j = 0; j < shards_; ++j) start_[j + 1] += start_[j];
    positions_.resize(start_[shards_]);
    std::vector<std::size_t> fill(start_.begin(), start_.end() - 1);
    for (std::size_t i = 0; i < where_.size(); ++i)
        if (where_[i] != kNoShard) positions_[fill[where_[i]]++] = i;
}

bool MergedWalk::after(std::uint32_t a, std::uint32_t b) const noexcept {
    const Shard& pa = parts_[a];
    const Shard& pb = parts_[b];
    if (pa.key != pb.key) return std::string_view(pb.key) < std::string_view(pa.key);
    return pa.shard > pb.shard;
}

void MergedWalk::add(std::uint32_t shard, const StoreReader& reader, std::size_t first, std::size_t last) {
    if (first >= last) return;
    const EntryCursor at = reader.cursor(first);
    parts_.push_back({shard, at, ReadAhead(at, read_ahead_, last), last, std::string(at.key())});
    heap_.push_back(static_cast<std::uint32_t>(parts_.size() - 1));
    std::push_heap(heap_.begin(), heap_.end(), [this](auto a, auto b) { return after(a, b); });
}

std::optional<std::uint32_t> MergedWalk::next_shard() const noexcept {
    if (left_ == 0 || heap_.empty()) return std::nullopt;
    return parts_[heap_.front()].shard;
}

EntryCursor MergedWalk::take() {
    const auto order = [this](auto a, auto b) { return after(a, b); };
    const std::uint32_t c = heap_.front();
    std::pop_heap(heap_.begin(), heap_.end(), order);
    Shard& part = parts_[c];
    const EntryCursor taken = part.at;
    if (read_ahead_) part.ahead.step();
    part.at.next();
    if (part.at.index() < part.end) {
        part.key.assign(part.at.key());
        std::push_heap(heap_.begin(), heap_.end(), order);
    } else {
        heap_.pop_back();
    }
    --left_;
    return taken;
}

std::size_t MergedWalk::remaining() const noexcept {
    std::size_t left = 0;
    for (const std::uint32_t c : heap_) left += parts_[c].end - parts_[c].at.index();
    return std::min(left, left_);
}

std::optional<std::size_t> first_misrouted(const StoreReader& reader, std::uint32_t shard,
                                           std::uint32_t shards) noexcept {
    const std::size_t n = reader.entry_count();
    for (EntryCursor c = reader.cursor(0); c.index() < n; c.next())
        if (shard_of(c.key(), shards) != shard) return c.index();
    return std::nullopt;
}

}  // namespace tarnkv::sets
