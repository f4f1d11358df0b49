// The in-memory index in each of its layouts: four-byte and eight-byte words for entry positions
// and object offsets. Real files reach the wide form only beyond 4 GiB, so the tests open with
// a lower narrow limit instead. Keys of every short length, and near misses differing in one byte,
// exercise the word-wise key comparison.
#include <algorithm>
#include <format>
#include <fstream>
#include <random>

#include <fcntl.h>
#include <unistd.h>

#include "core/reader/reader_impl.hpp"
#include "test_util.hpp"

namespace tarnkv::testing {
namespace {

struct Widths {
    const char* name;
    detail::IndexLimits limits;
};

constexpr std::uint64_t kNarrow = 0xFFFF'FFFF;

class IndexLayout : public ::testing::TestWithParam<Widths> {
protected:
    // Opens an image written to `dir` with this test's widths, expecting success.
    StoreReader open(const ScratchDir& dir, std::string_view image, bool verify = true) const {
        auto r = detail::open_reader(dir.write("store.trnk", image), verify, GetParam().limits);
        if (!r) throw std::runtime_error("open failed: " + r.error().display());
        return std::move(*r);
    }
};

// Key i has length i (0 to 40) and bytes that differ from every other key's.
std::string key_of_length(std::size_t len) {
    std::string k(len, '\0');
    for (std::size_t j = 0; j < len; ++j) k[j] = static_cast<char>('A' + (len * 7 + j * 13) % 61);
    return k;
}

TEST_P(IndexLayout, EveryKeyLengthLooksUpAndListsItsOwnObject) {
    ScratchDir dir;
    StoreBuilder b;
    std::vector<std::string> keys;
    for (std::size_t len = 0; len <= 40; ++len) {
        keys.push_back(key_of_length(len));
        ASSERT_TRUE(b.add_object("object " + std::to_string(len)));
        ASSERT_TRUE(b.add_key(keys.back(), static_cast<std::uint32_t>(len)));
    }
    std::ranges::sort(keys);
    StoreReader r = open(dir, b.image(), false);
    ASSERT_EQ(r.entry_count(), keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const std::string& k = keys[i];
        SCOPED_TRACE(k.size());
        EXPECT_EQ(r.key_at(i), k);
        EXPECT_EQ(r.lookup(k), r.offset_at(i));
        EXPECT_EQ(r.get_raw(k).value(), "object " + std::to_string(k.size()));
        // The same length with one byte changed, anywhere: a miss, not a false hit.
        for (std::size_t at = 0; at < k.size(); ++at) {
            std::string near = k;
            near[at] ^= 0x20;
            EXPECT_FALSE(r.exists(near)) << "byte " << at;
        }
        EXPECT_FALSE(r.exists(k + "A"));
        // One byte shorter; the empty key is in the store, so not from a one-byte key.
        if (k.size() > 1) { EXPECT_FALSE(r.exists(std::string_view(k).substr(1))); }
    }
    const auto items = r.items_raw().value();
    ASSERT_EQ(items.size(), keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(items[i].key, keys[i]);
    EXPECT_EQ(r.prefix_raw(keys[1]).value().front().key, keys[1]);
}

TEST_P(IndexLayout, KeepsOffsetsInFullAndTheLastDuplicate) {
    ScratchDir dir;
    constexpr std::uint64_t big = (std::uint64_t{1} << 32) + 40;
    const std::string data = record("first") + record("second");  // at 40 and 53
    const std::string index = entry("", 53) + entry("a", big) + entry("dup", 40) + entry("dup", 53) + entry("z", 40);
    StoreReader r = open(dir, store(5, 40 + data.size(), data + index));
    const std::vector<std::uint64_t> offsets{53, big, 40, 53, 40};
    for (std::size_t i = 0; i < offsets.size(); ++i) EXPECT_EQ(r.offset_at(i), offsets[i]) << i;
    EXPECT_EQ(r.lookup("a"), big);
    EXPECT_EQ(r.lookup("dup"), 53u);
    EXPECT_EQ(r.get_raw("").value(), "second");
    EXPECT_EQ(error_text(r.items_raw()), "TarnCorruptError: offset 4294967336 out of bounds");
    EXPECT_EQ(r.prefix_raw("d").value().size(), 2u);
}

// Large enough for many buckets to overflow into the next and for the marks to be walked from:
// every key still finds the last of its entries, and every entry is found by its index.
TEST_P(IndexLayout, LargeIndexWithDuplicatesKeepsTheLastEntry) {
    ScratchDir dir;
    constexpr std::size_t distinct = 70000;
    const std::string data = record("only");
    std::string index;
    std::vector<std::pair<std::string, std::uint64_t>> entries;
    for (std::size_t i = 0; i < distinct; ++i) {
        const std::string key = std::format("k{:07}", i);
        // Every seventh key three times and every fifth twice, each time with another offset.
        const std::size_t copies = i % 7 == 0 ? 3 : i % 5 == 0 ? 2 : 1;
        for (std::size_t c = 0; c < copies; ++c) entries.emplace_back(key, 1000 * i + c);
    }
    for (const auto& [key, offset] : entries) index += entry(key, offset);
    StoreReader r = open(dir, store(static_cast<std::uint32_t>(entries.size()), 40 + data.size(), data + index), false);
    ASSERT_EQ(r.entry_count(), entries.size());
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        mismatches += r.key_at(i) != entries[i].first || r.offset_at(i) != entries[i].second;
        const bool last = i + 1 == entries.size() || entries[i + 1].first != entries[i].first;
        if (last) mismatches += r.lookup(entries[i].first) != entries[i].second;
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_FALSE(r.exists("k"));
    // The offsets are tags, not records: the scan starts at the first entry and fails on it
    // (offset 0 reads the magic as a length).
    EXPECT_EQ(error_text(r.prefix_raw("k000000")), "TarnCorruptError: object at 0 extends beyond file end");
    EXPECT_TRUE(r.prefix_raw("k1").value().empty());
}

INSTANTIATE_TEST_SUITE_P(Widths, IndexLayout,
                         ::testing::Values(Widths{"Narrow", {.narrow = kNarrow}}, Widths{"Wide", {.narrow = 0}}),
                         [](const auto& info) { return std::string(info.param.name); });

// Resident KiB of this process's mappings of `path`, from /proc/self/smaps.
std::size_t resident_kib(const std::string& path) {
    std::ifstream smaps("/proc/self/smaps");
    bool ours = false;
    std::size_t kib = 0;
    for (std::string line; std::getline(smaps, line);) {
        const std::string first = line.substr(0, line.find(' '));
        if (first.find('-') != std::string::npos && first.find(':') == std::string::npos)
            ours = line.ends_with(" " + path);  // a mapping's own line: "start-end perms ... path"
        else if (ours && line.starts_with("Rss:"))
            kib += std::stoul(line.substr(4));
    }
    return kib;
}

// Once the index is walked its pages of the mapping are given back, also when verification
// read the whole file; the keys and records stay readable.
TEST(IndexPages, LeaveResidentMemoryAfterOpen) {
    ScratchDir dir;
    constexpr std::size_t keys = 40000;
    std::string index;
    for (std::size_t i = 0; i < keys; ++i) index += entry(std::format("key:{:028}", i), 40);
    const std::string path = dir.write("big.trnk", store(keys, 40 + 9, record("v") + index));
    ASSERT_GT(index.size(), std::size_t{1} << 20);
    for (bool verify : {true, false}) {
        SCOPED_TRACE(verify);
        auto r = StoreReader::open(path, verify);
        ASSERT_TRUE(r);
        // At most the first page (header and record) and the partial last page.
        EXPECT_LE(resident_kib(path), 2 * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) / 1024);
        EXPECT_EQ(r->get_raw(std::format("key:{:028}", keys - 1)).value(), "v");
        EXPECT_EQ(r->items_raw().value().size(), keys);
        EXPECT_TRUE(r->verify().has_value());
    }
}

// Stores of sizes around the marks' stride: every entry is found from its mark and by a cursor,
// and prefix ranges (found among the marks, then within one run between two) are exactly the
// model's for prefixes of every key, between keys and beyond them.
class MarkedStore : public ::testing::TestWithParam<std::size_t> {};

TEST_P(MarkedStore, EntriesAndPrefixRangesAreTheModels) {
    ScratchDir dir;
    StoreBuilder b;
    ASSERT_TRUE(b.add_object("o"));
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < GetParam(); ++i) keys.push_back(std::format("k{:03}{}", i / 7, std::string(i % 7, 'z')));
    for (const auto& k : keys) ASSERT_TRUE(b.add_key(k, 0));
    std::ranges::sort(keys);
    StoreReader r = open_ok(dir, b.image(), false);
    ASSERT_EQ(r.entry_count(), keys.size());
    EntryCursor c = r.cursor(0);
    for (std::size_t i = 0; i < keys.size(); ++i, c.next()) {
        ASSERT_EQ(c.index(), i);
        ASSERT_EQ(c.key(), keys[i]);
        ASSERT_EQ(r.key_at(i), keys[i]);
        ASSERT_EQ(r.cursor(i).key(), keys[i]);
    }
    std::vector<std::string> prefixes = {"", "k", "k0", "j", "l", "\xff", "k000zzzzzzz"};
    for (const auto& k : keys)
        for (std::size_t n = 1; n <= k.size(); ++n) prefixes.push_back(k.substr(0, n));
    for (const auto& p : prefixes) {
        const std::size_t first = std::ranges::lower_bound(keys, p) - keys.begin();
        std::size_t last = first;
        while (last < keys.size() && keys[last].starts_with(p)) ++last;
        ASSERT_EQ(r.lower_bound(p), first) << p;
        ASSERT_EQ(r.prefix_range(p), std::pair(first, last)) << p;
        ASSERT_EQ(r.prefix_raw(p).value().size(), last - first) << p;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, MarkedStore, ::testing::Values(1, 15, 16, 17, 33, 1000));

// A file changed in place under a reader (never done by the builder, which renames a new file
// into place): an entry whose length now runs past the end of the file reads as an empty key
// naming no object, and nothing reads outside the mapping.
TEST(IndexPages, EntriesChangedUnderTheReaderNeverReadOutsideTheFile) {
    ScratchDir dir;
    const std::string image = built({"one", "two"}, {{"a", 0}, {"b", 1}, {"c", 0}});
    const std::string path = dir.write("s.trnk", image);
    auto r = StoreReader::open(path, false);
    ASSERT_TRUE(r);
    // Entry "c" is the last one: its key length becomes 0xFFFF.
    const auto at = static_cast<off_t>(image.size() - format::entry_size(1));
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "\xff\xff", 2, at), 2);
    ::close(fd);
    EXPECT_EQ(r->key_at(2), "");
    EXPECT_EQ(r->offset_at(2), kNoOffset);
    EXPECT_FALSE(r->exists("c"));
    EXPECT_EQ(r->get_raw("a").value(), "one");
    EXPECT_EQ(error_text(r->items_raw()), "TarnCorruptError: offset 18446744073709551615 out of bounds");
    EXPECT_EQ(r->prefix_raw("b").value().size(), 1u);
}

// A body large enough for the whole-file CRC to be taken in pieces by two threads: the pieces'
// CRCs join into the CRC of the whole, a byte changed in the last piece is caught, and the
// message carries the CRC the file really has.
TEST(BodyCrc, PiecesJoinIntoTheWholeFilesCrc) {
    ScratchDir dir;
    StoreBuilder b;
    std::string big(20u << 20, '\0');
    std::mt19937_64 rng(3);
    for (auto& ch : big) ch = static_cast<char>(rng());
    ASSERT_TRUE(b.add_object(big));
    ASSERT_TRUE(b.add_key("big", 0));
    std::string image = b.image();
    EXPECT_TRUE(open_ok(dir, image, true).verify());
    image[image.size() - 100] ^= 1;  // in the index, the last piece
    const std::string stored = format::crc_hex(format::load_be32(reinterpret_cast<const unsigned char*>(image.data()) + format::kFileCrcAt));
    const std::string computed = format::crc_hex(format::crc32(std::string_view(image).substr(format::kHeaderSize)));
    const std::string expect = "TarnCorruptError: file CRC32 mismatch  stored=" + stored + "  computed=" + computed;
    EXPECT_EQ(error_text(StoreReader::open(dir.write("bad.trnk", image), true)), expect);
    EXPECT_EQ(error_text(open_ok(dir, image, false).verify()), expect);
}

// Of several damaged objects, verify() reports the first in index order, wherever the others
// lie.
TEST(VerifyObjects, TheFirstDamagedObjectInIndexOrderIsReported) {
    ScratchDir dir;
    StoreBuilder b;
    constexpr std::size_t kObjects = 40'000;
    for (std::size_t i = 0; i < kObjects; ++i) {
        ASSERT_TRUE(b.add_object(std::string(512, static_cast<char>('a' + i % 26)) + std::to_string(i)));
        ASSERT_TRUE(b.add_key(std::format("k{:06}", i), static_cast<std::uint32_t>(i)));
    }
    const std::string clean = b.image();
    StoreReader r0 = open_ok(dir, clean, true);
    EXPECT_TRUE(r0.verify());
    const auto offset_of = [&](std::size_t i) { return *r0.lookup(std::format("k{:06}", i)); };
    const auto damaged = [&](std::initializer_list<std::size_t> which) {
        std::string image = clean;
        for (const std::size_t i : which) image[offset_of(i) + format::kRecordHeaderSize + 7] ^= 1;
        return sealed(image);
    };
    for (const auto& [which, first] : std::initializer_list<std::pair<std::initializer_list<std::size_t>, std::size_t>>{
             {{30'000, 300, 9'000}, 300}, {{20'000, 39'999}, 20'000}, {{kObjects - 1}, kObjects - 1}}) {
        const std::string expect = std::format("TarnCorruptError: object CRC32 mismatch at offset {}", offset_of(first));
        EXPECT_EQ(error_text(open_ok(dir, damaged(which), true).verify()), expect) << first;
    }
}

}  // namespace
}  // namespace tarnkv::testing
