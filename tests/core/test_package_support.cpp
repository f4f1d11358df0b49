// What the package's own binding needs from the core: batched lookups, checked reads, prefix
// ranges, progress and cancellation of builds and verification, key lookups in a builder and
// builds that leave out objects no key names.
#include <algorithm>
#include <random>
#include <ranges>
#include <vector>

#include "core/reader/reader_impl.hpp"
#include "test_util.hpp"

namespace tarnkv::testing {
namespace {

// --- Batched lookups ----------------------------------------------------------------------------

struct BatchCase {
    const char* name;
    detail::IndexLimits limits;
    std::size_t keys;
};

class BatchLookup : public ::testing::TestWithParam<BatchCase> {};

// Every answer of get_many is the answer of a lookup one by one, in every index layout, for
// hits, misses, keys that differ in one byte, the empty key and batches of every length.
TEST_P(BatchLookup, AnswersAsSingleLookupsDo) {
    ScratchDir dir;
    StoreBuilder b;
    std::mt19937 rng(7);
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < GetParam().keys; ++i) {
        std::string k = "k" + std::to_string(rng() % 100000) + std::string(i % 23, 'x');
        if (i == 0) k.clear();
        ASSERT_TRUE(b.add_object("object " + std::to_string(i)));
        ASSERT_TRUE(b.add_key(k, static_cast<std::uint32_t>(i)));
        keys.push_back(k);
    }
    auto opened = detail::open_reader(dir.write("s.trnk", b.image()), false, GetParam().limits);
    ASSERT_TRUE(opened) << opened.error().display();
    const StoreReader& r = *opened;

    std::vector<std::string> probes;
    for (const auto& k : keys) {
        probes.push_back(k);
        probes.push_back(k + "?");
        if (!k.empty()) probes.push_back(k.substr(0, k.size() - 1) + char(k.back() ^ 1));
    }
    std::ranges::shuffle(probes, rng);
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{31}, std::size_t{32}, std::size_t{33},
                          probes.size()}) {
        if (n > probes.size()) continue;
        SCOPED_TRACE(n);
        std::vector<std::string_view> batch(probes.begin(), probes.begin() + static_cast<std::ptrdiff_t>(n));
        std::vector<std::optional<std::string_view>> out(n, std::string_view("stale"));
        ASSERT_TRUE(r.get_many(batch, out, true));
        for (std::size_t i = 0; i < n; ++i) {
            auto one = r.get_raw(batch[i]);
            ASSERT_TRUE(one);
            ASSERT_EQ(out[i], *one) << batch[i];
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, BatchLookup,
                         ::testing::Values(BatchCase{"Narrow", {}, 3000}, BatchCase{"Wide", {.narrow = 8}, 3000},
                                           BatchCase{"Empty", {}, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// A record with one flipped byte: plain reads return it, checked reads and batches report its
// offset, and the batch names the position of the key that failed.
TEST(CheckedReads, FlippedObjectByteIsCaught) {
    ScratchDir dir;
    std::string image = built({"first", "second"}, {{"a", 0}, {"b", 1}});
    image[format::kHeaderSize + format::kRecordHeaderSize + 2] ^= 0x20;
    StoreReader r = open_ok(dir, sealed(image));
    const std::uint64_t at = *r.lookup("a");
    EXPECT_EQ(r.object_at(at).value(), "fiRst");
    EXPECT_EQ(error_text(r.checked_object_at(at)), "TarnCorruptError: object CRC32 mismatch at offset 40");
    EXPECT_EQ(r.checked_object_at(*r.lookup("b")).value(), "second");
    EXPECT_EQ(error_text(r.checked_object_at(1000)), "TarnCorruptError: offset 1000 out of bounds");

    const std::string_view keys[] = {"b", "zz", "a"};
    std::optional<std::string_view> out[3];
    auto st = r.get_many(keys, out, true);
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().index, 2u);
    EXPECT_EQ(st.error().error.display(), "TarnCorruptError: object CRC32 mismatch at offset 40");
    EXPECT_TRUE(r.get_many(keys, out, false));
}

// The short-record CRC agrees with the general one for every length, wherever the bytes end
// and whatever lies before them, and with or without room before them.
TEST(CheckedReads, ShortRecordCrcAgreesWithTheGeneralOne) {
    std::mt19937_64 rng(7);
    std::string buf(64 + 200, '\0');
    for (char& c : buf) c = static_cast<char>(rng());
    const auto* base = reinterpret_cast<const unsigned char*>(buf.data());
    for (std::size_t n = 0; n <= 100; ++n)
        for (std::size_t end = 64 + n % 7; end <= buf.size() && end < 64 + 100; end += 13) {
            const std::uint32_t want = format::crc32(base + end - n, n);
            ASSERT_EQ(format::crc32_ending_at(base + end, n, true), want) << n << " " << end;
            ASSERT_EQ(format::crc32_ending_at(base + end, n, false), want) << n << " " << end;
        }
    // All zero and all one bytes, where a wrong starting value or mask shows at once.
    for (char fill : {'\0', '\xff'}) {
        const std::string same(128, fill);
        const auto* p = reinterpret_cast<const unsigned char*>(same.data());
        for (std::size_t n = 16; n <= 64; ++n) ASSERT_EQ(format::crc32_ending_at(p + 128, n, true), format::crc32(p + 128 - n, n)) << n;
    }
}

// Records of the short sizes, first in the file (the least room before them) and later, read
// back intact; every single flipped bit of their bytes is caught by a checked read and verify.
TEST(CheckedReads, EveryFlippedBitOfAShortRecordIsCaught) {
    ScratchDir dir;
    for (std::size_t n : {16u, 17u, 45u, 63u, 64u, 65u}) {
        std::string object(n, '\0');
        for (std::size_t i = 0; i < n; ++i) object[i] = static_cast<char>('a' + i % 26);
        const std::string image = built({object, object + "!"}, {{"a", 0}, {"b", 1}});
        {
            StoreReader r = open_ok(dir, image);
            EXPECT_EQ(r.checked_object_at(*r.lookup("a")).value(), object);
            EXPECT_EQ(r.checked_object_at(*r.lookup("b")).value(), object + "!");
        }
        for (std::size_t bit = 0; bit < n * 8; bit += (n > 20 ? 13 : 1)) {
            std::string damaged = image;
            damaged[format::kHeaderSize + format::kRecordHeaderSize + bit / 8] ^= static_cast<char>(1 << (bit % 8));
            StoreReader r = open_ok(dir, sealed(damaged));
            ASSERT_EQ(error_text(r.checked_object_at(40)), "TarnCorruptError: object CRC32 mismatch at offset 40")
                << n << " " << bit;
            ASSERT_FALSE(r.verify()) << n << " " << bit;
        }
    }
}

TEST(PrefixRange, IsTheRunOfPrefixRaw) {
    ScratchDir dir;
    StoreReader r = open_ok(dir, built({"x"}, {{"a", 0}, {"ab", 0}, {"abc", 0}, {"abd", 0}, {"ac", 0}, {"b", 0}}));
    for (std::string_view p : {"", "a", "ab", "abc", "abcd", "b", "c", "\xff"}) {
        SCOPED_TRACE(p);
        const auto [first, last] = r.prefix_range(p);
        const auto items = r.prefix_raw(p).value();
        ASSERT_EQ(last - first, items.size());
        for (std::size_t i = first; i < last; ++i) EXPECT_EQ(r.key_at(i), items[i - first].key);
    }
}

// --- Progress -----------------------------------------------------------------------------

// A store of a little over three progress steps, so that builds and checks report on the way.
StoreBuilder& large_builder() {
    static StoreBuilder b;
    if (b.num_objects() == 0) {
        const std::string chunk(1 << 20, 'z');
        for (std::uint32_t i = 0; i < 100; ++i) {
            EXPECT_TRUE(b.add_object(chunk));
            EXPECT_TRUE(b.add_key("k" + std::to_string(i), i));
        }
    }
    return b;
}

TEST(Progress, BuildReportsStepsAndStopsWithoutPublishing) {
    ScratchDir dir;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
    auto info = large_builder().build(dir.at("s.trnk"), [&](std::uint64_t done, std::uint64_t total) {
        calls.emplace_back(done, total);
        return true;
    });
    ASSERT_TRUE(info);
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls.back(), std::pair(info->file_size, info->file_size));
    EXPECT_TRUE(std::ranges::is_sorted(calls));

    int seen = 0;
    auto stopped = large_builder().build(dir.at("t.trnk"), [&](std::uint64_t, std::uint64_t) { return ++seen < 2; });
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error().display(), "TarnError: cancelled");
    EXPECT_FALSE(std::filesystem::exists(dir.at("t.trnk")));
    EXPECT_FALSE(std::filesystem::exists(dir.at("t.trnk.tmp")));
}

TEST(Progress, VerifyReportsStepsAndStops) {
    ScratchDir dir;
    ASSERT_TRUE(large_builder().build(dir.at("s.trnk")));
    auto r = StoreReader::open(dir.at("s.trnk"), false);
    ASSERT_TRUE(r);
    std::vector<std::uint64_t> done;
    std::uint64_t total = 0;
    ASSERT_TRUE(r->verify([&](std::uint64_t d, std::uint64_t t) {
        done.push_back(d);
        total = t;
        return true;
    }));
    ASSERT_GE(done.size(), 4u);
    EXPECT_TRUE(std::ranges::is_sorted(done));
    EXPECT_EQ(done.back(), total);
    auto stopped = r->verify([](std::uint64_t, std::uint64_t) { return false; });
    EXPECT_EQ(error_text(stopped.transform([] { return 0; })), "TarnError: cancelled");
}

// --- Builder lookups and compaction ----------------------------------------------------------

TEST(BuilderLookup, FindKeyAndUnreferencedObjects) {
    ScratchDir dir;
    StoreBuilder b;
    for (std::string_view o : {"orphan", "kept", "repointed", "also kept"}) ASSERT_TRUE(b.add_object(o));
    ASSERT_TRUE(b.add_key("k", 2));
    ASSERT_TRUE(b.add_key("k", 1));  // object 2 is no longer named
    ASSERT_TRUE(b.add_key("j", 3));
    EXPECT_EQ(b.find_key("k"), 1u);
    EXPECT_EQ(b.find_key("nope"), std::nullopt);
    EXPECT_EQ(b.count_unreferenced(), 2u);

    auto compact = b.without_unreferenced();
    ASSERT_TRUE(compact);
    EXPECT_EQ((*compact)->num_objects(), 2u);
    EXPECT_EQ((*compact)->count_unreferenced(), 0u);
    StoreReader r = open_ok(dir, (*compact)->image());
    EXPECT_EQ(r.get_raw("k").value(), "kept");
    EXPECT_EQ(r.get_raw("j").value(), "also kept");
    EXPECT_TRUE(r.verify());
    EXPECT_EQ(b.num_objects(), 4u);  // the original is unchanged
}

}  // namespace
}  // namespace tarnkv::testing
