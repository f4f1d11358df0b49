// Reading a set: the routing rule, batches grouped by shard, the merged walk over the shards'
// indexes and the check that every key sits in its shard.
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "core/sets/routing.hpp"
#include "core/sets/set_reads.hpp"
#include "test_util.hpp"

namespace tarnkv::testing {
namespace {

TEST(Routing, TheRuleIsFixedForever) {
    // Set files on disk were routed by these values: they must never change.
    EXPECT_EQ(sets::key_hash(""), 0x2D06800538D394C2u);
    for (const std::string_view key : {"", "a", "user:1", "\xff\x00 bytes"}) {
        for (const std::uint32_t shards : {1u, 2u, 7u, 1000u})
            EXPECT_EQ(sets::shard_of(key, shards), sets::key_hash(key) % shards) << key << " " << shards;
    }
    EXPECT_EQ(sets::shard_of("anything", 1), 0u);
}

TEST(ShardBatch, GroupsKeysByShardKeepingTheirOrderAndPlaces) {
    constexpr std::uint32_t kShards = 4;
    std::vector<std::string> keys;
    for (int i = 0; i < 40; ++i) keys.push_back("key" + std::to_string(i));
    sets::ShardBatch batch(kShards, keys.size() + 2);
    // Places 0 and 41 are not keys: in no group.
    for (std::size_t i = 0; i < keys.size(); ++i) batch.route(i + 1, keys[i]);
    batch.group([&](std::size_t i) { return std::string_view(keys[i - 1]); });
    EXPECT_EQ(batch.shard_at(0), sets::ShardBatch::kNoShard);
    EXPECT_EQ(batch.shard_at(41), sets::ShardBatch::kNoShard);
    ASSERT_EQ(batch.keys().size(), keys.size());
    EXPECT_EQ(batch.begin(0), 0u);
    EXPECT_EQ(batch.end(kShards - 1), keys.size());
    for (std::uint32_t j = 0; j < kShards; ++j) {
        if (j > 0) {
            EXPECT_EQ(batch.begin(j), batch.end(j - 1));
        }
        for (std::size_t k = batch.begin(j); k < batch.end(j); ++k) {
            const std::size_t place = batch.positions()[k];
            EXPECT_EQ(batch.keys()[k], keys[place - 1]);
            EXPECT_EQ(sets::shard_of(batch.keys()[k], kShards), j);
            EXPECT_EQ(batch.shard_at(place), j);
            if (k > batch.begin(j)) {
                EXPECT_LT(batch.positions()[k - 1], place);  // in the batch's order
            }
        }
    }
}

// Shard readers over hand-picked keys (each key's object is its own name).
struct Shards {
    ScratchDir dir;
    std::vector<StoreReader> readers;

    explicit Shards(const std::vector<std::vector<std::string>>& keys) {
        for (std::size_t j = 0; j < keys.size(); ++j) {
            StoreBuilder b;
            for (const auto& k : keys[j]) {
                const auto id = b.add_object(k);
                EXPECT_TRUE(id.has_value());
                EXPECT_TRUE(b.add_key(k, *id).has_value());
            }
            auto r = StoreReader::open(dir.write("s" + std::to_string(j) + ".trnk", b.image()), true);
            if (!r) throw std::runtime_error(r.error().display());
            readers.push_back(std::move(*r));
        }
    }
};

// Everything a walk yields: (key, shard, object).
std::vector<std::tuple<std::string, std::uint32_t, std::string>> drain(sets::MergedWalk& walk, const Shards& s) {
    std::vector<std::tuple<std::string, std::uint32_t, std::string>> out;
    while (const auto shard = walk.next_shard()) {
        const std::size_t before = walk.remaining();
        const EntryCursor at = walk.take();
        EXPECT_EQ(walk.remaining(), before - 1);
        out.emplace_back(std::string(at.key()), *shard, std::string(*s.readers[*shard].object_at(at.offset())));
    }
    EXPECT_EQ(walk.remaining(), 0u);
    return out;
}

using Walked = std::vector<std::tuple<std::string, std::uint32_t, std::string>>;

TEST(MergedWalk, YieldsEveryShardInGlobalKeyOrderTheLowerShardFirstOnATie) {
    const Shards s({{"a", "c", "e"}, {}, {"b", "c", "d", "f"}});
    for (const std::size_t ahead : {std::size_t{0}, std::size_t{16}}) {
        sets::MergedWalk walk(SIZE_MAX, ahead);
        for (std::uint32_t j = 0; j < 3; ++j) walk.add(j, s.readers[j], 0, s.readers[j].entry_count());
        EXPECT_EQ(walk.remaining(), 7u);
        EXPECT_EQ(drain(walk, s), (Walked{{"a", 0, "a"}, {"b", 2, "b"}, {"c", 0, "c"}, {"c", 2, "c"}, {"d", 2, "d"},
                                          {"e", 0, "e"}, {"f", 2, "f"}}));
    }
}

TEST(MergedWalk, TakesRangesAndStopsAtItsLimit) {
    const Shards s({{"p1", "p3", "q"}, {"a", "p2", "p4"}});
    sets::MergedWalk walk(3, 16);
    for (std::uint32_t j = 0; j < 2; ++j) {
        const auto [first, last] = s.readers[j].prefix_range("p");
        walk.add(j, s.readers[j], first, last);
    }
    walk.add(0, s.readers[0], 2, 2);  // an empty range adds nothing
    EXPECT_EQ(walk.remaining(), 3u);  // four matches, three allowed
    EXPECT_EQ(drain(walk, s), (Walked{{"p1", 0, "p1"}, {"p2", 1, "p2"}, {"p3", 0, "p3"}}));
    EXPECT_FALSE(walk.next_shard().has_value());
    sets::MergedWalk none(SIZE_MAX, 0);
    EXPECT_FALSE(none.next_shard().has_value());
}

TEST(Misrouted, FindsTheFirstKeyOutsideItsShard) {
    constexpr std::uint32_t kShards = 3;
    std::vector<std::string> home, stray;
    for (int i = 0; home.size() < 5 || stray.empty(); ++i) {
        const std::string k = "k" + std::to_string(i);
        (sets::shard_of(k, kShards) == 1 ? home : stray).push_back(k);
    }
    std::vector<std::string> mixed = home;
    mixed.push_back(stray[0]);
    const Shards s({home, mixed});
    EXPECT_EQ(sets::first_misrouted(s.readers[0], 1, kShards), std::nullopt);
    const auto bad = sets::first_misrouted(s.readers[1], 1, kShards);
    ASSERT_TRUE(bad.has_value());
    EXPECT_EQ(s.readers[1].key_at(*bad), stray[0]);
    EXPECT_TRUE(sets::first_misrouted(s.readers[0], 0, kShards).has_value());  // the same shard, misnumbered
}

}  // namespace
}  // namespace tarnkv::testing
