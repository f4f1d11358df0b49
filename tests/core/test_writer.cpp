// Store builder: exact bytes of written files, the temporary-path rule, failures that must
// leave the target alone, what a build reports, and file metadata of a published store.
#include <algorithm>
#include <map>
#include <random>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <format>
#include <future>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "test_util.hpp"

namespace fs = std::filesystem;

namespace tarnkv::testing {
namespace {

class TempDir : public ::testing::Test {
protected:
    std::string at(std::string_view name) const { return dir_.at(name); }
    ScratchDir dir_;
};

// The header's bytes spelled out, so the encoder every other test builds on is itself pinned.
TEST(HeaderBytes, EncodeWritesTheDocumentedLayoutAndDecodeReadsItBack) {
    const format::Header h{.num_keys = 0x01020304, .num_objects = 0x05060708, .index_offset = 0x1122334455667788,
                           .file_crc32 = 0xA1B2C3D4};
    const std::string expect = std::string("TRNK\x02\0\0\0", 8) + "\x01\x02\x03\x04\x05\x06\x07\x08" +
                               "\x11\x22\x33\x44\x55\x66\x77\x88" + std::string("\0\0\0\0\0\0\0\x28", 8) +
                               "\xA1\xB2\xC3\xD4" + std::string(4, '\0');
    EXPECT_EQ(header(h.num_keys, h.num_objects, h.index_offset, h.file_crc32), expect);
    const auto image = h.encode();
    const auto back = format::Header::decode(image);
    ASSERT_TRUE(back);
    EXPECT_EQ(std::tie(back->num_keys, back->num_objects, back->index_offset, back->file_crc32),
              std::tie(h.num_keys, h.num_objects, h.index_offset, h.file_crc32));
}

TEST(BuilderImage, EmptyStoreIsABareHeader) {
    StoreBuilder b;
    EXPECT_EQ(b.image(), header(0, 0, 40, 0));
}

TEST(BuilderImage, OneObjectTwoKeysIsTheDocumented74Bytes) {
    StoreBuilder b;
    ASSERT_EQ(b.add_object("xyz").value(), 0u);
    ASSERT_TRUE(b.add_key("bb", 0));
    ASSERT_TRUE(b.add_key("a", 0));
    // Record and entries spelled out byte by byte: length 3, CRC-32 of "xyz", the bytes; then
    // key_len 1, "a", offset 40 and key_len 2, "bb", offset 40.
    const std::string record = std::string("\0\0\0\x03", 4) + be(format::crc32("xyz"), 4) + "xyz";
    const std::string index = std::string("\0\x01" "a" "\0\0\0\0\0\0\0\x28", 11) +
                              std::string("\0\x02" "bb" "\0\0\0\0\0\0\0\x28", 12);
    const std::string image = b.image();
    ASSERT_EQ(image.size(), 74u);
    EXPECT_EQ(image, header(2, 1, 51, format::crc32(record + index)) + record + index);
}

TEST(BuilderImage, KeysSortAsUnsignedBytesWithPrefixesFirst) {
    StoreBuilder b;
    ASSERT_TRUE(b.add_object("o"));
    for (std::string k : {std::string("b"), std::string("\xff", 1), std::string("ab"), std::string("a"), std::string()})
        ASSERT_TRUE(b.add_key(k, 0));
    const std::string image = b.image();
    std::string expect;
    for (std::string k : {std::string(), std::string("a"), std::string("ab"), std::string("b"), std::string("\xff", 1)})
        expect += entry(k, 40);
    EXPECT_EQ(image.substr(image.size() - expect.size()), expect);
}

TEST(BuilderImage, KeysSharingLongPrefixesOrEmbeddedNulsSortBytewise) {
    std::vector<std::string> keys = {std::string("a\0", 2), "a", std::string("a\0\0", 3), "user:00000010",
                                     "user:0000001", "user:00000009", std::string(8, '\xff'),
                                     std::string(9, '\xff'), std::string("\xff\xff\xff\xff\xff\xff\xff\xfe\x01", 9),
                                     "", std::string(1, '\0'), "abcdefgh", "abcdefgi", "abcdefghZ"};
    StoreBuilder b;
    ASSERT_TRUE(b.add_object("o"));
    for (const auto& k : keys) ASSERT_TRUE(b.add_key(k, 0));
    std::sort(keys.begin(), keys.end());  // std::string compares as unsigned bytes
    std::string expect;
    for (const auto& k : keys) expect += entry(k, 40);
    EXPECT_EQ(b.index_section(), expect);
}

TEST(BuilderImage, EmptyObjectIsAnEightByteRecordWithZeroCrc) {
    StoreBuilder b;
    ASSERT_TRUE(b.add_object(""));
    EXPECT_EQ(b.image(), header(0, 1, 48, format::crc32(std::string(8, '\0'))) + std::string(8, '\0'));
}

TEST(BuilderImage, IdenticalObjectsStayDistinctAndSharedObjectsAreStoredOnce) {
    StoreBuilder b;
    EXPECT_EQ(b.add_object("same").value(), 0u);
    EXPECT_EQ(b.add_object("same").value(), 1u);
    ASSERT_TRUE(b.add_key("x", 1));
    ASSERT_TRUE(b.add_key("y", 1));
    const std::string image = b.image();
    EXPECT_EQ(image.size(), 40u + 2 * 12 + 2 * 11);
    EXPECT_EQ(image.substr(64), entry("x", 52) + entry("y", 52));
}

TEST(BuilderKeys, LastMappingWinsAndDoesNotAddAKey) {
    StoreBuilder b;
    ASSERT_TRUE(b.add_object("zero"));
    ASSERT_TRUE(b.add_object("one"));
    ASSERT_TRUE(b.add_key("k", 0));
    ASSERT_TRUE(b.add_key("k", 1));
    EXPECT_EQ(b.num_keys(), 1u);
    const std::string image = b.image();
    EXPECT_EQ(image.substr(image.size() - 11), entry("k", 40 + 12));
}

TEST(BuilderKeys, RefusalsLeaveTheBuilderUnchanged) {
    StoreBuilder b;
    auto none = b.add_key("k", 0);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().display(), "TarnError: obj_id 0 out of range (have 0 objects)");
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(b.add_object("o"));
    EXPECT_EQ(b.add_key("k", 3).error().display(), "TarnError: obj_id 3 out of range (have 3 objects)");
    EXPECT_EQ(b.add_key("k", 1ull << 40).error().kind(), ErrorKind::General);
    EXPECT_TRUE(b.add_key("k", 2));
    const std::string too_long(format::kMaxKeyLen + 1, 'k');
    EXPECT_EQ(b.add_key(too_long, 0).error().display(), "TarnError: key of 65536 bytes exceeds the 65535-byte limit");
    EXPECT_TRUE(b.add_key(std::string(format::kMaxKeyLen, 'k'), 0));
    EXPECT_EQ(b.num_keys(), 2u);
    EXPECT_EQ(b.num_objects(), 3u);
}

TEST(BuilderImage, OffsetsFromFourGiBOnAreWrittenInFull) {
    // An object of 2^32 - 48 bytes puts the next record at exactly 4 GiB; its index entry must
    // carry the full 64-bit offset.
#if TARNKV_TEST_UNDER_ASAN
    GTEST_SKIP() << "8 GiB of buffers is too much under AddressSanitizer";
#else
    StoreBuilder b;
    {
        // Untouched anonymous pages read as zeros without being faulted in one by one.
        const std::size_t n = (1ull << 32) - 48;
        void* zeros = ::mmap(nullptr, n, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (zeros == MAP_FAILED) GTEST_SKIP() << "cannot map 4 GiB";
        ::madvise(zeros, n, MADV_HUGEPAGE);  // read faults then map the huge zero page
        auto added = b.add_object(std::string_view(static_cast<const char*>(zeros), n));
        ::munmap(zeros, n);
        ASSERT_TRUE(added);
    }
    ASSERT_TRUE(b.add_object("tail"));
    ASSERT_TRUE(b.add_key("t", 1));
    EXPECT_EQ(b.index_section(), entry("t", 1ull << 32));
#endif
}

TEST(TemporaryPath, ReplacesTheFinalExtension) {
    const std::pair<const char*, const char*> rows[] = {
        {"out/db.trnk", "out/db.trnk.tmp"},   {"out/db", "out/db.trnk.tmp"},
        {"out/db.bin", "out/db.trnk.tmp"},    {"out/db.tar.gz", "out/db.tar.trnk.tmp"},
        {"db.", "db.trnk.tmp"},               {".profile", ".profile.trnk.tmp"},
        {"out/db/", "out/db.trnk.tmp"},       {"out/db/.", "out/db.trnk.tmp"},
        {"/abs/x.trnk", "/abs/x.trnk.tmp"},   {"", ""},
        {"/", "/"},                           {".", "."},
        {"out/..", "out/.."},                 {"a.b/c", "a.b/c.trnk.tmp"},
    };
    for (auto [path, tmp] : rows) EXPECT_EQ(temporary_path(path), tmp) << "path: " << path;
}

TEST_F(TempDir, BuildReportsWhatItPublished) {
    StoreBuilder b;
    ASSERT_TRUE(b.add_object("o"));
    ASSERT_TRUE(b.add_object("unkeyed"));
    ASSERT_TRUE(b.add_key("a", 0));
    ASSERT_TRUE(b.add_key("b", 0));
    ASSERT_TRUE(b.add_key("a", 1));  // re-pointing does not add a key
    const auto info = b.build(at("db.trnk"));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->num_objects, 2u);
    EXPECT_EQ(info->num_keys, 2u);
    EXPECT_EQ(info->file_size, fs::file_size(at("db.trnk")));
    EXPECT_EQ(info->file_size, b.image().size());
}

TEST_F(TempDir, BuildPublishesTheImageAndLeavesNoTemporary) {
    StoreBuilder b;
    ASSERT_TRUE(b.add_object("v"));
    ASSERT_TRUE(b.add_key("k", 0));
    const std::string p = at("db.trnk");
    ASSERT_TRUE(b.build(p));
    EXPECT_EQ(slurp(p), b.image());
    EXPECT_FALSE(fs::exists(at("db.trnk.tmp")));
    // Building again, and after more adds, gives complete files.
    ASSERT_TRUE(b.build(at("again.trnk")));
    EXPECT_EQ(slurp(at("again.trnk")), slurp(p));
    ASSERT_TRUE(b.add_object("w"));
    ASSERT_TRUE(b.build(p));
    EXPECT_EQ(slurp(p), b.image());
}

TEST_F(TempDir, MissingDirectoryFailsAtTheTemporaryAndCreatesNothing) {
    StoreBuilder b;
    auto st = b.build(at("missing/db.trnk"));
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().display(), "TarnIOError: open tmp: No such file or directory (os error 2)");
    EXPECT_EQ(st.error().os_errno(), ENOENT);
    EXPECT_TRUE(fs::is_empty(dir_.path()));
}

TEST_F(TempDir, FailedRenameKeepsTheCompleteTemporaryAndTheTarget) {
    StoreBuilder b;
    ASSERT_TRUE(b.add_object("v"));
    const std::string target = at("db");
    fs::create_directories(target + "/occupied");
    auto st = b.build(target);
    ASSERT_FALSE(st);
    EXPECT_TRUE(st.error().display().starts_with("TarnIOError: rename: ")) << st.error().display();
    EXPECT_EQ(slurp(at("db.trnk.tmp")), b.image());
    EXPECT_TRUE(fs::is_directory(target + "/occupied"));
}

TEST_F(TempDir, NulInPathIsRefusedBeforeTheSystemSeesIt) {
    StoreBuilder b;
    const auto st = b.build(at(std::string("a\0b", 3)));
    EXPECT_EQ(st.error().display(), "TarnIOError: open tmp: file name contained an unexpected NUL byte");
    EXPECT_EQ(st.error().os_errno(), 0);
}

// A live build holds an exclusive lock on its temporary; here the test holds it. Every target
// that writes through that temporary fails at once and touches neither file.
TEST_F(TempDir, TemporaryHeldByAnotherBuildIsLeftAlone) {
    const std::string tmp = at("db.trnk.tmp");
    const std::string half_written(4096, 'x');  // longer than the store, so truncation shows
    std::ofstream(tmp) << half_written;
    const int fd = ::open(tmp.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    StoreBuilder b;
    ASSERT_TRUE(b.add_object("v"));
    for (const char* target : {"db.trnk", "db", "db.bin"}) {
        const auto st = b.build(at(target));
        ASSERT_FALSE(st) << target;
        EXPECT_EQ(st.error().display(), "TarnIOError: open tmp: another build is writing " + tmp);
        EXPECT_EQ(st.error().os_errno(), EWOULDBLOCK);
        EXPECT_EQ(st.error().io_reason(), IoReason::Busy);
        EXPECT_FALSE(fs::exists(at(target)));
    }
    EXPECT_EQ(slurp(tmp), half_written);
    ::close(fd);  // the other build has died: its leftover is simply taken over
    ASSERT_TRUE(b.build(at("db.bin")));
    EXPECT_EQ(slurp(at("db.bin")), b.image());
    EXPECT_FALSE(fs::exists(tmp));
}

TEST_F(TempDir, SymlinkAtTemporaryPathIsNotFollowed) {
    const std::string victim = at("victim");
    std::ofstream(victim) << "keep";
    fs::create_symlink(victim, at("db.trnk.tmp"));
    StoreBuilder b;
    auto st = b.build(at("db.trnk"));
    ASSERT_FALSE(st);
    EXPECT_TRUE(st.error().display().starts_with("TarnIOError: open tmp: ")) << st.error().display();
    EXPECT_EQ(slurp(victim), "keep");
}

TEST_F(TempDir, NewFileTakesModeFromUmaskAndReplacesASymlinkNotItsReferent) {
    const std::string referent = at("referent");
    std::ofstream(referent) << "old";
    ::chmod(referent.c_str(), 0600);
    const std::string link = at("db.trnk");
    fs::create_symlink(referent, link);
    const mode_t old = ::umask(027);
    StoreBuilder b;
    auto st = b.build(link);
    ::umask(old);
    ASSERT_TRUE(st);
    EXPECT_FALSE(fs::is_symlink(link));
    EXPECT_EQ(slurp(referent), "old");
    struct stat sb;
    ASSERT_EQ(::stat(link.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0640u);
}

// Whatever stops a build once its temporary exists removes that file, and only that file;
// the target stays as it was and the builder can build again.
TEST_F(TempDir, FailedWriteOrThrowingProgressRemovesTheTemporary) {
    StoreBuilder old;
    ASSERT_TRUE(old.add_object("old"));
    ASSERT_TRUE(old.add_key("k", 0));
    const std::string target = at("db.trnk");
    ASSERT_TRUE(old.build(target));
    StoreBuilder b;
    ASSERT_TRUE(b.add_object(std::string(200'000, 'v')));
    ASSERT_TRUE(b.add_key("k", 0));
    {
        const FileSizeLimit limit(64 * 1024);
        const auto st = b.build(target);
        ASSERT_FALSE(st);
        EXPECT_EQ(st.error().display(), "TarnIOError: File too large (os error 27)");
    }
    EXPECT_FALSE(fs::exists(at("db.trnk.tmp")));
    EXPECT_EQ(slurp(target), old.image());
    // An exception out of the progress callback (after the last byte is synced) unwinds
    // through the build: the file goes all the same.
    EXPECT_THROW((void)b.build(target, [](std::uint64_t, std::uint64_t) -> bool { throw std::runtime_error("x"); }),
                 std::runtime_error);
    EXPECT_FALSE(fs::exists(at("db.trnk.tmp")));
    EXPECT_EQ(slurp(target), old.image());
    ASSERT_TRUE(b.build(target));
    EXPECT_EQ(slurp(target), b.image());
}

// A store large enough to be written by the build's second thread, in key order from shuffled
// adds, with records from a few bytes to past the gathering piece's megabyte: the file is the
// image byte for byte (its checksum included), progress hears every step in order, and a
// stop at any step leaves the old target and no temporary.
TEST_F(TempDir, LargeBuildWrittenBehindIsTheImage) {
    std::mt19937 rng(5);
    std::vector<int> ids(3000);
    for (int i = 0; i < 3000; ++i) ids[i] = i;
    std::shuffle(ids.begin(), ids.end(), rng);
    StoreBuilder b;
    b.order_objects_by_key(true);
    for (const int i : ids) {
        const std::size_t size = i % 500 == 7 ? (std::size_t{1} << 20) + 3 : rng() % 30'000;
        const auto id = b.add_object(std::string(size, static_cast<char>('a' + i % 26)));
        ASSERT_TRUE(id);
        ASSERT_TRUE(b.add_key(std::format("key:{:05}", i), *id));
    }
    const std::string target = at("db.trnk");
    std::vector<std::uint64_t> seen;
    ASSERT_TRUE(b.build(target, [&](std::uint64_t done, std::uint64_t total) {
        seen.push_back(done);
        return done <= total;
    }));
    const std::string image = b.image();
    ASSERT_GT(image.size(), std::size_t{40} << 20);
    EXPECT_TRUE(slurp(target) == image);
    ASSERT_GE(seen.size(), 2u);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.back(), image.size());

    StoreBuilder small;
    ASSERT_TRUE(small.add_object("old"));
    ASSERT_TRUE(small.add_key("k", 0));
    ASSERT_TRUE(small.build(target));
    for (const std::size_t stop_at : {std::size_t{1}, std::size_t{2}, seen.size()}) {
        std::size_t calls = 0;
        const auto st = b.build(target, [&](std::uint64_t, std::uint64_t) { return ++calls < stop_at; });
        ASSERT_FALSE(st);
        EXPECT_FALSE(fs::exists(at("db.trnk.tmp")));
        EXPECT_TRUE(slurp(target) == small.image());
    }
}

// A compressed build stopped while its objects are compressed on every core: the stop reaches
// every thread (nothing hangs, nothing is left running), no temporary stays, and the next
// build is whole.
TEST_F(TempDir, CompressedBuildStoppedMidwayLeavesNothing) {
    StoreBuilder b;
    b.order_objects_by_key(true);
    ASSERT_TRUE(b.compress(3));
    std::mt19937 rng(3);
    for (std::uint32_t i = 0; i < 6000; ++i) {
        // ~42 MB, mostly random bytes (stored as they are), so that the first progress report
        // (every 32 MiB) comes while chunks are still being compressed.
        std::string object = std::format("{{\"id\":{}}}", i);
        while (object.size() < 7000) object += static_cast<char>(rng());
        ASSERT_TRUE(b.add_object(object));
        ASSERT_TRUE(b.add_key(std::format("k{:05}", (i * 7919) % 6000), i));
    }
    const std::string target = at("db.trnk");
    std::size_t calls = 0;
    std::uint64_t stopped_at = 0, total = 0;
    const auto st = b.build(target, [&](std::uint64_t done, std::uint64_t of) {
        ++calls;
        stopped_at = done;
        total = of;
        return false;
    });
    ASSERT_FALSE(st);
    EXPECT_EQ(calls, 1u);
    EXPECT_LT(stopped_at, total * 9 / 10);
    EXPECT_FALSE(fs::exists(at("db.trnk.tmp")));
    EXPECT_FALSE(fs::exists(target));
    EXPECT_THROW((void)b.build(target, [](std::uint64_t, std::uint64_t) -> bool { throw std::runtime_error("x"); }),
                 std::runtime_error);
    EXPECT_FALSE(fs::exists(at("db.trnk.tmp")));
    ASSERT_TRUE(b.build(target));
    EXPECT_TRUE(slurp(target) == b.image());
}

// A file at the temporary path that no live build holds is never written through: it is
// removed and the store created afresh, owned by this process with the mode the umask gives.
TEST_F(TempDir, LeftoverIsReplacedNeverWrittenThrough) {
    const std::string tmp = at("db.trnk.tmp");
    // A hard link to someone's file, planted at the temporary name.
    const std::string victim = at("victim");
    std::ofstream(victim) << "keep";
    ::chmod(victim.c_str(), 0666);
    ASSERT_EQ(::link(victim.c_str(), tmp.c_str()), 0);
    StoreBuilder b;
    ASSERT_TRUE(b.add_object("v"));
    ASSERT_TRUE(b.build(at("db.trnk")));
    struct stat v, t;
    ASSERT_EQ(::stat(victim.c_str(), &v), 0);
    ASSERT_EQ(::stat(at("db.trnk").c_str(), &t), 0);
    EXPECT_EQ(slurp(victim), "keep");
    EXPECT_EQ(v.st_nlink, 1u);
    EXPECT_NE(v.st_ino, t.st_ino);

    // A dead build's leftover with another mode: the new store has the umask's mode.
    std::ofstream(tmp) << std::string(4096, 'x');
    ::chmod(tmp.c_str(), 0606);
    const mode_t old = ::umask(022);
    const auto st = b.build(at("db.trnk"));
    ::umask(old);
    ASSERT_TRUE(st);
    ASSERT_EQ(::stat(at("db.trnk").c_str(), &t), 0);
    EXPECT_EQ(t.st_mode & 0777, 0644u);
    EXPECT_EQ(slurp(at("db.trnk")), b.image());
    EXPECT_FALSE(fs::exists(tmp));
}

// A FIFO is refused at once, without being opened (an open for writing would wait for a reader
// forever) or removed.
TEST_F(TempDir, FifoAtTemporaryPathIsRefusedAtOnce) {
    const std::string tmp = at("db.trnk.tmp");
    ASSERT_EQ(::mkfifo(tmp.c_str(), 0666), 0);
    StoreBuilder b;
    ASSERT_TRUE(b.add_object("v"));
    auto build = std::async(std::launch::async, [&] { return b.build(at("db.trnk")); });
    if (build.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        const int reader = ::open(tmp.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // lets the build go on
        build.wait();
        if (reader >= 0) ::close(reader);
        FAIL() << "the build waited on the FIFO";
    }
    const auto st = build.get();
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().display(), "TarnIOError: open tmp: " + tmp + " is not a regular file");
    struct stat sb;
    ASSERT_EQ(::lstat(tmp.c_str(), &sb), 0);
    EXPECT_TRUE(S_ISFIFO(sb.st_mode));
    EXPECT_FALSE(fs::exists(at("db.trnk")));
}

}  // namespace
}  // namespace tarnkv::testing

namespace tarnkv::testing {
namespace {

// Key families that the ranking of a build treats apart: short keys with no stem; one long
// stem shared by every key, so that the ranked bytes start after it and run to sixteen; keys
// that differ in their first byte and then agree on the next fifteen (ties in the ranked bytes,
// settled by the whole keys); and keys that differ only in trailing NULs, which the zero
// padding of the ranked bytes makes tie.
std::string family_key(int family, std::mt19937& rng) {
    const auto digits = [&](int n) {
        std::string s;
        for (int i = 0; i < n; ++i) s += static_cast<char>('0' + rng() % 10);
        return s;
    };
    switch (family) {
        case 0: return std::string(rng() % 5, 'k') + digits(static_cast<int>(rng() % 6));
        case 1: return "https://example.com/items/" + digits(12);
        case 2: return std::string(1, static_cast<char>('A' + rng() % 3)) + std::string(16, 'x') + digits(3);
        default: return std::string("a") + std::string(rng() % 6, '\0') + (rng() % 3 ? "" : digits(1));
    }
}

class ManyKeys : public ::testing::TestWithParam<int> {};

// Keys added in random order and re-pointed at random: the builder counts and finds each one's
// last mapping, its index is the model's (whole keys in unsigned byte order), and the file a
// build writes is its image.
TEST_P(ManyKeys, SortAndKeepTheirLastMapping) {
    std::mt19937 rng(static_cast<unsigned>(GetParam()) + 11);
    StoreBuilder b;
    std::vector<std::uint64_t> offsets;
    std::uint64_t at = format::kHeaderSize;
    for (int i = 0; i < 300; ++i) {
        const std::string o = "object " + std::to_string(i);
        ASSERT_TRUE(b.add_object(o));
        offsets.push_back(at);
        at += format::kRecordHeaderSize + o.size();
    }
    std::vector<std::string> pool;
    for (int i = 0; i < 5000; ++i) pool.push_back(family_key(GetParam(), rng));
    pool.push_back("");
    std::map<std::string, std::uint32_t> model;
    for (int i = 0; i < 12000; ++i) {
        const std::string& k = pool[rng() % pool.size()];
        const auto id = static_cast<std::uint32_t>(rng() % offsets.size());
        ASSERT_TRUE(b.add_key(k, id));
        model[k] = id;
    }
    ASSERT_EQ(b.num_keys(), model.size());
    std::string expect;
    for (const auto& [k, id] : model) {
        ASSERT_EQ(b.find_key(k), id) << k;
        expect += entry(k, offsets[id]);
    }
    EXPECT_FALSE(b.find_key("absent key"));
    EXPECT_EQ(b.index_section(), expect);

    ScratchDir dir;
    ASSERT_TRUE(b.build(dir.at("s.trnk")));
    EXPECT_EQ(slurp(dir.at("s.trnk")), b.image());
}

// The key-ordered layout against a model: objects in the order of their first key, the
// unnamed ones left out, the entries pointing at the moved records, and the file a build
// writes its image.
TEST_P(ManyKeys, KeyOrderedLayoutPlacesEachObjectAtItsFirstKey) {
    std::mt19937 rng(static_cast<unsigned>(GetParam()) + 29);
    StoreBuilder b;
    b.order_objects_by_key(true);
    std::vector<std::string> objects;
    for (int i = 0; i < 300; ++i) {
        objects.push_back("object " + std::to_string(i) + std::string(rng() % 20, '.'));
        ASSERT_TRUE(b.add_object(objects.back()));
    }
    std::vector<std::string> pool;
    for (int i = 0; i < 3000; ++i) pool.push_back(family_key(GetParam(), rng));
    std::map<std::string, std::uint32_t> model;
    for (int i = 0; i < 6000; ++i) {
        const std::string& k = pool[rng() % pool.size()];
        const auto id = static_cast<std::uint32_t>(rng() % 250);  // 250 to 299 are never named
        ASSERT_TRUE(b.add_key(k, id));
        model[k] = id;
    }
    std::map<std::uint32_t, std::uint64_t> placed;
    std::string data, index;
    for (const auto& [k, id] : model) {
        if (!placed.contains(id)) {
            placed[id] = format::kHeaderSize + data.size();
            data += record(objects[id]);
        }
        index += entry(k, placed[id]);
    }
    ASSERT_LT(placed.size(), 250u + 1);
    const std::string expect = header(static_cast<std::uint32_t>(model.size()), static_cast<std::uint32_t>(placed.size()),
                                      format::kHeaderSize + data.size(), format::crc32(data + index)) +
                               data + index;
    EXPECT_EQ(b.image(), expect);
    EXPECT_EQ(b.index_section(), index);
    ScratchDir dir;
    auto info = b.build(dir.at("s.trnk"));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->num_objects, placed.size());
    EXPECT_EQ(slurp(dir.at("s.trnk")), expect);
    // Leaving the unnamed out beforehand changes nothing.
    EXPECT_EQ((*b.without_unreferenced())->image(), expect);
}

// The record offsets of an image's index entries, in key order.
std::vector<std::uint64_t> entry_offsets(std::string_view image) {
    std::vector<std::uint64_t> out;
    std::size_t at = format::load_be64(reinterpret_cast<const unsigned char*>(image.data()) + 16);
    while (at < image.size()) {
        const auto* p = reinterpret_cast<const unsigned char*>(image.data()) + at;
        const std::size_t len = std::size_t{p[0]} << 8 | p[1];
        out.push_back(format::load_be64(p + 2 + len));
        at += format::entry_size(len);
    }
    return out;
}

// A compressed store in key order: the dictionary stays the first record, the objects follow
// their keys, and every one reads back as it was put.
TEST(BuilderImage, CompressedKeyOrderedStoreKeepsTheDictionaryFirst) {
    std::mt19937 rng(5);
    std::vector<int> order(400);
    for (int i = 0; i < 400; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    StoreBuilder b;
    b.order_objects_by_key(true);
    ASSERT_TRUE(b.compress(3));
    for (const int i : order) {
        auto id = b.add_object(std::format(R"({{"name":"user {}","mail":"u{}@example.org","n":{}}})", i, i, i * 7));
        ASSERT_TRUE(id);
        ASSERT_TRUE(b.add_key(std::format("user:{:05}", i), *id));
    }
    const std::string image = b.image();
    const auto offsets = entry_offsets(image);
    ASSERT_EQ(offsets.size(), 400u);
    // The first object's record comes right after the dictionary's, trained by the build.
    const std::uint64_t dictionary_size = format::load_be32(reinterpret_cast<const unsigned char*>(image.data()) + 40);
    EXPECT_GT(dictionary_size, 256u);
    EXPECT_EQ(offsets[0], format::kHeaderSize + format::kRecordHeaderSize + dictionary_size);
    EXPECT_TRUE(std::is_sorted(offsets.begin(), offsets.end()));
    EXPECT_EQ(std::adjacent_find(offsets.begin(), offsets.end()), offsets.end());
    ScratchDir dir;
    StoreReader r = open_ok(dir, image);
    ASSERT_TRUE(r.enable_decoding());
    std::string scratch;
    for (const int i : {0, 17, 399}) {
        auto got = r.decode(*r.object_at(*r.lookup(std::format("user:{:05}", i))), scratch);
        ASSERT_TRUE(got);
        EXPECT_EQ(*got, std::format(R"({{"name":"user {}","mail":"u{}@example.org","n":{}}})", i, i, i * 7));
    }
}

std::string family_name(const ::testing::TestParamInfo<int>& info) {
    const char* names[] = {"Short", "LongStem", "TieInRankedBytes", "TrailingNuls"};
    return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(Families, ManyKeys, ::testing::Values(0, 1, 2, 3), family_name);

}  // namespace
}  // namespace tarnkv::testing
