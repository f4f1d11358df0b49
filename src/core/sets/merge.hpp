// The streaming merges of sharded builds: a shard's sections of every run into one shard store,
// and whole stores into one store or a set of them. Both walk their sorted inputs once with a
// heap (k-way merge) and keep only the output index (and the offsets of objects that several
// keys share) in memory, besides, for runs, the keys chosen until their records are written and
// a small read buffer per section. Stores are merged writing each object record as the merge
// reaches it; runs, copying each section's record block after the keys are settled.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/format/error.hpp"
#include "core/sets/runs.hpp"
#include "core/writer/stream_builder.hpp"

namespace tarnkv::sets {

// Which of several records under one key a build keeps.
enum class Policy : int { Error, First, Last };

// The policy a build names "error", "first" or "last"; nullopt for any other name.
inline std::optional<Policy> policy_named(std::string_view name) noexcept {
    if (name == "error") return Policy::Error;
    if (name == "first") return Policy::First;
    if (name == "last") return Policy::Last;
    return std::nullopt;
}

struct RunMerge {
    std::optional<StreamInfo> info;       // the shard written, or
    std::optional<Duplicate> duplicate;   // under Policy::Error, the first key found twice
};

// Merges the sections of shard `shard` from `runs` (in partition order: "first" and "last"
// mean first and last in that order, then by record number) into a store written to `tmp` and
// published as `path`. On a duplicate under Policy::Error nothing is published. With a
// `compression` level the shard is a compressed store whose dictionary is trained on a sample
// of its own objects, taken from the runs before any is written.
Result<RunMerge> merge_runs(std::span<const std::string> runs, std::uint32_t shards, std::uint32_t shard,
                            Policy policy, const std::string& tmp, const std::string& path,
                            std::optional<int> compression = std::nullopt);

// One output of merge_stores: where it is written and published.
struct MergeTarget {
    std::string tmp;
    std::string path;
};

// Merges the store files `inputs` into one store, or into targets.size() shards routed by
// shard_of(). Under a key several inputs hold, the last input wins (within one input, its last
// entry, as its lookups see it). Each input's objects are checked against their CRC as they
// are copied. Keys that share an object in an input share it in each output. `groups` (empty,
// or one number per input) marks the shards of one set with one number: a set holds a copy of
// an object in every shard one of its keys routes to, and such copies (equal bytes within a
// group) become one object again in each output. `progress(done, total)` counts index
// entries; returning false stops the merge. Compressed inputs are read as their objects were
// put. With a `compression` level every output is a compressed store whose dictionary is
// trained on a sample of the objects routed to it (taken from the inputs' indexes before the
// merge writes); without one every output stores its objects as put.
Result<std::vector<StreamInfo>> merge_stores(std::span<const std::string> inputs,
                                             std::span<const MergeTarget> targets,
                                             std::span<const std::uint32_t> groups = {},
                                             const std::function<bool(std::uint64_t, std::uint64_t)>& progress = {},
                                             std::optional<int> compression = std::nullopt);

}  // namespace tarnkv::sets
