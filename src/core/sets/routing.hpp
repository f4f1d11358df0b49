// Which shard of a set holds a key: the one rule that the build (runs, store merges), the set
// reader and the package's key_hash() all follow. A set's files are routed by it, so it never
// changes: XXH3-64 of the key's bytes with seed 0, modulo the shard count.
#pragma once

#include <cstdint>
#include <string_view>

// A routed lookup hashes one short key: inlined, the hash costs less than the call would.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace tarnkv::sets {

// The key's routing hash, stable across processes, machines and versions.
inline std::uint64_t key_hash(std::string_view key) noexcept {
    return XXH3_64bits_withSeed(key.data(), key.size(), 0);
}

// The shard `key` belongs to in a set of `shards` (at least 1).
inline std::uint32_t shard_of(std::string_view key, std::uint32_t shards) noexcept {
    return static_cast<std::uint32_t>(key_hash(key) % shards);
}

}  // namespace tarnkv::sets
