// Opening: system failures, the header and index checks in their order, and what a successful
// open makes of unusual but acceptable files.
#include <dirent.h>
#include <cerrno>
#include <sys/stat.h>
#include <sys/types.h>

#include <fstream>
#include <limits>

#include "test_util.hpp"

namespace tarnkv::testing {
namespace {

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

struct OpenCase {
    const char* name;
    std::string image;
    bool verify;
    std::string expected;  // Display text
};

// One valid entry ("k" -> 40) after one record; index at 51, file 62 bytes.
const std::string kOneEntryBody = record("abc") + entry("k", 40);

std::string with_byte(std::string s, std::size_t at, char v) {
    s[at] = v;
    return s;
}

std::vector<OpenCase> open_cases() {
    const std::string empty_store = header(0, 0, 40);
    const std::string wrong_crc = header(0, 0, 40, 1);
    const std::string good = store(1, 51, kOneEntryBody, 1);
    std::vector<OpenCase> cases = {
        {"EmptyFile", "", true, "TarnCorruptError: file too small for header"},
        {"EmptyFileNoVerify", "", false, "TarnCorruptError: file too small for header"},
        {"ThirtyNineBytes", empty_store.substr(0, 39), true, "TarnCorruptError: file too small for header"},
        {"BadMagic", std::string("\x00\x01\xff\x41", 4) + empty_store.substr(4), true, "TarnCorruptError: bad magic [0, 1, 255, 65]"},
        {"BadMagicBeatsVersion", with_byte("TRNX" + empty_store.substr(4), 4, 9), false,
         "TarnCorruptError: bad magic [84, 82, 78, 88]"},
        {"MagicCaseMatters", "trnk" + empty_store.substr(4), false, "TarnCorruptError: bad magic [116, 114, 110, 107]"},
        {"Version0", with_byte(empty_store, 4, 0), true, "TarnVersionError: unsupported version 0"},
        {"Version1", with_byte(empty_store, 4, 1), true, "TarnVersionError: unsupported version 1"},
        {"Version3", with_byte(empty_store, 4, 3), true, "TarnVersionError: unsupported version 3"},
        {"Version255", with_byte(empty_store, 4, '\xff'), true, "TarnVersionError: unsupported version 255"},
        {"VersionBeatsCrc", with_byte(wrong_crc, 4, 1), true, "TarnVersionError: unsupported version 1"},
        {"CrcLeadingZeros", wrong_crc, true, "TarnCorruptError: file CRC32 mismatch  stored=0x00000001  computed=0x00000000"},
        {"CrcOfBody", with_byte(good, 45, 'X'), true,
         std::format("TarnCorruptError: file CRC32 mismatch  stored={}  computed={}",
                     format::crc_hex(format::load_be32(reinterpret_cast<const unsigned char*>(good.data()) + 32)),
                     format::crc_hex(format::crc32(std::string_view(with_byte(good, 45, 'X')).substr(40))))},
        {"CrcBeatsIndex", header(2, 0, 40, 7), true,
         "TarnCorruptError: file CRC32 mismatch  stored=0x00000007  computed=0x00000000"},
        {"IndexWithoutVerify", header(2, 0, 40, 7), false, "TarnCorruptError: index section truncated (key_len)"},
        {"IndexAtFileEnd", store(1, 62, kOneEntryBody), true, "TarnCorruptError: index section truncated (key_len)"},
        {"IndexFarBeyond", store(1, kMax64, kOneEntryBody), true, "TarnCorruptError: index section truncated (key_len)"},
        {"OneByteOfKeyLen", store(1, 40, "\x00"), true, "TarnCorruptError: index section truncated (key_len)"},
        {"KeyCutShort", store(1, 40, be(5, 2) + "abc"), true, "TarnCorruptError: index section truncated (key + offset)"},
        {"OffsetCutShort", store(1, 40, entry("k", 40).substr(0, 10)), true,
         "TarnCorruptError: index section truncated (key + offset)"},
        {"HugeKeyLen", store(1, 40, be(0xFFFF, 2) + std::string(20, 'x')), true,
         "TarnCorruptError: index section truncated (key + offset)"},
        {"SecondEntryMissing", store(2, 51, kOneEntryBody), true, "TarnCorruptError: index section truncated (key_len)"},
        // Four billion claimed keys in a 62-byte file: fails when the entries run out, without
        // trying to make room for them first.
        {"CountBeyondFile", store(0xFFFFFFFF, 51, kOneEntryBody), false,
         "TarnCorruptError: index section truncated (key_len)"},
    };
    // Each trailing index byte cut in turn: the entry's length field or its key+offset runs out.
    for (std::size_t cut = 1; cut <= 11; ++cut) {
        const std::string image = sealed(good.substr(0, good.size() - cut));
        cases.push_back({"", image, true,
                         cut >= 10 ? "TarnCorruptError: index section truncated (key_len)"
                                   : "TarnCorruptError: index section truncated (key + offset)"});
    }
    return cases;
}

class OpenFailure : public ::testing::TestWithParam<OpenCase> {};

TEST_P(OpenFailure, ReportsTheFirstFailingCheck) {
    ScratchDir dir;
    const OpenCase& c = GetParam();
    auto r = StoreReader::open(dir.write("f.trnk", c.image), c.verify);
    EXPECT_EQ(error_text(r), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, OpenFailure, ::testing::ValuesIn(open_cases()),
                         [](const auto& info) {
                             return info.param.name[0] ? std::string(info.param.name)
                                                       : "CutIndex" + std::to_string(info.index);
                         });

TEST(OpenSystem, MissingFileNamesThePathAsGiven) {
    ScratchDir dir;
    for (std::string name : {"absent.trnk", "caf\xc3\xa9.trnk"}) {
        const std::string p = dir.path() + "/" + name;
        const auto r = StoreReader::open(p, true);
        EXPECT_EQ(error_text(r), "TarnIOError: cannot open " + p + ": No such file or directory (os error 2)");
        EXPECT_EQ(r.error().os_errno(), ENOENT);
    }
}

TEST(OpenSystem, PathWithNulIsRejectedBeforeTheSystemSeesIt) {
    ScratchDir dir;
    dir.write("a", header(0, 0, 40));
    // "<dir>/a\0b" would open "<dir>/a" if it reached the system.
    const std::string p = dir.path() + "/a" + std::string(1, '\0') + "b";
    const auto r = StoreReader::open(p, true);
    EXPECT_EQ(error_text(r), "TarnIOError: cannot open " + p + ": file name contained an unexpected NUL byte");
    EXPECT_EQ(r.error().os_errno(), 0);
}

TEST(OpenSystem, UnmappableFilesFailAtTheMapping) {
    ScratchDir dir;
    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A FIFO with no writer must not block the open.
    for (const std::string& p : {dir.path(), fifo})
        for (bool verify : {true, false}) {
            const auto r = StoreReader::open(p, verify);
            EXPECT_EQ(error_text(r), "TarnIOError: mmap failed: No such device (os error 19)") << p;
            EXPECT_EQ(r.error().os_errno(), ENODEV);
        }
}

std::size_t open_descriptors() {
    std::size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d)) ++n;
        ::closedir(d);
    }
    return n;
}

std::size_t mappings_of(const std::string& dir) {
    std::ifstream maps("/proc/self/maps");
    std::size_t n = 0;
    for (std::string line; std::getline(maps, line);) n += line.find(dir) != std::string::npos;
    return n;
}

TEST(OpenSystem, LeavesNoDescriptorOrMappingBehind) {
    ScratchDir dir;
    const std::size_t fds = open_descriptors();
    std::vector<StoreReader> kept;
    for (const OpenCase& c : open_cases()) {
        auto r = StoreReader::open(dir.write("f.trnk", c.image), c.verify);
        ASSERT_FALSE(r);
    }
    EXPECT_EQ(mappings_of(dir.path()), 0u);
    kept.push_back(open_ok(dir, store(1, 51, kOneEntryBody)));
    EXPECT_EQ(open_descriptors(), fds);
    EXPECT_EQ(mappings_of(dir.path()), 1u);
    kept.clear();
    EXPECT_EQ(mappings_of(dir.path()), 0u);
}

TEST(OpenAccepts, EmptyStoreWithVerify) {
    ScratchDir dir;
    StoreReader r = open_ok(dir, built({}, {}));
    EXPECT_EQ(r.file_size(), 40u);
    EXPECT_EQ(r.entry_count(), 0u);
    EXPECT_EQ(r.num_objects(), 0u);
    EXPECT_FALSE(r.exists(""));
    EXPECT_TRUE(r.verify().has_value());
}

TEST(OpenAccepts, NoKeysLeavesIndexOffsetUntested) {
    ScratchDir dir;
    StoreReader r = open_ok(dir, store(0, kMax64, ""));
    EXPECT_EQ(r.index_offset(), kMax64);
    EXPECT_EQ(r.entry_count(), 0u);
}

TEST(OpenAccepts, FewerKeysThanEntriesAndTrailingBytes) {
    ScratchDir dir;
    const std::string body = record("x") + entry("a", 40) + entry("b", 40) + "trailing junk";
    StoreReader r = open_ok(dir, store(1, 49, body));
    ASSERT_EQ(r.entry_count(), 1u);
    EXPECT_EQ(r.key_at(0), "a");
    EXPECT_FALSE(r.exists("b"));
}

TEST(OpenAccepts, CorruptObjectOpensWithoutVerify) {
    ScratchDir dir;
    std::string image = built({"hello"}, {{"k", 0}});
    image[50] ^= 1;
    EXPECT_FALSE(StoreReader::open(dir.write("f", image), true));
    StoreReader r = open_ok(dir, image, false);
    EXPECT_EQ(r.get_raw("k").value(), "hemlo");
    EXPECT_EQ(error_text(r.verify()).substr(0, 37), "TarnCorruptError: file CRC32 mismatch");
}

}  // namespace
}  // namespace tarnkv::testing
