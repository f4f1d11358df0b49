// A store opened from its header and index bytes alone: the same lookups as a local open, the
// byte range of each record, and the checks on records fetched from elsewhere.
#include <string>
#include <vector>

#include "core/reader/remote_store.hpp"
#include "test_util.hpp"

namespace tarnkv::testing {
namespace {

// The image's header and index section, as an opener fetches them.
Result<RemoteStore> open_parts(const std::string& image) {
    const std::uint64_t index_at = format::load_be64(reinterpret_cast<const unsigned char*>(image.data()) + 16);
    const std::vector<RemoteStore::Piece> pieces = {
        {0, std::string_view(image).substr(0, 40)},
        {index_at, std::string_view(image).substr(index_at)},
    };
    return RemoteStore::open("http://h/s.trnk", image.size(), pieces);
}

std::string_view range(const std::string& image, RemoteStore::Extent e) {
    return std::string_view(image).substr(e.begin, e.end - e.begin);
}

TEST(RemoteStore, AnswersAsALocalOpenAndFetchesExactlyEachRecord) {
    const std::string image = built({"alpha", "b", "gamma-gamma"}, {{"k1", 0}, {"k2", 1}, {"k3", 2}, {"z", 0}});
    ScratchDir dir;
    const StoreReader local = open_ok(dir, image);
    auto remote = open_parts(image);
    ASSERT_TRUE(remote.has_value()) << error_text(remote);
    const StoreReader& r = remote->reader();
    EXPECT_EQ(r.entry_count(), local.entry_count());
    EXPECT_EQ(r.prefix_range("k"), local.prefix_range("k"));
    EXPECT_FALSE(r.lookup("absent").has_value());
    for (const char* key : {"k1", "k2", "k3", "z"}) {
        const auto offset = r.lookup(key);
        ASSERT_EQ(offset, local.lookup(key)) << key;
        ASSERT_TRUE(remote->needs_fetch(*offset));
        const auto e = remote->extent(*offset);
        // Records lie back to back: each extent is its record, the last one ends at the index.
        const auto object = remote->object(*offset, range(image, e), true);
        ASSERT_TRUE(object.has_value()) << error_text(object);
        EXPECT_EQ(*object, *local.object_at(*offset)) << key;
        EXPECT_EQ(e.end - e.begin, format::kRecordHeaderSize + object->size()) << key;
    }
}

TEST(RemoteStore, AnUnnamedRecordInsideAnExtentAndDamagedFetches) {
    // Records: "abc" at 40 (named), "zz" at 51 (named by no entry), "q" at 61 (named).
    const std::string body = record("abc") + record("zz") + record("q");
    const std::uint64_t index_at = 40 + body.size();
    const std::string image = store(2, index_at, body + entry("a", 40) + entry("b", 61));
    auto remote = open_parts(image);
    ASSERT_TRUE(remote.has_value()) << error_text(remote);
    const auto e = remote->extent(40);
    EXPECT_EQ(e.begin, 40u);
    EXPECT_EQ(e.end, 61u);  // up to the next record an entry names
    EXPECT_EQ(*remote->object(40, range(image, e), true), "abc");
    EXPECT_EQ(remote->extent(61).end, index_at);

    std::string damaged(range(image, e));
    damaged[9] ^= 0x20;
    EXPECT_EQ(error_text(remote->object(40, damaged, true)), "TarnCorruptError: object CRC32 mismatch at offset 40");
    EXPECT_EQ(*remote->object(40, damaged, false), "aBc");
    EXPECT_EQ(error_text(remote->object(40, range(image, e).substr(0, 10), true)),
              "TarnCorruptError: object at 40 extends beyond the space before the next record");
    EXPECT_EQ(error_text(remote->object(40, "", true)),
              "TarnCorruptError: object at 40 extends beyond the space before the next record");
}

TEST(RemoteStore, OffsetsOutsideTheDataSectionAreAnsweredFromTheImage) {
    // "in" names the index section itself, "far" a place past the end: as a local file does.
    const std::string body = record("x");
    const std::uint64_t index_at = 40 + body.size();
    const std::string image = store(2, index_at, body + entry("far", 1000) + entry("in", index_at));
    ScratchDir dir;
    const StoreReader local = open_ok(dir, image);
    auto remote = open_parts(image);
    ASSERT_TRUE(remote.has_value()) << error_text(remote);
    for (const std::uint64_t offset : {std::uint64_t{1000}, index_at}) {
        EXPECT_FALSE(remote->needs_fetch(offset));
        EXPECT_EQ(error_text(remote->reader().checked_object_at(offset)), error_text(local.checked_object_at(offset)));
    }
}

TEST(RemoteStore, MissingOrMisplacedPiecesFailAsALocalFileWould) {
    const std::string image = built({"a"}, {{"k", 0}});
    const std::vector<RemoteStore::Piece> outside = {{image.size() - 2, std::string_view(image).substr(0, 40)}};
    EXPECT_EQ(error_text(RemoteStore::open("u", image.size(), outside)),
              "TarnError: a fetched piece lies outside the file");
    EXPECT_EQ(error_text(RemoteStore::open("u", 0, {})), "TarnCorruptError: file too small for header");
    const std::string cut = image.substr(0, image.size() - 3);
    const std::vector<RemoteStore::Piece> cut_pieces = {{0, cut}};
    EXPECT_EQ(error_text(RemoteStore::open("u", cut.size(), cut_pieces)),
              "TarnCorruptError: index section truncated (key + offset)");
}

TEST(RemoteStore, RecordStartsFindTheNextOneAcrossBlocksAndLargeGaps) {
    // Gaps from one byte to beyond 2^32, over several blocks of differences.
    std::vector<std::uint64_t> sorted;
    std::uint64_t at = 40;
    for (std::size_t i = 0; i < 300; ++i) {
        sorted.push_back(at);
        at += i % 7 == 0 ? (std::uint64_t{1} << (i % 40)) + 1 : 100 + i;
    }
    const RemoteStore::Starts starts(sorted);
    EXPECT_EQ(starts.after(0), sorted.front());
    for (std::size_t i = 0; i + 1 < sorted.size(); ++i) {
        ASSERT_EQ(starts.after(sorted[i]), sorted[i + 1]) << i;
        ASSERT_EQ(starts.after(sorted[i + 1] - 1), sorted[i + 1]) << i;
    }
    EXPECT_FALSE(starts.after(sorted.back()).has_value());
    EXPECT_FALSE(RemoteStore::Starts(std::span<const std::uint64_t>{}).after(0).has_value());
}

// Every offset of `sorted` is followed by the next, any point inside a gap by the offset that
// ends it, and nothing follows the last.
void expect_walks(const std::vector<std::uint64_t>& sorted) {
    const RemoteStore::Starts starts(sorted);
    ASSERT_EQ(starts.size(), sorted.size());
    if (sorted.empty()) {
        EXPECT_FALSE(starts.after(0).has_value());
        EXPECT_FALSE(starts.after(~std::uint64_t{0}).has_value());
        return;
    }
    if (sorted.front() > 0) {
        EXPECT_EQ(starts.after(sorted.front() - 1), sorted.front());
    }
    for (std::size_t i = 0; i + 1 < sorted.size(); ++i) {
        ASSERT_EQ(starts.after(sorted[i]), sorted[i + 1]) << i;
        ASSERT_EQ(starts.after(sorted[i] + (sorted[i + 1] - sorted[i]) / 2), sorted[i + 1]) << i;
        ASSERT_EQ(starts.after(sorted[i + 1] - 1), sorted[i + 1]) << i;
    }
    EXPECT_FALSE(starts.after(sorted.back()).has_value());
    EXPECT_FALSE(starts.after(~std::uint64_t{0}).has_value());
}

TEST(RemoteStore, RecordStartsAtBlockBoundaries) {
    constexpr std::size_t kBlock = RemoteStore::Starts::kBlock;
    constexpr std::size_t kStep = RemoteStore::Starts::kStep;
    for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{2}, kStep - 1, kStep, kStep + 1,
                                kBlock - 1, kBlock, kBlock + 1, 2 * kBlock, 2 * kBlock + 1}) {
        SCOPED_TRACE(n);
        std::vector<std::uint64_t> sorted;
        for (std::size_t i = 0; i < n; ++i) sorted.push_back(40 + 112 * i + i % 5);
        expect_walks(sorted);
        // All gaps equal: nothing needs packing, and a block's last entry still leads to the next.
        for (std::size_t i = 0; i < n; ++i) sorted[i] = 40 + 100 * i;
        expect_walks(sorted);
        // Equal gaps but one, in the last block: that block packs, the others do not.
        if (n > 1) {
            sorted.back() += 7;
            expect_walks(sorted);
        }
    }
}

TEST(RemoteStore, RecordStartsWithHugeOffsetsAndGaps) {
    constexpr std::uint64_t kTop = ~std::uint64_t{0};
    // Offsets near the top of the range, one gap spanning almost all of it (64-bit packing),
    // and gaps that straddle word boundaries of the packed bits.
    expect_walks({40, kTop - 1});
    expect_walks({0, 1, kTop - 2, kTop - 1});
    std::vector<std::uint64_t> sorted;
    std::uint64_t at = std::uint64_t{1} << 40;
    for (std::size_t i = 0; i < 3 * RemoteStore::Starts::kBlock + 7; ++i) {
        sorted.push_back(at);
        at += i % 3 == 0 ? (std::uint64_t{1} << (33 + i % 20)) + i : 1 + i % 7;
    }
    expect_walks(sorted);
    sorted.assign({40, 41, (std::uint64_t{1} << 63) + 5, kTop - 3});
    expect_walks(sorted);
}

TEST(RemoteStore, RecordStartsOfSimilarRecordsCostAFewBitsEach) {
    // Records of 100 to 115 bytes: four bits a record and the blocks' own fields, under a byte.
    std::vector<std::uint64_t> sorted;
    std::uint64_t at = 40;
    for (std::size_t i = 0; i < 100000; ++i, at += 100 + (i * 7) % 16) sorted.push_back(at);
    const RemoteStore::Starts starts(sorted);
    EXPECT_LT(starts.footprint(), sorted.size());
    EXPECT_EQ(starts.after(sorted[54321]), sorted[54322]);
}

}  // namespace
}  // namespace tarnkv::testing
