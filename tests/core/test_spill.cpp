// Spilling builder: the file it writes from runs equals the in-memory builder's, byte for byte,
// whatever the spills cut through; keys given twice are settled as the writer's policy says;
// and its runs go with it.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <format>
#include <fstream>
#include <iterator>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "core/writer/spill_builder.hpp"
#include "test_util.hpp"

namespace fs = std::filesystem;

namespace tarnkv::testing {
namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// One step of a writer's life, replayed into both builders.
struct Step {
    enum Kind { Object, Key } kind;
    std::string bytes;  // the object, or the key
    std::uint64_t id = 0;
};

// The in-memory builder under a policy: what the package's writer does with a key given again.
void replay_in_memory(StoreBuilder& b, const std::vector<Step>& steps, sets::Policy policy) {
    for (const Step& s : steps) {
        if (s.kind == Step::Object) {
            ASSERT_TRUE(b.add_object(s.bytes));
            continue;
        }
        const auto existing = b.find_key(s.bytes);
        if (existing && policy == sets::Policy::First) continue;
        ASSERT_TRUE(b.add_key(s.bytes, s.id));
    }
}

void replay_spilling(SpillingBuilder& b, const std::vector<Step>& steps) {
    for (const Step& s : steps) {
        if (s.kind == Step::Object)
            ASSERT_TRUE(b.add_object(s.bytes));
        else
            ASSERT_TRUE(b.add_key(s.bytes, s.id));
    }
}

// Objects put under shuffled keys, some given again, some aliased to objects long past, some
// never named.
std::vector<Step> workload(std::uint32_t seed, int n) {
    std::mt19937 rng(seed);
    std::vector<Step> steps;
    std::uint64_t objects = 0;
    for (int i = 0; i < n; ++i) {
        steps.push_back({Step::Object, std::string(rng() % 40 + 1, static_cast<char>('a' + i % 26)) + std::to_string(i)});
        const std::uint64_t id = objects++;
        if (rng() % 10 == 0) continue;  // never named
        steps.push_back({Step::Key, "k" + std::to_string(rng() % (n * 3 / 4)), id});
        if (rng() % 5 == 0) steps.push_back({Step::Key, "alias" + std::to_string(rng() % n), rng() % objects});
    }
    return steps;
}

// The in-memory build of `steps` under `policy` at `want`, as the spilling build must write it.
void build_in_memory(StoreBuilder& memory, const std::vector<Step>& steps, sets::Policy policy, bool by_key,
                     const std::string& want) {
    memory.order_objects_by_key(by_key);
    replay_in_memory(memory, steps, policy);
    ASSERT_TRUE(memory.count_unreferenced() == 0 ? memory.build(want)
                                                 : (*memory.without_unreferenced())->build(want));
}

// A policy, and whether objects go in key order.
class Spill : public ::testing::TestWithParam<std::tuple<sets::Policy, bool>> {
protected:
    ScratchDir dir_;
};

TEST_P(Spill, FileEqualsTheInMemoryBuildsAndRunsGoWithTheBuilder) {
    const auto [policy, by_key] = GetParam();
    const auto steps = workload(7, 5000);
    StoreBuilder memory;
    const std::string want = dir_.at("want.trnk");
    build_in_memory(memory, steps, policy, by_key, want);
    std::string spill_dir;
    {
        // A buffer of 2 KiB: hundreds of sections, and keys whose entries lie in many of them.
        auto spilling = SpillingBuilder::create(dir_.path(), 2048, policy, by_key);
        ASSERT_TRUE(spilling);
        spill_dir = (*spilling)->directory();
        replay_spilling(**spilling, steps);
        const std::string got = dir_.at("got.trnk");
        auto info = (*spilling)->build(got);
        ASSERT_TRUE(info) << info.error().message();
        EXPECT_EQ(slurp(got), slurp(want));
        EXPECT_EQ(info->info.num_objects + info->dropped + info->idle, (*spilling)->num_objects());
        // Replayed in memory, an object whose keys were all taken is stored and left out.
        EXPECT_EQ(info->dropped + info->idle, memory.count_unreferenced());
        EXPECT_EQ(info->idle == 0, policy == sets::Policy::Last);
        // Building again after more is added: the runs so far stay and a new one follows.
        ASSERT_TRUE((*spilling)->add_object("late"));
        ASSERT_TRUE((*spilling)->add_key("zz-late", (*spilling)->num_objects() - 1));
        ASSERT_TRUE(memory.add_object("late"));
        ASSERT_TRUE(memory.add_key("zz-late", memory.num_objects() - 1));
        ASSERT_TRUE((*spilling)->build(got));
        ASSERT_TRUE((*memory.without_unreferenced())->build(want));
        EXPECT_EQ(slurp(got), slurp(want));
        EXPECT_FALSE(fs::is_empty(spill_dir));
    }
    EXPECT_FALSE(fs::exists(spill_dir));
}

// Sections whose entries outgrow a cursor's read buffer many times over: a key's entries in
// several sections are met across refills of each, and settled as in memory.
TEST_P(Spill, FileEqualsTheInMemoryBuildsWhenSectionsOutgrowTheReadBuffer) {
    const auto [policy, by_key] = GetParam();
    const auto steps = workload(11, 80000);
    StoreBuilder memory;
    const std::string want = dir_.at("want.trnk");
    build_in_memory(memory, steps, policy, by_key, want);
    // About 13,000 objects and 400 KB of entries a section.
    auto spilling = SpillingBuilder::create(dir_.path(), 1 << 20, policy, by_key);
    ASSERT_TRUE(spilling);
    replay_spilling(**spilling, steps);
    const std::string got = dir_.at("got.trnk");
    auto info = (*spilling)->build(got);
    ASSERT_TRUE(info) << info.error().message();
    EXPECT_EQ(slurp(got), slurp(want));
}

// Compressed, in key order: the dictionary both builds train (on a sample of what they store,
// taken in ID order) is the same, and so is every byte; and the objects read back as put.
TEST_P(Spill, CompressedFileEqualsTheInMemoryBuilds) {
    const auto [policy, by_key] = GetParam();
    if (!by_key) GTEST_SKIP() << "compressing spilling builds go in key order";
    const auto steps = workload(9, 30000);  // more objects than the sample holds
    StoreBuilder memory;
    memory.order_objects_by_key(true);
    ASSERT_TRUE(memory.compress(3));
    replay_in_memory(memory, steps, policy);
    const std::string want = dir_.at("want.trnk");
    ASSERT_TRUE(memory.build(want));
    auto spilling = SpillingBuilder::create(dir_.path(), 1 << 16, policy, true);
    ASSERT_TRUE(spilling);
    ASSERT_TRUE((*spilling)->compress(3));
    replay_spilling(**spilling, steps);
    const std::string got = dir_.at("got.trnk");
    auto info = (*spilling)->build(got);
    ASSERT_TRUE(info) << info.error().message();
    const std::string bytes = slurp(got);
    EXPECT_EQ(bytes, slurp(want));
    EXPECT_EQ(bytes, memory.image());
    auto r = StoreReader::open(got, true);
    ASSERT_TRUE(r);
    ASSERT_TRUE(r->enable_decoding());
    std::vector<std::string> objects;  // by ID
    for (const Step& s : steps)
        if (s.kind == Step::Object) objects.push_back(s.bytes);
    std::string scratch;
    std::size_t checked = 0;
    for (const Step& s : steps) {
        if (s.kind != Step::Key || memory.find_key(s.bytes) != s.id) continue;
        const auto at = r->lookup(s.bytes);
        ASSERT_TRUE(at);
        auto object = r->decode(*r->object_at(*at), scratch);
        ASSERT_TRUE(object);
        EXPECT_EQ(*object, objects[s.id]);
        ++checked;
    }
    EXPECT_GT(checked, 1000u);
}

// Large objects among small ones: both builds compress chunks of fewer objects where they are
// large (one alone past a megabyte), on every core, and write them in order; the spilling
// build's chunks are smaller (a share of its run buffer), and the file is still the same.
TEST(SpillCompression, LargeObjectsAmongSmallOnesGiveTheSameFile) {
    ScratchDir dir;
    std::mt19937 rng(11);
    std::vector<Step> steps;
    for (std::uint64_t i = 0; i < 6000; ++i) {
        std::string object = std::format("{{\"id\": {}, \"name\": \"item{}\"}}", i, rng() % 1000);
        if (i % 200 == 7) {
            const std::size_t n = (i % 3 + 1) * 450'000;  // up to 1.35 MB
            while (object.size() < n) object += std::format(" word{}", rng() % 500);
        }
        steps.push_back({Step::Object, std::move(object)});
        steps.push_back({Step::Key, std::format("k{:05}", (i * 7919) % 6000), i});
    }
    StoreBuilder memory;
    memory.order_objects_by_key(true);
    ASSERT_TRUE(memory.compress(3));
    replay_in_memory(memory, steps, sets::Policy::Last);
    const std::string want = dir.at("want.trnk");
    ASSERT_TRUE(memory.build(want));
    auto spilling = SpillingBuilder::create(dir.path(), 1 << 20, sets::Policy::Last, true);
    ASSERT_TRUE(spilling);
    ASSERT_TRUE((*spilling)->compress(3));
    replay_spilling(**spilling, steps);
    const std::string got = dir.at("got.trnk");
    auto info = (*spilling)->build(got);
    ASSERT_TRUE(info) << info.error().message();
    EXPECT_EQ(slurp(got), slurp(want));
    auto r = StoreReader::open(want, true);
    ASSERT_TRUE(r);
    ASSERT_TRUE(r->enable_decoding());
    std::string scratch;
    for (const Step& s : steps) {
        if (s.kind != Step::Key) continue;
        auto object = r->decode(*r->object_at(*r->lookup(s.bytes)), scratch);
        ASSERT_TRUE(object);
        ASSERT_EQ(*object, steps[2 * s.id].bytes) << s.bytes;
    }
}

// A stop heard while the compressed records go out, with every core at work on chunks: the
// build fails as cancelled, hears nothing more, leaves no file and no scratch beside the runs,
// and a build after it publishes the whole store.
TEST(SpillCompression, AStopWhileCompressingPublishesNothingAndKeepsTheRuns) {
    ScratchDir dir;
    std::mt19937_64 rng(3);
    auto spilling = SpillingBuilder::create(dir.path(), 1 << 20, sets::Policy::Last, true);
    ASSERT_TRUE(spilling);
    ASSERT_TRUE((*spilling)->compress(3));
    // Random bytes do not shrink: the data section passes the first progress step (32 MiB).
    constexpr std::uint32_t kObjects = 12000;
    std::string object(3000, '\0');
    for (std::uint32_t i = 0; i < kObjects; ++i) {
        for (std::size_t j = 0; j + 8 <= object.size(); j += 8) {
            const std::uint64_t r = rng();
            std::memcpy(object.data() + j, &r, 8);
        }
        std::memcpy(object.data(), &i, sizeof i);
        ASSERT_TRUE((*spilling)->add_object(object));
        ASSERT_TRUE((*spilling)->add_key(std::format("k{:05}", (i * 7919) % kObjects), i));
    }
    const std::string got = dir.at("got.trnk");
    int calls = 0;
    auto stopped = (*spilling)->build(got, [&](std::uint64_t done, std::uint64_t total) {
        ++calls;
        EXPECT_LT(done, total);
        return false;
    });
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error().message(), kCancelled);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(fs::exists(got));
    EXPECT_FALSE(fs::exists(dir.at("got.trnk.tmp")));
    for (const auto& e : fs::directory_iterator((*spilling)->directory()))
        EXPECT_TRUE(e.path().filename().string().starts_with("run-")) << e.path();
    auto info = (*spilling)->build(got);
    ASSERT_TRUE(info) << info.error().message();
    EXPECT_EQ(info->info.num_objects, kObjects);
    auto r = StoreReader::open(got, true);
    ASSERT_TRUE(r);
    ASSERT_TRUE(r->enable_decoding());
    std::string scratch;
    for (const std::uint32_t i : {0u, 1u, 5000u, kObjects - 1}) {
        auto stored = r->decode(*r->object_at(*r->lookup(std::format("k{:05}", (i * 7919) % kObjects))), scratch);
        ASSERT_TRUE(stored);
        ASSERT_EQ(stored->size(), object.size());
        std::uint32_t id;
        std::memcpy(&id, stored->data(), sizeof id);
        EXPECT_EQ(id, i);
    }
}

TEST(SpillCompression, OnlyInKeyOrderAndBeforeTheFirstObject) {
    ScratchDir dir;
    auto plain = SpillingBuilder::create(dir.path(), 1024, sets::Policy::Error, false);
    ASSERT_TRUE(plain);
    EXPECT_FALSE((*plain)->compress(3));
    auto keyed = SpillingBuilder::create(dir.path(), 1024, sets::Policy::Error, true);
    ASSERT_TRUE(keyed);
    ASSERT_TRUE((*keyed)->add_object("x"));
    EXPECT_FALSE((*keyed)->compress(3));
}

INSTANTIATE_TEST_SUITE_P(Policies, Spill,
                         ::testing::Combine(::testing::Values(sets::Policy::First, sets::Policy::Last),
                                            ::testing::Bool()));

TEST(SpillPolicy, ErrorNamesBothObjectsAndPublishesNothing) {
    ScratchDir dir;
    auto b = SpillingBuilder::create(dir.path(), 64, sets::Policy::Error);
    ASSERT_TRUE(b);
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE((*b)->add_object("obj" + std::to_string(i)));
        ASSERT_TRUE((*b)->add_key("key" + std::to_string(i), i));
    }
    ASSERT_TRUE((*b)->add_key("key3", 3));  // named again by its own object: no conflict
    ASSERT_TRUE((*b)->add_key("key7", 42));
    const auto built = (*b)->build(dir.at("out.trnk"));
    ASSERT_FALSE(built);
    ASSERT_TRUE((*b)->duplicate());
    EXPECT_EQ((*b)->duplicate()->key, "key7");
    EXPECT_EQ((*b)->duplicate()->existing, 7u);
    EXPECT_EQ((*b)->duplicate()->wanted, 42u);
    EXPECT_FALSE(fs::exists(dir.at("out.trnk")));
    EXPECT_FALSE(fs::exists(dir.at("out.trnk.tmp")));
}

TEST(SpillPolicy, FirstCountsObjectsWhoseKeysWereAllTakenApartFromTheDropped) {
    ScratchDir dir;
    auto b = SpillingBuilder::create(dir.path(), 32, sets::Policy::First);
    ASSERT_TRUE(b);
    ASSERT_TRUE((*b)->add_object("a"));
    ASSERT_TRUE((*b)->add_key("k", 0));
    ASSERT_TRUE((*b)->add_object("never named"));
    ASSERT_TRUE((*b)->add_object("b"));
    ASSERT_TRUE((*b)->add_key("k", 2));
    const auto built = (*b)->build(dir.at("out.trnk"));
    ASSERT_TRUE(built);
    EXPECT_EQ(built->info.num_objects, 1u);
    EXPECT_EQ(built->dropped, 1u);
    EXPECT_EQ(built->idle, 1u);
    EXPECT_EQ(built->repeated, 1u);
}

// A spill of objects with no key yet must keep them: aliases name them later.
TEST(SpillRuns, ObjectsWithoutKeysSurviveASpill) {
    ScratchDir dir;
    auto b = SpillingBuilder::create(dir.path(), 16, sets::Policy::Error);
    ASSERT_TRUE(b);
    for (int i = 0; i < 20; ++i) ASSERT_TRUE((*b)->add_object("object number " + std::to_string(i)));
    for (int i = 19; i >= 0; --i) ASSERT_TRUE((*b)->add_key("k" + std::to_string(100 + i), i));
    const auto built = (*b)->build(dir.at("out.trnk"));
    ASSERT_TRUE(built) << built.error().message();
    auto r = StoreReader::open(dir.at("out.trnk"), true);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->num_objects(), 20u);
    const auto got = r->get_raw("k105");
    ASSERT_TRUE(got && *got);
    EXPECT_EQ(**got, "object number 5");
}

TEST(SpillRuns, TakingOverAnInMemoryBuilderKeepsItsIds) {
    for (const bool by_key : {false, true}) {
        ScratchDir dir;
        StoreBuilder memory;
        memory.order_objects_by_key(by_key);
        ASSERT_TRUE(memory.add_object("zero"));
        ASSERT_TRUE(memory.add_object("one"));
        ASSERT_TRUE(memory.add_key("b", 0));
        ASSERT_TRUE(memory.add_key("a", 1));
        auto b = SpillingBuilder::create(dir.path(), 1 << 20, sets::Policy::Last, by_key);
        ASSERT_TRUE(b);
        ASSERT_TRUE((*b)->take_over(memory));
        EXPECT_EQ((*b)->num_objects(), 2u);
        ASSERT_TRUE((*b)->add_key("b", 1));
        ASSERT_TRUE(memory.add_key("b", 1));
        ASSERT_TRUE((*b)->build(dir.at("got.trnk")));
        ASSERT_TRUE((*memory.without_unreferenced())->build(dir.at("want.trnk")));
        EXPECT_EQ(slurp(dir.at("got.trnk")), slurp(dir.at("want.trnk")));
    }
}

// In key order, a spilled build reads each object back from whichever run holds it: objects
// added in reverse key order, over many runs, come out front to back by key.
TEST(SpillRuns, KeyOrderedBuildReadsObjectsBackAcrossRuns) {
    ScratchDir dir;
    auto b = SpillingBuilder::create(dir.path(), 64, sets::Policy::Error, true);
    ASSERT_TRUE(b);
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE((*b)->add_object("object " + std::to_string(199 - i)));
        ASSERT_TRUE((*b)->add_key(std::format("k{:03}", 199 - i), i));
    }
    ASSERT_TRUE((*b)->build(dir.at("out.trnk")));
    const std::string file = slurp(dir.at("out.trnk"));
    std::string data;
    for (int i = 0; i < 200; ++i) data += record("object " + std::to_string(i));
    EXPECT_EQ(file.substr(format::kHeaderSize, data.size()), data);
}

// In key order, objects of every size: small ones gathered with others, ones too large for
// the buffers that carry them, and ones larger than a whole part of the key order, each of
// which then has a part of its own. The file is the in-memory builder's, byte for byte.
TEST(SpillRuns, KeyOrderedBuildOfSmallAndLargeObjectsEqualsTheInMemoryOne) {
    ScratchDir dir;
    StoreBuilder memory;
    memory.order_objects_by_key(true);
    auto b = SpillingBuilder::create(dir.path(), 16 << 10, sets::Policy::Error, true);
    ASSERT_TRUE(b);
    std::vector<std::uint32_t> key_of(300);
    std::iota(key_of.begin(), key_of.end(), 0u);
    std::shuffle(key_of.begin(), key_of.end(), std::mt19937(11));
    for (std::uint32_t i = 0; i < key_of.size(); ++i) {
        const std::size_t size = i % 7 == 0 ? 20000 + i : i % 3 == 0 ? 5000 : 30 + i % 50;
        const std::string object(size, static_cast<char>('a' + i % 26));
        const std::string key = std::format("k{:04}", key_of[i]);
        ASSERT_TRUE(memory.add_object(object));
        ASSERT_TRUE(memory.add_key(key, i));
        ASSERT_TRUE((*b)->add_object(object));
        ASSERT_TRUE((*b)->add_key(key, i));
    }
    ASSERT_TRUE(memory.build(dir.at("want.trnk")));
    const auto built = (*b)->build(dir.at("got.trnk"));
    ASSERT_TRUE(built) << built.error().message();
    EXPECT_EQ(slurp(dir.at("got.trnk")), slurp(dir.at("want.trnk")));
}

// In key order, a spilled build of objects added in shuffled key order must not keep the runs
// it reads mapped: mapped pages of a file count in the process's peak RSS just as its own
// allocations do. 96 MiB of records, spilled 16 MiB at a time: reading them at random through
// the mapping would leave most of them mapped; the build's own needs here are a few MiB.
TEST(SpillRuns, KeyOrderedBuildKeepsLittleOfItsRunsMapped) {
#if TARNKV_TEST_UNDER_ASAN
    GTEST_SKIP() << "AddressSanitizer's own memory (quarantine, shadow) counts in the peak RSS";
#endif
    ScratchDir dir;
    constexpr std::uint32_t kObjects = 384 * 1024;
    auto b = SpillingBuilder::create(dir.path(), 16 << 20, sets::Policy::Error, true);
    ASSERT_TRUE(b);
    std::vector<std::uint32_t> key_of(kObjects);
    std::iota(key_of.begin(), key_of.end(), 0u);
    std::shuffle(key_of.begin(), key_of.end(), std::mt19937(5));
    std::string object(248, 'o');
    for (std::uint32_t i = 0; i < kObjects; ++i) {
        std::memcpy(object.data(), &i, sizeof i);
        ASSERT_TRUE((*b)->add_object(object));
        ASSERT_TRUE((*b)->add_key(std::format("k{:08}", key_of[i]), i));
    }
    if (!reset_peak_rss()) GTEST_SKIP() << "cannot reset the peak RSS here";
    const long before = status_kib("VmRSS");
    const auto built = (*b)->build(dir.at("out.trnk"));
    const long peak = status_kib("VmHWM");
    ASSERT_TRUE(built) << built.error().message();
    EXPECT_EQ(built->info.num_objects, kObjects);
    EXPECT_LT(peak - before, 40L << 10) << "peak RSS rose by " << (peak - before) / 1024 << " MiB";
    // Spot checks that each key still finds its own object.
    auto r = StoreReader::open(dir.at("out.trnk"), true);
    ASSERT_TRUE(r);
    for (const std::uint32_t id : {0u, 1u, kObjects / 2, kObjects - 1}) {
        const auto got = r->get_raw(std::format("k{:08}", key_of[id]));
        ASSERT_TRUE(got && *got);
        std::uint32_t stored;
        std::memcpy(&stored, (*got)->data(), sizeof stored);
        EXPECT_EQ(stored, id);
    }
}

// A build far larger than its memory limit spills hundreds of sections, and the merge reads
// them all at once: what each section costs it must be the cursor's own small buffer, whatever
// the page cache does (walking the entries through the mapping kept a folio of each mapped).
// 160 sections of 2,048 keys of 200 bytes each: 70 MiB of entries.
TEST(SpillRuns, AMergeOfManySectionsKeepsLittleOfEach) {
#if TARNKV_TEST_UNDER_ASAN
    GTEST_SKIP() << "AddressSanitizer's own memory (quarantine, shadow) counts in the peak RSS";
#endif
    ScratchDir dir;
    constexpr std::uint32_t kSections = 160, kPerSection = 2048, kObjects = kSections * kPerSection;
    // Each object costs its record (8 + 8 bytes) and its key (200 bytes and 32 of bookkeeping)
    // in the run's buffer: a spill every kPerSection of them.
    auto b = SpillingBuilder::create(dir.path(), std::uint64_t{kPerSection} * 248 - 1, sets::Policy::Error, true);
    ASSERT_TRUE(b);
    std::vector<std::uint32_t> key_of(kObjects);
    std::iota(key_of.begin(), key_of.end(), 0u);
    std::shuffle(key_of.begin(), key_of.end(), std::mt19937(9));
    std::string key(200, '/');
    for (std::uint32_t i = 0; i < kObjects; ++i) {
        const std::uint64_t object = i;
        ASSERT_TRUE((*b)->add_object({reinterpret_cast<const char*>(&object), sizeof object}));
        std::format_to(key.begin(), "{:08}", key_of[i]);
        ASSERT_TRUE((*b)->add_key(key, i));
    }
    if (!reset_peak_rss()) GTEST_SKIP() << "cannot reset the peak RSS here";
    const long before = status_kib("VmRSS");
    const auto built = (*b)->build(dir.at("out.trnk"));
    const long peak = status_kib("VmHWM");
    ASSERT_TRUE(built) << built.error().message();
    EXPECT_EQ(built->info.num_keys, kObjects);
    // The build's own needs (IDs, offsets, write buffers) come to about 16 MiB here, and a
    // cursor's buffer to 68 KiB.
    EXPECT_LT(peak - before, (16L << 10) + kSections * 128L)
        << "peak RSS rose by " << (peak - before) / 1024 << " MiB";
    auto r = StoreReader::open(dir.at("out.trnk"), true);
    ASSERT_TRUE(r);
    for (const std::uint32_t id : {0u, kObjects / 3, kObjects - 1}) {
        std::format_to(key.begin(), "{:08}", key_of[id]);
        const auto got = r->get_raw(key);
        ASSERT_TRUE(got && *got);
        EXPECT_EQ((*got)->size(), sizeof(std::uint64_t));
        std::uint64_t stored;
        std::memcpy(&stored, (*got)->data(), sizeof stored);
        EXPECT_EQ(stored, id);
    }
}

}  // namespace
}  // namespace tarnkv::testing
