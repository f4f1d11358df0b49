// Queries on an open store: object reads and their bounds, lookups with duplicate keys, prefix
// scans, enumerations, verification and statistics.
#include <format>
#include <limits>

#include "test_util.hpp"

namespace tarnkv::testing {
namespace {

using Items = std::vector<std::pair<std::string, std::string>>;

Items items_of(const std::vector<Item>& v) {
    Items out;
    for (const Item& i : v) out.emplace_back(i.key, i.object);
    return out;
}

std::vector<std::string> keys_of(const StoreReader& r) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < r.entry_count(); ++i) out.emplace_back(r.key_at(i));
    return out;
}

// --- Broken object references ------------------------------------------------------------

struct BadRef {
    const char* name;
    std::uint64_t offset;         // what the index entry "k" points at
    std::string read_error;       // from every reading query
    std::string verify_error;     // from verify()
};

// "hello" at 40 (13 bytes), then the length field alone of a record at 53 that claims 1000
// bytes, then the one index entry "k" (11 bytes) at 57: 68 bytes in all.
std::string bad_ref_image(std::uint64_t offset) { return store(1, 57, record("hello") + be(1000, 4) + entry("k", offset)); }
constexpr std::uint64_t kBadRefSize = 68;

std::vector<BadRef> bad_refs() {
    const std::uint64_t s = kBadRefSize;
    const auto oob = [](std::uint64_t o) { return std::format("TarnCorruptError: offset {} out of bounds", o); };
    const auto voob = [](std::uint64_t o) { return std::format("TarnCorruptError: object offset {} out of bounds", o); };
    const auto past = [](std::uint64_t o) { return std::format("TarnCorruptError: object at {} extends beyond file end", o); };
    constexpr std::uint64_t top = std::numeric_limits<std::uint64_t>::max();
    return {
        {"SevenBeforeEnd", s - 7, oob(s - 7), voob(s - 7)},
        {"AtEnd", s, oob(s), voob(s)},
        {"PastEnd", s + 1, oob(s + 1), voob(s + 1)},
        {"BeyondFourGiB", 5'000'000'000, oob(5'000'000'000), voob(5'000'000'000)},
        // offset + 8 would wrap to a small number here.
        {"WrapsToZero", top - 7, oob(top - 7), voob(top - 7)},
        {"Top", top, oob(top), voob(top)},
        {"LengthPastEnd", 53, past(53), past(53)},
        {"IndexAsRecord", 57, past(57), past(57)},  // the entry's bytes read as a huge length
    };
}

class BrokenReference : public ::testing::TestWithParam<BadRef> {};

TEST_P(BrokenReference, SurfacesOnlyWhenTheObjectIsRead) {
    const BadRef& c = GetParam();
    ScratchDir dir;
    StoreReader r = open_ok(dir, bad_ref_image(c.offset));
    ASSERT_EQ(r.file_size(), kBadRefSize);
    EXPECT_EQ(r.object_at(40).value(), "hello");
    EXPECT_EQ(r.offset_at(0), c.offset);
    EXPECT_TRUE(r.exists("k"));
    EXPECT_EQ(r.lookup("k"), c.offset);
    EXPECT_EQ(keys_of(r), std::vector<std::string>{"k"});
    EXPECT_EQ(error_text(r.object_at(c.offset)), c.read_error);
    EXPECT_EQ(error_text(r.get_raw("k")), c.read_error);
    EXPECT_EQ(error_text(r.prefix_raw("")), c.read_error);
    EXPECT_EQ(error_text(r.prefix_raw("k")), c.read_error);
    EXPECT_TRUE(r.prefix_raw("j").value().empty());
    EXPECT_EQ(error_text(r.items_raw()), c.read_error);
    EXPECT_EQ(error_text(r.objects_raw()), c.read_error);
    EXPECT_EQ(error_text(r.verify()), c.verify_error);
}

INSTANTIATE_TEST_SUITE_P(Cases, BrokenReference, ::testing::ValuesIn(bad_refs()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReadObject, RecordsThatEndExactlyAtTheFileEnd) {
    ScratchDir dir;
    // An empty record as the file's last 8 bytes, then one with bytes up to the end.
    const std::string image = header(0, 0, 40) + record("") + record("tail");
    StoreReader r = open_ok(dir, image, false);
    EXPECT_EQ(r.object_at(40).value(), "");
    EXPECT_EQ(r.object_at(48).value(), "tail");
    EXPECT_EQ(error_text(r.object_at(49)), "TarnCorruptError: object at 49 extends beyond file end");
}

TEST(ReadObject, WideOffsetsKeepAllSixtyFourBits) {
    ScratchDir dir;
    constexpr std::uint64_t big = (std::uint64_t{1} << 32) + 40;
    StoreReader r = open_ok(dir, store(2, 49, record("x") + entry("a", 40) + entry("b", big)));
    EXPECT_EQ(r.offset_at(0), 40u);
    EXPECT_EQ(r.offset_at(1), big);
    EXPECT_EQ(r.lookup("b"), big);
    EXPECT_EQ(r.get_raw("a").value(), "x");
    EXPECT_EQ(error_text(r.get_raw("b")), "TarnCorruptError: offset 4294967336 out of bounds");
}

// --- Duplicate keys (never written by the builder) ----------------------------------------

TEST(DuplicateKeys, LaterEntryWinsLookupsWhileListingsKeepBoth) {
    ScratchDir dir;
    const std::string data = record("first") + record("second");  // at 40 and 53
    const std::string index = entry("a", 40) + entry("dup", 40) + entry("dup", 53) + entry("dup", 40) + entry("z", 53);
    StoreReader r = open_ok(dir, store(5, 40 + data.size(), data + index));
    EXPECT_EQ(r.lookup("dup"), 40u);  // the third occurrence
    EXPECT_EQ(r.lookup("a"), 40u);
    EXPECT_EQ(r.lookup("z"), 53u);
    EXPECT_EQ(keys_of(r), (std::vector<std::string>{"a", "dup", "dup", "dup", "z"}));
    const Items all{{"a", "first"}, {"dup", "first"}, {"dup", "second"}, {"dup", "first"}, {"z", "second"}};
    EXPECT_EQ(items_of(r.items_raw().value()), all);
    EXPECT_EQ(items_of(r.prefix_raw("d").value()), Items(all.begin() + 1, all.begin() + 4));
    EXPECT_EQ(r.objects_raw().value(), (std::vector<std::string_view>{"first", "second"}));
}

// --- Lookups and prefix scans ----------------------------------------------------------

TEST(Lookup, EmptyStoreHasNothing) {
    ScratchDir dir;
    StoreReader r = open_ok(dir, built({"unreferenced"}, {}));
    for (std::string_view k : {"", "a", "\xff"}) {
        EXPECT_FALSE(r.exists(k));
        EXPECT_EQ(r.get_raw(k).value(), std::nullopt);
        EXPECT_TRUE(r.prefix_raw(k).value().empty());
    }
    EXPECT_TRUE(r.items_raw().value().empty());
    EXPECT_TRUE(r.objects_raw().value().empty());
}

TEST(Lookup, MatchesWholeKeysByteForByte) {
    ScratchDir dir;
    StoreReader r = open_ok(dir, built({"E", "A", "AB", "F"}, {{"", 0}, {"a", 1}, {"ab", 2}, {std::string_view("\0", 1), 3}}));
    EXPECT_EQ(r.get_raw("").value(), "E");
    EXPECT_EQ(r.get_raw("a").value(), "A");
    EXPECT_EQ(r.get_raw("ab").value(), "AB");
    EXPECT_EQ(r.get_raw(std::string_view("\0", 1)).value(), "F");
    for (std::string_view miss : {std::string_view("A"), std::string_view("b"), std::string_view("abc"),
                                   std::string_view("a\0", 2), std::string_view("\0\0", 2)}) {
        EXPECT_FALSE(r.exists(miss)) << miss;
        EXPECT_EQ(r.get_raw(miss).value(), std::nullopt);
    }
}

struct PrefixCase {
    std::string prefix;
    std::vector<std::string> keys;
};

class Prefix : public ::testing::TestWithParam<PrefixCase> {};

// Keys in byte order; each maps to an object equal to the key upper-cased in ASCII.
const std::vector<std::string> kPrefixKeys = {"",          "a",         "ab",        "abc", "abd",
                                              "ac",        "b\xff",     "\xc3\x80",  "\xc3\xa9",
                                              "\xc3\xbf!", "\xc4\x80", "\xff",      "\xff\xff"};

TEST_P(Prefix, ReturnsTheRunOfMatchingKeysInOrder) {
    ScratchDir dir;
    StoreBuilder b;
    for (std::uint32_t i = 0; i < kPrefixKeys.size(); ++i) {
        ASSERT_TRUE(b.add_object("obj:" + kPrefixKeys[i]));
        ASSERT_TRUE(b.add_key(kPrefixKeys[i], i));
    }
    StoreReader r = open_ok(dir, b.image());
    ASSERT_EQ(keys_of(r), kPrefixKeys);  // the builder's order is the one the scan relies on
    Items expected;
    for (const std::string& k : GetParam().keys) expected.emplace_back(k, "obj:" + k);
    EXPECT_EQ(items_of(r.prefix_raw(GetParam().prefix).value()), expected);
    // A limited scan gives the first matches of the full one.
    for (std::size_t limit : {std::size_t{0}, std::size_t{1}, std::size_t{2}}) {
        const Items first(expected.begin(), expected.begin() + std::min(limit, expected.size()));
        EXPECT_EQ(items_of(r.prefix_raw(GetParam().prefix, limit).value()), first) << "limit " << limit;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Prefix,
                         ::testing::Values(PrefixCase{"", kPrefixKeys}, PrefixCase{"a", {"a", "ab", "abc", "abd", "ac"}},
                                           PrefixCase{"ab", {"ab", "abc", "abd"}}, PrefixCase{"abc", {"abc"}},
                                           PrefixCase{"abcd", {}}, PrefixCase{"aa", {}}, PrefixCase{"b", {"b\xff"}},
                                           PrefixCase{"c", {}},
                                           // Not UTF-8 on its own: matches keys starting U+00C0..U+00FF.
                                           PrefixCase{"\xc3", {"\xc3\x80", "\xc3\xa9", "\xc3\xbf!"}},
                                           PrefixCase{"\xc3\xbf", {"\xc3\xbf!"}}, PrefixCase{"\xff", {"\xff", "\xff\xff"}},
                                           PrefixCase{"\xff\xff\xff", {}}),
                         [](const auto& info) {
                             // The prefix's bytes in hex keep the names stable and printable.
                             std::string name = "P" + std::to_string(info.index) + "_";
                             for (unsigned char c : info.param.prefix) name += std::format("{:02x}", c);
                             return name;
                         });

// --- Enumerations ------------------------------------------------------------------------

TEST(Enumerations, ItemsInIndexOrderObjectsByFirstReference) {
    ScratchDir dir;
    // Y is added first (smaller ID and offset) but first referenced second.
    const std::string image = built({"Y", "X", "X", "", "unreferenced"},
                                    {{"c", 1}, {"a", 1}, {"b", 0}, {"d", 2}, {"B", 3}});
    StoreReader r = open_ok(dir, image);
    EXPECT_EQ(items_of(r.items_raw().value()),
              (Items{{"B", ""}, {"a", "X"}, {"b", "Y"}, {"c", "X"}, {"d", "X"}}));
    // Equal bytes in two records stay two objects; the shared record appears once.
    EXPECT_EQ(r.objects_raw().value(), (std::vector<std::string_view>{"", "X", "Y", "X"}));
}

TEST(Enumerations, ResultsPointIntoTheMappingWithoutCopies) {
    ScratchDir dir;
    StoreReader r = open_ok(dir, built({"shared"}, {{"a", 0}, {"b", 0}}));
    const auto items = r.items_raw().value();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].object.data(), items[1].object.data());
    EXPECT_EQ(r.objects_raw().value()[0].data(), items[0].object.data());
    EXPECT_EQ(r.get_raw("b").value()->data(), items[0].object.data());
}

// --- Verification ------------------------------------------------------------------------

std::string patched(std::string s, std::size_t at, char v) {
    s[at] = v;
    return s;
}

TEST(Verify, ChecksFileCrcFirstThenEachReferencedRecordOnce) {
    ScratchDir dir;
    // Records: "one" at 40 (ends 51), "two" at 51 (ends 62), "orphan" at 62.
    const std::string image = built({"one", "two", "orphan"}, {{"a", 1}, {"b", 0}, {"c", 1}});
    struct Case {
        std::string image;
        std::string expected;
    };
    const std::string body_changed = patched(image, 49, '!');  // inside "one"
    const std::vector<Case> cases = {
        {image, "<success>"},
        {built({}, {}), "<success>"},
        {built({"x", "y"}, {}), "<success>"},
        {body_changed,
         std::format("TarnCorruptError: file CRC32 mismatch  stored={}  computed={}",
                     format::crc_hex(format::load_be32(reinterpret_cast<const unsigned char*>(image.data()) + 32)),
                     format::crc_hex(format::crc32(std::string_view(body_changed).substr(40))))},
        {patched(image, image.size() - 1, 1), "TarnCorruptError: file CRC32 mismatch"},  // index byte
        {sealed(body_changed), "TarnCorruptError: object CRC32 mismatch at offset 40"},
        // Both referenced records corrupt: "two" is referenced first (by "a").
        {sealed(patched(patched(image, 49, '!'), 60, '!')), "TarnCorruptError: object CRC32 mismatch at offset 51"},
        // The stored CRC rather than the bytes.
        {sealed(patched(image, 55, '\x00')), "TarnCorruptError: object CRC32 mismatch at offset 51"},
        // The orphan is covered only by the file CRC.
        {sealed(patched(image, 72, '!')), "<success>"},
        // A record length that runs past the end of the file.
        {sealed(patched(image, 51, '\x7f')), "TarnCorruptError: object at 51 extends beyond file end"},
    };
    for (const Case& c : cases) {
        StoreReader r = open_ok(dir, c.image, false);
        const std::string got = error_text(r.verify());
        EXPECT_EQ(got.substr(0, c.expected.size()), c.expected);
        EXPECT_EQ(error_text(r.verify()), got) << "repeatable";
    }
}

// --- Statistics --------------------------------------------------------------------------

TEST(Stats, ReportsWhatOpenRecorded) {
    ScratchDir dir;
    struct Case {
        std::string image;
        bool verify;
        std::uint32_t keys, objects;
        std::uint64_t index_offset;
        double kb;
        std::string crc;
    };
    const std::vector<Case> cases = {
        {built({}, {}), true, 0, 0, 40, 0.0390625, "0x00000000"},
        {header(0, 7, std::uint64_t{1} << 40) + std::string(984, 'x'), false, 0, 7, std::uint64_t{1} << 40, 1.0, "0x00000000"},
        {header(0, 0, 40, 0xABCD) + std::string(1496, 'x'), false, 0, 0, 40, 1.5, "0x0000abcd"},
        {built({"a", "b", "c"}, {{"k", 1}}), true, 1, 3, 40 + 27, (40 + 27 + 11) / 1024.0, ""},
    };
    for (const Case& c : cases) {
        StoreReader r = open_ok(dir, c.image, c.verify);
        const Stats s = r.stats();
        EXPECT_EQ(s.path, dir.path() + "/store.trnk");
        EXPECT_EQ(s.version, 2);
        EXPECT_EQ(s.num_keys, c.keys);
        EXPECT_EQ(s.num_objects, c.objects);
        EXPECT_EQ(s.index_offset, c.index_offset);
        EXPECT_EQ(s.data_offset, 40u);
        EXPECT_EQ(s.file_size_kb, c.kb);
        EXPECT_EQ(s.file_crc32, c.crc.empty() ? format::crc_hex(r.file_crc32()) : c.crc);
    }
}

}  // namespace
}  // namespace tarnkv::testing
