// Reading a set: the work a set reader does over its shards' StoreReaders that is the same
// whoever calls it. A batch of keys is grouped by shard, so that each shard looks its keys up in
// one pass; a walk over every shard in global key order merges the shards' index walks (a
// k-way merge); and a shard's keys can be checked against the routing rule.
//
// None of these owns the readers or keeps them alive: the caller makes sure that a reader
// outlives every use of it (for a walk, each take() from its shard).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/reader/store_reader.hpp"

namespace tarnkv::sets {

// A batch of keys grouped by the shard each routes to. The keys of one shard keep their order
// in the batch; positions() says where each came from, so answers go back in the keys' order.
// Grouping costs a few bytes a key, its keys gathered by shard a few more.
class ShardBatch {
public:
    static constexpr std::uint32_t kNoShard = 0xFFFF'FFFF;

    // A batch of `size` places, none of them routed yet, for a set of `shards`.
    ShardBatch(std::uint32_t shards, std::size_t size);

    // Routes place `i` by its key. A place never routed (something that is not a key) is in
    // no group.
    void route(std::size_t i, std::string_view key) noexcept;
    // Groups the routed places by shard; call once, after the last route().
    void group();
    // group() that also gathers the keys, shard by shard, for keys(): `key_at(i)` is the key of
    // place i, and must stay valid as long as keys() is read.
    template <class KeyAt>
    void group(KeyAt&& key_at) {
        group();
        keys_.resize(positions_.size());
        for (std::size_t k = 0; k < positions_.size(); ++k) keys_[k] = key_at(positions_[k]);
    }

    // The places routed, shard by shard: shard j's are [begin(j), end(j)), in the batch's order.
    std::span<const std::size_t> positions() const noexcept { return positions_; }
    // keys()[k]: the key of positions()[k], once group(key_at) gathered them.
    std::span<const std::string_view> keys() const noexcept { return keys_; }
    std::size_t begin(std::uint32_t shard) const noexcept { return start_[shard]; }
    std::size_t end(std::uint32_t shard) const noexcept { return start_[shard + 1]; }
    // The shard of place `i`, kNoShard when it was never routed.
    std::uint32_t shard_at(std::size_t i) const noexcept { return where_[i]; }

private:
    std::uint32_t shards_;
    std::vector<std::uint32_t> where_;
    std::vector<std::size_t> start_;
    std::vector<std::string_view> keys_;
    std::vector<std::size_t> positions_;
};

// A walk over the entries of several shards in global key order (among equal keys, the lower
// shard first), taking at most a given number of entries. Each shard's part is a range of its
// index: all of it, or a prefix's run. The walk copies the key of each shard's next entry, so
// ordering the shards never reads a mapping; take() reads the mapping of the shard it steps.
class MergedWalk {
public:
    // At most `limit` entries; `read_ahead` entries in front of each shard's position start
    // loading their records (0 for a walk that reads no objects).
    MergedWalk(std::size_t limit, std::size_t read_ahead) noexcept : left_(limit), read_ahead_(read_ahead) {}

    // Adds the entries [first, last) of shard `shard`, whose reader is `reader`.
    void add(std::uint32_t shard, const StoreReader& reader, std::size_t first, std::size_t last);

    // The shard whose entry comes next; nullopt once the walk is over.
    std::optional<std::uint32_t> next_shard() const noexcept;
    // Steps past the next entry (of next_shard(), whose reader must still be alive) and returns
    // a cursor at it, which reads that reader's mapping.
    EntryCursor take();
    // How many entries the walk has left.
    std::size_t remaining() const noexcept;

private:
    struct Shard {
        std::uint32_t shard;
        EntryCursor at;   // the shard's next entry
        ReadAhead ahead;  // starts loading the records of the entries a few steps on
        std::size_t end;
        std::string key;  // a copy of the next entry's key
    };
    // Whether shard part a comes after b: the heap's order, smallest first.
    bool after(std::uint32_t a, std::uint32_t b) const noexcept;

    std::vector<Shard> parts_;
    std::vector<std::uint32_t> heap_;  // parts_ by their next entry, a min-heap
    std::size_t left_;
    std::size_t read_ahead_;
};

// The first entry of `reader`, shard `shard` of a set of `shards`, whose key routes to another
// shard (a shard swapped with another or renamed); nullopt when every key is in its place.
std::optional<std::size_t> first_misrouted(const StoreReader& reader, std::uint32_t shard,
                                           std::uint32_t shards) noexcept;

}  // namespace tarnkv::sets
