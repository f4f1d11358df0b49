// The pieces of sharded builds: the streaming writer, run files and the merges over them.
#include <filesystem>
#include <format>
#include <algorithm>
#include <cstring>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <tuple>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/format/batch.hpp"
#include "core/format/compression.hpp"
#include "core/sets/merge.hpp"
#include "core/sets/run_layout.hpp"
#include "core/sets/runs.hpp"
#include "core/writer/stream_builder.hpp"
#include "test_util.hpp"

namespace tarnkv::testing {
namespace {

using sets::Policy;

// Every key of a store and the bytes of its object.
std::map<std::string, std::string> contents(const std::string& path) {
    auto r = StoreReader::open(path, true);
    if (!r) throw std::runtime_error(r.error().display());
    EXPECT_TRUE(r->verify().has_value());
    std::map<std::string, std::string> out;
    for (std::size_t i = 0; i < r->entry_count(); ++i) out[std::string(r->key_at(i))] = std::string(*r->object_at(r->offset_at(i)));
    return out;
}

struct Rec {
    std::uint64_t seq;
    std::vector<std::string_view> keys;
    std::string_view object;
};

// One partition's run file with the given records, for `shards` shards.
std::string run_file(const ScratchDir& dir, const std::string& name, std::uint32_t shards, std::vector<Rec> recs,
                     std::uint64_t spill = 1 << 20) {
    auto w = sets::RunWriter::create(dir.at(name + ".tmp"), shards, spill, false);
    EXPECT_TRUE(w.has_value());
    for (const Rec& r : recs) EXPECT_TRUE(w->add(r.seq, r.keys, r.object).has_value());
    EXPECT_TRUE(w->finish(dir.at(name)).has_value());
    return dir.at(name);
}

// Merges every shard of `runs`; returns each shard's contents (empty map for a duplicate).
std::vector<std::map<std::string, std::string>> merge_all(const ScratchDir& dir, std::vector<std::string> runs,
                                                          std::uint32_t shards, Policy policy) {
    std::vector<std::map<std::string, std::string>> out;
    for (std::uint32_t s = 0; s < shards; ++s) {
        const std::string path = dir.at("shard" + std::to_string(s) + ".trnk");
        auto m = sets::merge_runs(runs, shards, s, policy, path + ".tmp", path);
        if (!m) throw std::runtime_error(m.error().display());
        out.push_back(m->info ? contents(path) : std::map<std::string, std::string>{});
    }
    return out;
}

TEST(StreamBuilder, WritesWhatTheReaderReadsAndRefusesKeysOutOfOrder) {
    ScratchDir dir;
    auto b = StreamBuilder::create(dir.at("s.tmp"));
    ASSERT_TRUE(b.has_value());
    const auto a = b->add_object("one");
    ASSERT_TRUE(a.has_value());
    ASSERT_TRUE(b->add_key("a", *a).has_value());
    ASSERT_TRUE(b->add_key("b", *a).has_value());  // two keys, one record
    EXPECT_FALSE(b->add_key("b", *a).has_value());
    EXPECT_FALSE(b->add_key("a", *a).has_value());
    const auto info = b->finish(dir.at("s.trnk"));
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(slurp(dir.at("s.trnk")), built({"one"}, {{"a", 0}, {"b", 0}}));  // byte for byte
    EXPECT_EQ(info->file_size, 73u);
    EXPECT_FALSE(std::filesystem::exists(dir.at("s.tmp")));
    EXPECT_FALSE(StreamBuilder::create(dir.at("s.trnk")).has_value());  // never over an existing file
}

// Every key of a store and its object as put (decoded when the store is compressed), and
// whether it is.
std::pair<std::map<std::string, std::string>, bool> decoded(const std::string& path) {
    auto r = StoreReader::open(path, true);
    if (!r) throw std::runtime_error(r.error().display());
    EXPECT_TRUE(r->verify().has_value());
    EXPECT_TRUE(r->enable_decoding().has_value());
    std::map<std::string, std::string> out;
    std::string scratch;
    for (std::size_t i = 0; i < r->entry_count(); ++i) {
        auto object = r->decode(*r->object_at(r->offset_at(i)), scratch);
        if (!object) throw std::runtime_error(object.error().display());
        out[std::string(r->key_at(i))] = std::string(*object);
    }
    return {out, r->compressed()};
}

// Objects alike enough for a dictionary to pay.
std::string similar(int i) {
    return std::format(R"({{"id":"user:{:06d}","email":"u{}@example.org","n":{},"tags":["a","b"]}})", i, i, i);
}

TEST(StreamBuilder, ACompressedStoreHoldsItsDictionaryFirstAndRefusesVerbatimRecords) {
    ScratchDir dir;
    std::vector<std::string> objects;
    for (int i = 0; i < 200; ++i) objects.push_back(similar(i));
    std::vector<std::string_view> views(objects.begin(), objects.end());
    const std::string dictionary = format::train_dictionary(views);
    ASSERT_FALSE(dictionary.empty());
    auto b = StreamBuilder::create(dir.at("s.tmp"));
    ASSERT_TRUE(b.has_value());
    ASSERT_TRUE(b->compress(dictionary, 3).has_value());
    EXPECT_FALSE(b->compress(dictionary, 3).has_value());  // once, before any object
    EXPECT_FALSE(b->add_record(record("raw")).has_value());
    EXPECT_FALSE(b->add_records(record("raw"), 1).has_value());
    for (std::size_t i = 0; i < objects.size(); ++i) {
        const auto at = b->add_object(objects[i]);
        ASSERT_TRUE(at.has_value());
        ASSERT_TRUE(b->add_key(std::format("k{:04d}", i), *at).has_value());
    }
    const auto info = b->finish(dir.at("s.trnk"));
    ASSERT_TRUE(info.has_value()) << error_text(info);
    EXPECT_EQ(info->num_objects, objects.size());  // the dictionary is no object
    const auto [got, compressed] = decoded(dir.at("s.trnk"));
    EXPECT_TRUE(compressed);
    ASSERT_EQ(got.size(), objects.size());
    EXPECT_EQ(got.at("k0123"), objects[123]);
    std::uint64_t original = 0;
    for (const auto& o : objects) original += o.size();
    EXPECT_LT(info->file_size, original);

    auto late = StreamBuilder::create(dir.at("t.tmp"));
    ASSERT_TRUE(late->add_object("x").has_value());
    EXPECT_FALSE(late->compress(dictionary, 3).has_value());  // after an object: too late
}

TEST(StreamBuilder, AnAbandonedBuildLeavesNothing) {
    ScratchDir dir;
    {
        auto b = StreamBuilder::create(dir.at("s.tmp"));
        ASSERT_TRUE(b.has_value());
        ASSERT_TRUE(b->add_object(std::string(3 << 20, 'x')).has_value());  // past the buffer
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(Runs, EveryKeyLandsInItsShardAndSharedObjectsStayShared) {
    ScratchDir dir;
    constexpr std::uint32_t kShards = 3;
    std::vector<std::string> keys;
    std::vector<Rec> recs;
    for (int i = 0; i < 300; ++i) keys.push_back("key" + std::to_string(i));
    for (int i = 0; i < 300; i += 3)  // three keys per record, in any shards
        recs.push_back({static_cast<std::uint64_t>(i), {keys[i], keys[i + 1], keys[i + 2]}, keys[i]});
    // Small spills: several sorted sections per shard in one file.
    const auto run = run_file(dir, "p0.run", kShards, recs, 2000);
    const auto shards = merge_all(dir, {run}, kShards, Policy::Error);
    std::size_t total = 0;
    for (std::uint32_t s = 0; s < kShards; ++s) {
        for (const auto& [k, v] : shards[s]) {
            EXPECT_EQ(sets::shard_of(k, kShards), s);
            EXPECT_EQ(v, "key" + std::to_string(std::stoi(k.substr(3)) / 3 * 3));
        }
        total += shards[s].size();
        // Keys of one record in one shard share one record.
        auto r = StoreReader::open(dir.at("shard" + std::to_string(s) + ".trnk"), true);
        std::set<std::string> objects;
        for (const auto& [k, v] : shards[s]) objects.insert(v);
        EXPECT_EQ(r->num_objects(), objects.size());
    }
    EXPECT_EQ(total, 300u);
}

TEST(Runs, DuplicatesFollowThePolicyInRunOrderThenRecordOrder) {
    ScratchDir dir;
    const auto p0 = run_file(dir, "p0.run", 1, {{1, {"a"}, "p0-1"}, {2, {"a"}, "p0-2"}, {3, {"b"}, "p0-b"}});
    const auto p1 = run_file(dir, "p1.run", 1, {{1, {"a"}, "p1-1"}, {2, {"c", "b"}, "p1-cb"}});
    EXPECT_EQ(merge_all(dir, {p0, p1}, 1, Policy::First)[0],
              (std::map<std::string, std::string>{{"a", "p0-1"}, {"b", "p0-b"}, {"c", "p1-cb"}}));
    EXPECT_EQ(StoreReader::open(dir.at("shard0.trnk"), true)->num_objects(), 3u);  // the losers' records left out
    EXPECT_EQ(merge_all(dir, {p0, p1}, 1, Policy::Last)[0],
              (std::map<std::string, std::string>{{"a", "p1-1"}, {"b", "p1-cb"}, {"c", "p1-cb"}}));
    EXPECT_EQ(StoreReader::open(dir.at("shard0.trnk"), true)->num_objects(), 2u);  // b and c share one
    auto m = sets::merge_runs(std::vector<std::string>{p0, p1}, 1, 0, Policy::Error, dir.at("e.tmp"), dir.at("e.trnk"));
    ASSERT_TRUE(m.has_value() && m->duplicate.has_value());
    EXPECT_EQ(m->duplicate->key, "a");
    EXPECT_EQ(std::pair(m->duplicate->first_run, m->duplicate->first_seq), std::pair(std::size_t{0}, std::uint64_t{1}));
    EXPECT_EQ(std::pair(m->duplicate->second_run, m->duplicate->second_seq), std::pair(std::size_t{0}, std::uint64_t{2}));
    EXPECT_FALSE(std::filesystem::exists(dir.at("e.trnk")));
    EXPECT_FALSE(std::filesystem::exists(dir.at("e.tmp")));
}

TEST(Runs, ARunRejectsDuplicatesItselfWhenAsked) {
    ScratchDir dir;
    auto w = sets::RunWriter::create(dir.at("d.tmp"), 2, 1 << 20, true);
    ASSERT_TRUE(w.has_value());
    ASSERT_TRUE(w->add(7, std::vector<std::string_view>{"x"}, "1").has_value());
    ASSERT_TRUE(w->add(9, std::vector<std::string_view>{"x"}, "2").has_value());
    EXPECT_FALSE(w->finish(dir.at("d.run")).has_value());
    ASSERT_TRUE(w->duplicate().has_value());
    EXPECT_EQ(w->duplicate()->first_seq, 7u);
    EXPECT_EQ(w->duplicate()->second_seq, 9u);
}

// A run whose write failed can never be completed: its file goes at once, not when its owner
// lets go of it, and every later call says so.
TEST(Runs, AFailedWriteRemovesTheRunAtOnce) {
    ScratchDir dir;
    auto w = sets::RunWriter::create(dir.at("r.tmp"), 2, 16 * 1024, false);
    ASSERT_TRUE(w.has_value());
    const std::string object(8 * 1024, 'o');
    Status st;
    {
        const FileSizeLimit limit(48 * 1024);
        for (std::uint64_t seq = 0; st && seq < 400; ++seq)  // past the 1 MiB write buffer
            st = w->add(seq, std::vector<std::string_view>{"k" + std::to_string(seq)}, object);
    }
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().display(), "TarnIOError: write run: File too large (os error 27)");
    EXPECT_FALSE(std::filesystem::exists(dir.at("r.tmp")));
    EXPECT_EQ(error_text(w->finish(dir.at("r.run"))), "TarnError: the run failed and was removed");
    EXPECT_FALSE(std::filesystem::exists(dir.at("r.run")));
}

// The merges write through temporaries that a failure removes: nothing is left of an output
// that could not be written whole.
TEST(Merges, AFailedWriteLeavesNoTemporary) {
    ScratchDir dir;
    const std::string big(40 * 1024, 'b');
    const auto run = run_file(dir, "p0.run", 1, {{1, {"a"}, big}, {2, {"b"}, big}});
    {
        const FileSizeLimit limit(64 * 1024);
        EXPECT_EQ(error_text(sets::merge_runs(std::vector<std::string>{run}, 1, 0, Policy::Error, dir.at("m.tmp"),
                                              dir.at("m.trnk"))),
                  "TarnIOError: write: File too large (os error 27)");
    }
    EXPECT_FALSE(std::filesystem::exists(dir.at("m.tmp")));
    EXPECT_FALSE(std::filesystem::exists(dir.at("m.trnk")));

    StoreBuilder b;
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(b.add_object(big));
        ASSERT_TRUE(b.add_key("k" + std::to_string(i), static_cast<std::uint64_t>(i)));
    }
    ASSERT_TRUE(b.build(dir.at("in.trnk")));
    const std::vector<sets::MergeTarget> targets{{dir.at("o0.tmp"), dir.at("o0.trnk")},
                                                 {dir.at("o1.tmp"), dir.at("o1.trnk")}};
    {
        const FileSizeLimit limit(64 * 1024);
        EXPECT_EQ(error_text(sets::merge_stores(std::vector<std::string>{dir.at("in.trnk")}, targets)),
                  "TarnIOError: write: File too large (os error 27)");
    }
    for (const char* name : {"o0.tmp", "o0.trnk", "o1.tmp", "o1.trnk"})
        EXPECT_FALSE(std::filesystem::exists(dir.at(name))) << name;
}

TEST(Runs, DamageToARunIsCaughtBeforeAnythingIsWritten) {
    ScratchDir dir;
    const auto run = run_file(dir, "p0.run", 1, {{1, {"a"}, "alpha"}, {2, {"b"}, "beta"}, {3, {"c"}, "gamma"}});
    std::string bytes = slurp(run);
    const auto merge = [&](const std::string& image) {
        dir.write("bad.run", image);
        return error_text(sets::merge_runs(std::vector<std::string>{dir.at("bad.run")}, 1, 0, Policy::Error,
                                           dir.at("x.tmp"), dir.at("x.trnk")));
    };
    std::string flipped = bytes;
    flipped[5] ^= 1;  // inside the first section
    EXPECT_NE(merge(flipped).find("CRC-32"), std::string::npos);
    EXPECT_NE(merge(bytes.substr(0, bytes.size() - 3)).find("no run trailer"), std::string::npos);
    EXPECT_NE(merge("").find("too small"), std::string::npos);
    EXPECT_NE(error_text(sets::merge_runs(std::vector<std::string>{run}, 3, 0, Policy::Error, dir.at("x.tmp"),
                                          dir.at("x.trnk")))
                  .find("written for 1 shards"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.at("x.trnk")));
}

// A shard merge over many sections holds its keys and index, and a small buffer per section:
// not the sections themselves (checking their CRCs through the mapping kept all of them).
// 160 sections of 1,024 records of 512 bytes: 80 MiB of runs.
TEST(Merges, AShardMergeOfManySectionsKeepsLittleOfEach) {
#if TARNKV_TEST_UNDER_ASAN
    GTEST_SKIP() << "AddressSanitizer's own memory (quarantine, shadow) counts in the peak RSS";
#endif
    ScratchDir dir;
    constexpr std::uint32_t kSections = 160, kPerSection = 1024, kRecords = kSections * kPerSection;
    // A record costs 8 + 512 bytes and its key 11 + 32 in the run's buffer.
    auto w = sets::RunWriter::create(dir.at("p.tmp"), 1, std::uint64_t{kPerSection} * 563 - 1, false);
    ASSERT_TRUE(w);
    std::vector<std::uint32_t> order(kRecords);
    std::iota(order.begin(), order.end(), 0u);
    std::shuffle(order.begin(), order.end(), std::mt19937(4));
    std::string object(512, 'o');
    for (std::uint32_t i = 0; i < kRecords; ++i) {
        std::memcpy(object.data(), &order[i], sizeof order[i]);
        const std::string key = std::format("key{:08}", order[i]);
        ASSERT_TRUE(w->add(i, std::vector<std::string_view>{key}, object));
    }
    const auto info = w->finish(dir.at("p.run"));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->sections, kSections);
    if (!reset_peak_rss()) GTEST_SKIP() << "cannot reset the peak RSS here";
    const long before = status_kib("VmRSS");
    const auto m = sets::merge_runs(std::vector<std::string>{dir.at("p.run")}, 1, 0, Policy::Error, dir.at("s.tmp"),
                                    dir.at("s.trnk"));
    const long peak = status_kib("VmHWM");
    ASSERT_TRUE(m && m->info) << error_text(m);
    EXPECT_EQ(m->info->num_keys, kRecords);
    // Keys and the index come to about 12 MiB here, a cursor's buffer to 68 KiB.
    EXPECT_LT(peak - before, (16L << 10) + kSections * 128L)
        << "peak RSS rose by " << (peak - before) / 1024 << " MiB";
    auto r = StoreReader::open(dir.at("s.trnk"), true);
    ASSERT_TRUE(r);
    const auto got = r->get_raw("key00000042");
    ASSERT_TRUE(got && *got);
    std::uint32_t stored;
    std::memcpy(&stored, (*got)->data(), sizeof stored);
    EXPECT_EQ(stored, 42u);
}

// One section of a hand-made run: its record block and its entries as given (out of order or
// cut short if a test wants them so).
struct HandSection {
    std::string records;
    std::uint64_t record_count;
    std::vector<sets::RunEntry> entries;
    std::size_t cut = 0;  // bytes taken off the end of the entries
};

// A run file of one shard, each section's bytes as given, with every CRC and table entry right:
// what only the checks of the entries themselves can refuse.
std::string hand_run(const std::vector<HandSection>& sections) {
    std::string out, table;
    std::uint32_t spill = 0;
    for (const HandSection& h : sections) {
        std::string bytes = h.records;
        for (const sets::RunEntry& e : h.entries) {
            std::string entry(sets::run_entry_size(e.key.size()), '\0');
            e.encode(reinterpret_cast<unsigned char*>(entry.data()));
            bytes += entry;
        }
        bytes.resize(bytes.size() - h.cut);
        const sets::SectionEntry section{spill++, 0, out.size(), bytes.size(), h.records.size(), h.record_count,
                                         h.entries.size(), format::crc32(bytes)};
        unsigned char t[sets::kTableEntrySize];
        section.encode(t);
        table.append(reinterpret_cast<const char*>(t), sizeof t);
        out += bytes;
    }
    const auto trailer = sets::RunTrailer{1, spill, out.size(), format::crc32(table)}.encode();
    return out + table + std::string(reinterpret_cast<const char*>(trailer.data()), trailer.size());
}

struct Walked {
    std::vector<std::tuple<std::string, std::uint64_t, std::uint64_t>> entries;
    std::string error;  // empty when the walk reached the end
};

// Every entry a cursor on the file's only section meets, and what stopped it.
Walked walk(const sets::RunFile& file, sets::RecordRefs refs = sets::RecordRefs::InBlock, std::size_t buffer = 0) {
    Walked out;
    auto c = sets::RunCursor::open(file, file.sections_of(0).at(0), refs, buffer);
    if (!c) return {{}, c.error().display()};
    Status st;
    while (st && !c->done()) {
        out.entries.emplace_back(std::string(c->key()), c->seq(), c->record());
        st = c->next();
    }
    if (!st) out.error = st.error().display();
    return out;
}

// Keys of every length, up to the longest a run holds, walked through the smallest buffer: the
// entries straddle its refills, and each is checked against the one before as it is read.
TEST(RunCursor, EntriesOfEveryLengthReadBackThroughRefillsAndAgainAfterRestart) {
    ScratchDir dir;
    std::vector<std::string> keys;
    std::mt19937 rng(3);
    for (int i = 0; i < 3000; ++i) keys.push_back(std::format("{:05}", i) + std::string(rng() % 300, 'k'));
    for (const int i : {7, 1500, 2999}) keys[static_cast<std::size_t>(i)].resize(format::kMaxKeyLen, 'x');
    HandSection h{record("alpha") + record("beta"), 2, {}};
    for (std::size_t i = 0; i < keys.size(); ++i) h.entries.push_back({keys[i], i, i % 2 ? 13u : 0u});
    h.entries.push_back({keys.back(), keys.size(), 0});  // the same key again, numbered later
    auto file = sets::RunFile::open(dir.write("r.run", hand_run({h})), 1);
    ASSERT_TRUE(file);

    auto c = sets::RunCursor::open(*file, file->sections_of(0).at(0), sets::RecordRefs::InBlock, 0);
    ASSERT_TRUE(c);
    for (int round = 0; round < 2; ++round) {
        std::size_t i = 0;
        for (; !c->done(); ++i) {
            ASSERT_LT(i, h.entries.size());
            EXPECT_EQ(c->key(), h.entries[i].key);
            EXPECT_EQ(std::pair(c->seq(), c->record()), std::pair(h.entries[i].seq, h.entries[i].record));
            ASSERT_TRUE(c->next());
        }
        EXPECT_EQ(i, h.entries.size());
        ASSERT_TRUE(c->restart());
    }
    EXPECT_EQ(c->records(), record("alpha") + record("beta"));
}

// Damage that only the walk can see, placed far past the first buffer's worth of entries: the
// cursor stops there with the fault named, as the merges do.
TEST(RunCursor, RefusesEntriesOutOfOrderCutShortOrNamingNoRecordWhereverTheyLie) {
    ScratchDir dir;
    constexpr std::size_t kN = 20000;  // ~600 KB of entries
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < kN; ++i) keys.push_back(std::format("key{:08}", i));
    const auto section = [&] {
        HandSection h{record("only"), 1, {}};
        for (std::size_t i = 0; i < kN; ++i) h.entries.push_back({keys[i], i, 0});
        return h;
    };
    const auto walked = [&](const HandSection& h, sets::RecordRefs refs = sets::RecordRefs::InBlock) {
        auto file = sets::RunFile::open(dir.write("r.run", hand_run({h})), 1);
        if (!file) throw std::runtime_error(file.error().display());
        return walk(*file, refs);
    };
    Walked w = walked(section());
    EXPECT_EQ(w.entries.size(), kN);
    EXPECT_EQ(w.error, "");

    HandSection swapped = section();
    std::swap(swapped.entries[kN - 10], swapped.entries[kN - 9]);
    w = walked(swapped);
    EXPECT_EQ(w.entries.size(), kN - 9);
    EXPECT_NE(w.error.find("entries out of order"), std::string::npos) << w.error;

    HandSection renumbered = section();  // one key twice under one number
    renumbered.entries[kN - 5] = {keys[kN - 6], kN - 6, 0};
    EXPECT_NE(walked(renumbered).error.find("entries out of order"), std::string::npos);

    HandSection cut = section();
    cut.cut = 3;  // the last entry's record offset runs past the section
    w = walked(cut);
    EXPECT_EQ(w.entries.size(), kN - 1);
    EXPECT_NE(w.error.find("entry runs past its section"), std::string::npos) << w.error;

    HandSection stray = section();
    stray.entries[kN - 100].record = 5;  // the block is one record of 12 bytes: no head fits at 5
    w = walked(stray);
    EXPECT_EQ(w.entries.size(), kN - 100);
    EXPECT_NE(w.error.find("names a record outside its block"), std::string::npos) << w.error;
    // A single store's runs name objects by ID, which the cursor leaves to its caller.
    EXPECT_EQ(walked(stray, sets::RecordRefs::ById).entries.size(), kN);

    // The merge stops at the same fault and leaves nothing behind.
    dir.write("bad.run", hand_run({swapped}));
    EXPECT_NE(error_text(sets::merge_runs(std::vector<std::string>{dir.at("bad.run")}, 1, 0, Policy::First,
                                          dir.at("x.tmp"), dir.at("x.trnk")))
                  .find("entries out of order"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.at("x.tmp")));
    EXPECT_FALSE(std::filesystem::exists(dir.at("x.trnk")));
}

// A run is read with pread, opened afresh for each stretch of reading: one cut short after it
// was opened is a failure to report, not a SIGBUS, and one replaced is refused.
TEST(RunCursor, ARunCutShortOrReplacedAfterOpeningFailsItsRead) {
    ScratchDir dir;
    HandSection h{record("only"), 1, {}};
    std::vector<std::string> keys;
    for (int i = 0; i < 10000; ++i) keys.push_back(std::format("key{:08}", i));
    for (std::size_t i = 0; i < keys.size(); ++i) h.entries.push_back({keys[i], i, 0});
    const std::string path = dir.write("r.run", hand_run({h}));
    auto file = sets::RunFile::open(path, 1);
    ASSERT_TRUE(file);
    std::filesystem::resize_file(path, 100000);
    Walked w = walk(*file);
    EXPECT_TRUE(w.entries.empty());
    EXPECT_EQ(w.error, std::format("TarnIOError: run file {}: ends before its table says", path));

    dir.write("r.run", hand_run({h}));
    auto again = sets::RunFile::open(path, 1);
    ASSERT_TRUE(again);
    std::filesystem::rename(dir.write("other.run", hand_run({h})), path);
    w = walk(*again);
    EXPECT_TRUE(w.entries.empty());
    EXPECT_EQ(w.error, std::format("TarnCorruptError: run file {}: replaced while it was read", path));
}

// A shard merge reads the runs of every partition at once: more of them than the process may
// hold open.
TEST(Merges, MoreRunsThanTheProcessMayHoldOpen) {
    ScratchDir dir;
    constexpr int kRuns = 200;
    std::vector<std::string> keys, runs;
    for (int p = 0; p < kRuns; ++p) keys.push_back(std::format("key{:04}", p));
    for (int p = 0; p < kRuns; ++p)
        runs.push_back(run_file(dir, std::format("p{}.run", p), 1, {{0, {keys[static_cast<std::size_t>(p)]}, "v"}}));
    struct OpenFilesLimit {
        rlimit old{};
        explicit OpenFilesLimit(rlim_t n) {
            ::getrlimit(RLIMIT_NOFILE, &old);
            rlimit lower = old;
            lower.rlim_cur = n;
            ::setrlimit(RLIMIT_NOFILE, &lower);
        }
        ~OpenFilesLimit() { ::setrlimit(RLIMIT_NOFILE, &old); }
    };
    std::optional<StreamInfo> info;
    {
        const OpenFilesLimit limit(64);
        auto m = sets::merge_runs(runs, 1, 0, Policy::Error, dir.at("s.tmp"), dir.at("s.trnk"));
        ASSERT_TRUE(m) << m.error().display();
        info = m->info;
    }
    ASSERT_TRUE(info);
    EXPECT_EQ(info->num_keys, static_cast<std::uint64_t>(kRuns));
    EXPECT_EQ(contents(dir.at("s.trnk")).size(), static_cast<std::size_t>(kRuns));
}

TEST(RunLayout, EachShapeReadsBackAsWrittenAndRefusesWhatDoesNotFit) {
    const sets::RunEntry entry{"key", 0x0102030405060708, 0x1122334455667788};
    std::string bytes(sets::run_entry_size(3), '\0');
    entry.encode(reinterpret_cast<unsigned char*>(bytes.data()));
    EXPECT_EQ(bytes, be(3, 2) + "key" + be(entry.seq, 8) + be(entry.record, 8));
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto back = sets::RunEntry::decode(p, bytes.size());
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(std::tuple(back->key, back->seq, back->record), std::tuple(entry.key, entry.seq, entry.record));
    EXPECT_FALSE(sets::RunEntry::decode(p, bytes.size() - 1).has_value());  // its record offset cut short
    EXPECT_FALSE(sets::RunEntry::decode(p, 1).has_value());                 // not even its key length

    const sets::SectionEntry section{1, 2, 3, 4, 5, 6, 7, 0xDEADBEEF};
    unsigned char table[sets::kTableEntrySize];
    section.encode(table);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(table), sizeof table),
              be(1, 4) + be(2, 4) + be(3, 8) + be(4, 8) + be(5, 8) + be(6, 8) + be(7, 8) + be(0xDEADBEEF, 4));
    const auto s = sets::SectionEntry::decode(table);
    EXPECT_EQ(std::tuple(s.spill, s.shard, s.offset, s.length, s.records_length, s.records, s.entries, s.crc),
              std::tuple(1u, 2u, 3ull, 4ull, 5ull, 6ull, 7ull, 0xDEADBEEFu));

    auto trailer = sets::RunTrailer{5, 9, 1234, 42}.encode();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(trailer.data()), trailer.size()),
              "TRNR" + be(2, 4) + be(5, 4) + be(9, 4) + be(1234, 8) + be(42, 4) + be(0, 4));
    const auto t = sets::RunTrailer::decode(trailer.data());
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(std::tuple(t->shards, t->sections, t->table_offset, t->table_crc), std::tuple(5u, 9u, 1234ull, 42u));
    trailer[7] = 3;  // another version
    EXPECT_EQ(sets::RunTrailer::decode(trailer.data()).error(), sets::RunTrailer::Fault::Version);
    trailer[0] = 'X';
    EXPECT_EQ(sets::RunTrailer::decode(trailer.data()).error(), sets::RunTrailer::Fault::NoMagic);
}

TEST(RunLayout, AWrittenRunEndsInItsTableAndTrailer) {
    ScratchDir dir;
    auto w = sets::RunWriter::create(dir.at("p.tmp"), 2, 1, false);  // a spill after every record
    ASSERT_TRUE(w.has_value());
    for (std::uint64_t i = 0; i < 3; ++i) ASSERT_TRUE(w->add(i, std::vector<std::string_view>{"k" + std::to_string(i)}, "v").has_value());
    const auto info = w->finish(dir.at("p.run"));
    ASSERT_TRUE(info.has_value());
    const std::string file = slurp(dir.at("p.run"));
    const auto* base = reinterpret_cast<const unsigned char*>(file.data());
    const auto t = sets::RunTrailer::decode(base + file.size() - sets::kTrailerSize);
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(t->shards, 2u);
    EXPECT_EQ(t->sections, info->sections);
    EXPECT_EQ(t->sections, 3u);  // one record, one shard, per spill
    EXPECT_EQ(t->table_offset + t->sections * sets::kTableEntrySize + sets::kTrailerSize, file.size());
    std::uint64_t entries = 0;
    for (std::uint32_t i = 0; i < t->sections; ++i) {
        const auto s = sets::SectionEntry::decode(base + t->table_offset + i * sets::kTableEntrySize);
        EXPECT_EQ(s.spill, i);
        EXPECT_EQ(format::crc32(base + s.offset, s.length), s.crc);
        entries += s.entries;
    }
    EXPECT_EQ(entries, 3u);
}

// A packed batch as the JSON Lines converter makes it: per record its keys, then its object.
std::string packed(const std::vector<std::pair<std::vector<std::string>, std::string>>& records) {
    std::string out;
    for (const auto& [keys, object] : records) {
        out.push_back(static_cast<char>(keys.size()));
        for (const auto& k : keys) {
            batch::put_u32(out, k.size());
            out += k;
        }
        batch::put_u32(out, object.size());
        out += object;
    }
    return out;
}

TEST(RunBatches, RecordsFromTheSkippedOnAreNumberedByTheirPlace) {
    ScratchDir dir;
    constexpr std::uint32_t kShards = 3;
    auto w = sets::RunWriter::create(dir.at("b.tmp"), kShards, 1 << 20, false);
    ASSERT_TRUE(w.has_value());
    const std::string b = packed({{{"skipped"}, "0"}, {{"a", "alias-a"}, "1"}, {{"b"}, "2"}});
    const auto stop = w->add_batch(b, 10, 1);
    ASSERT_TRUE(stop.has_value()) << error_text(stop);
    EXPECT_EQ(stop->index, 3u);
    EXPECT_FALSE(stop->malformed);
    EXPECT_EQ(w->next_seq(), 13u);  // 10 + the last record's place + 1
    ASSERT_TRUE(w->finish(dir.at("b.run")).has_value());
    std::map<std::string, std::string> all;
    for (auto& shard : merge_all(dir, {dir.at("b.run")}, kShards, Policy::Error)) all.merge(shard);
    EXPECT_EQ(all, (std::map<std::string, std::string>{{"a", "1"}, {"alias-a", "1"}, {"b", "2"}}));
}

TEST(RunBatches, StopInFrontOfWhatTheCallerMustReportOrRefuse) {
    ScratchDir dir;
    auto w = sets::RunWriter::create(dir.at("b.tmp"), 2, 1 << 20, false);
    ASSERT_TRUE(w.has_value());
    // A key too long for a store: added up to it, then left to the caller.
    const std::string too_long(format::kMaxKeyLen + 1, 'k');
    auto stop = w->add_batch(packed({{{"a"}, "1"}, {{"b", too_long}, "2"}, {{"c"}, "3"}}), 0, 0);
    ASSERT_TRUE(stop.has_value());
    EXPECT_EQ(std::pair(stop->index, stop->malformed), std::pair(std::size_t{1}, false));
    EXPECT_EQ(w->next_seq(), 1u);
    // A record cut short: malformed from there.
    const std::string good = packed({{{"c"}, "3"}});
    const std::string cut = packed({{{"d"}, "4"}}).substr(0, 5);
    stop = w->add_batch(good + cut, 2, 0);
    ASSERT_TRUE(stop.has_value());
    EXPECT_EQ(std::pair(stop->index, stop->malformed), std::pair(std::size_t{1}, true));
    stop = w->add_batch(packed({{{}, "no key"}}), 9, 0);
    ASSERT_TRUE(stop.has_value());
    EXPECT_EQ(std::pair(stop->index, stop->malformed), std::pair(std::size_t{0}, true));
    EXPECT_EQ(w->next_seq(), 3u);
    // Numbers that do not grow fail, in a batch as in add(), and change nothing.
    EXPECT_EQ(error_text(w->add_batch(good, 2, 0)), "TarnError: record numbers must grow");
    EXPECT_EQ(error_text(w->add(1, std::vector<std::string_view>{"e"}, "5")), "TarnError: record numbers must grow");
    EXPECT_EQ(w->next_seq(), 3u);
    ASSERT_TRUE(w->add(3, std::vector<std::string_view>{"e"}, "5").has_value());
    const auto info = w->finish(dir.at("b.run"));
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->records, 3u);  // a, c, e
}

TEST(MergeStores, LaterInputsWinAndSetCopiesBecomeOne) {
    ScratchDir dir;
    const auto a = dir.write("a.trnk", built({"1", "x"}, {{"k", 0}, {"only-a", 1}}));
    const auto b = dir.write("b.trnk", built({"2"}, {{"k", 0}, {"s", 0}}));
    const auto c = dir.write("c.trnk", built({"2"}, {{"t", 0}}));  // the same bytes as b's, in b's group
    std::vector<std::string> inputs{a, b, c};
    std::vector<sets::MergeTarget> targets{{dir.at("o.tmp"), dir.at("o.trnk")}};
    std::vector<std::uint32_t> groups{0, 1, 1};
    const auto infos = sets::merge_stores(inputs, targets, groups);
    ASSERT_TRUE(infos.has_value()) << error_text(infos);
    EXPECT_EQ(contents(dir.at("o.trnk")),
              (std::map<std::string, std::string>{{"k", "2"}, {"only-a", "x"}, {"s", "2"}, {"t", "2"}}));
    EXPECT_EQ((*infos)[0].num_objects, 2u);  // "x", and one "2" for k, s and t
    // Unsorted input: refused, not merged out of order.
    const auto bad = dir.write("bad.trnk", store(2, 40 + 9, record("v") + entry("b", 40) + entry("a", 40), 1));
    const auto refused = sets::merge_stores(std::vector<std::string>{bad}, targets, {});
    EXPECT_NE(error_text(refused).find("not in key order"), std::string::npos);
}

// Keys naming one object share it in the output (per output shard); keys with objects of their
// own, the usual case, get theirs, one copy each.
TEST(MergeStores, KeysSharingAnObjectShareItsCopy) {
    ScratchDir dir;
    std::vector<std::pair<std::string, std::uint32_t>> keys;
    for (int i = 0; i < 40; ++i) keys.emplace_back("s" + std::to_string(i), 0);  // one object, 40 keys
    for (int i = 0; i < 40; ++i) keys.emplace_back("o" + std::to_string(i), static_cast<std::uint32_t>(i + 1));
    std::vector<std::string> objects{"shared"};
    for (int i = 0; i < 40; ++i) objects.push_back("own" + std::to_string(i));
    StoreBuilder b;
    for (const auto& o : objects) ASSERT_TRUE(b.add_object(o).has_value());
    for (const auto& [k, id] : keys) ASSERT_TRUE(b.add_key(k, id).has_value());
    const std::vector<std::string> inputs{dir.write("a.trnk", b.image())};
    std::map<std::string, std::string> want;
    for (const auto& [k, o] : keys) want[k] = objects[o];
    for (const std::size_t shards : {std::size_t{1}, std::size_t{3}}) {
        std::vector<sets::MergeTarget> targets;
        for (std::size_t t = 0; t < shards; ++t)
            targets.push_back({dir.at("o" + std::to_string(t) + ".tmp"), dir.at("o" + std::to_string(t) + ".trnk")});
        const auto infos = sets::merge_stores(inputs, targets, {});
        ASSERT_TRUE(infos.has_value()) << error_text(infos);
        std::map<std::string, std::string> got;
        std::uint64_t objects_out = 0;
        for (std::size_t t = 0; t < shards; ++t) {
            got.merge(contents(targets[t].path));
            objects_out += (*infos)[t].num_objects;
        }
        EXPECT_EQ(got, want);
        EXPECT_EQ(objects_out, 40 + shards) << shards;  // 40 own objects, "shared" once per shard
    }
}

// Compressed shards from runs: each trained on its own records, equal once decoded to the shards
// stored as they are, whether every record is kept or duplicates drop some.
TEST(Runs, CompressedShardsDecodeToTheUncompressedOnes) {
    ScratchDir dir;
    std::vector<std::string> objects;
    for (int i = 0; i < 600; ++i) objects.push_back(similar(i));
    std::vector<std::string> keys;
    for (int i = 0; i < 600; ++i) keys.push_back(std::format("key{:05d}", i));
    std::vector<Rec> first, second;
    for (int i = 0; i < 600; ++i) {
        std::vector<std::string_view> names{keys[static_cast<std::size_t>(i)]};
        (i % 2 ? second : first).push_back({static_cast<std::uint64_t>(i), names, objects[static_cast<std::size_t>(i)]});
    }
    // A later record under an earlier key, for the policy to settle.
    second.push_back({1000, {keys[4]}, "replaced"});
    const std::vector<std::string> runs{run_file(dir, "a.run", 3, first), run_file(dir, "b.run", 3, second)};
    for (const Policy policy : {Policy::First, Policy::Last}) {
        const auto plain = merge_all(dir, runs, 3, policy);
        for (std::uint32_t s = 0; s < 3; ++s) {
            const std::string path = dir.at(std::format("z{}.trnk", s));
            auto m = sets::merge_runs(runs, 3, s, policy, path + ".tmp", path, 19);
            ASSERT_TRUE(m.has_value()) << error_text(m);
            const auto [got, compressed] = decoded(path);
            EXPECT_TRUE(compressed);
            EXPECT_EQ(got, plain[s]);
            EXPECT_LT(m->info->file_size, std::filesystem::file_size(dir.at(std::format("shard{}.trnk", s))));
        }
    }
}

// Compressed inputs are read as put; compressed outputs each get their own dictionary, and a
// set's copies of one object still become one.
TEST(MergeStores, CompressedInputsAndOutputs) {
    ScratchDir dir;
    StoreBuilder b;
    b.order_objects_by_key(true);
    ASSERT_TRUE(b.compress(3).has_value());
    std::map<std::string, std::string> want;
    for (int i = 0; i < 500; ++i) {
        const std::string key = std::format("key{:05d}", i);
        auto id = b.add_object(similar(i));
        ASSERT_TRUE(id.has_value());
        ASSERT_TRUE(b.add_key(key, *id).has_value());
        ASSERT_TRUE(b.add_key("alias-" + key, *id).has_value());
        want[key] = want["alias-" + key] = similar(i);
    }
    const std::vector<std::string> inputs{dir.write("z.trnk", b.image())};
    ASSERT_TRUE(decoded(inputs[0]).second);
    for (const std::optional<int> level : {std::optional<int>{}, std::optional<int>{3}}) {
        std::vector<sets::MergeTarget> targets;
        for (int t = 0; t < 3; ++t) {
            const std::string name = std::format("o{}-{}", t, level.has_value());
            targets.push_back({dir.at(name + ".tmp"), dir.at(name + ".trnk")});
        }
        const auto infos = sets::merge_stores(inputs, targets, {}, {}, level);
        ASSERT_TRUE(infos.has_value()) << error_text(infos);
        std::map<std::string, std::string> got;
        for (const auto& t : targets) {
            auto [part, compressed] = decoded(t.path);
            EXPECT_EQ(compressed, level.has_value());
            got.merge(part);
        }
        EXPECT_EQ(got, want);
    }
    // The compressed shards merged back into one compressed store: the copies of an object that
    // a key and its alias left in two shards are one object again.
    std::vector<std::string> shards;
    for (int t = 0; t < 3; ++t) shards.push_back(dir.at(std::format("o{}-true.trnk", t)));
    const std::vector<sets::MergeTarget> one{{dir.at("one.tmp"), dir.at("one.trnk")}};
    const auto back = sets::merge_stores(shards, one, std::vector<std::uint32_t>{0, 0, 0}, {}, 3);
    ASSERT_TRUE(back.has_value()) << error_text(back);
    EXPECT_EQ((*back)[0].num_objects, 500u);
    EXPECT_EQ(decoded(dir.at("one.trnk")).first, want);
}

// Drifting records merged into a compressed store, from runs and from a store: each dictionary
// learns from the whole input, so the later half compresses as well as an in-memory build's.
TEST(Merges, ACompressedOutputsDictionaryLearnsFromTheWholeInput) {
    ScratchDir dir;
    const std::size_t half = format::kSampleObjects + 25;
    const std::vector<std::string> objects = drifting_records(half);
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < objects.size(); ++i) keys.push_back(std::format("k{:06}", i));
    // The later half's stored bytes against its own, after checking every object decodes.
    const auto late_share = [&](const std::string& path) {
        auto r = StoreReader::open(path, true);
        EXPECT_TRUE(r.has_value() && r->enable_decoding().has_value());
        std::string scratch;
        double raw = 0, stored = 0;
        for (std::size_t i = 0; i < objects.size(); ++i) {
            const auto object = r->object_at(*r->lookup(keys[i]));
            EXPECT_EQ(*r->decode(*object, scratch), objects[i]) << i;
            if (i >= half) raw += static_cast<double>(objects[i].size()), stored += static_cast<double>(object->size());
        }
        return stored / raw;
    };

    std::vector<Rec> recs;
    for (std::size_t i = 0; i < objects.size(); ++i) recs.push_back({i, {keys[i]}, objects[i]});
    const std::vector<std::string> runs{run_file(dir, "a.run", 1, recs)};
    auto m = sets::merge_runs(runs, 1, 0, Policy::Error, dir.at("r.tmp"), dir.at("r.trnk"), 3);
    ASSERT_TRUE(m.has_value()) << error_text(m);
    EXPECT_LT(late_share(dir.at("r.trnk")), 0.6);

    StoreBuilder b;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        auto id = b.add_object(objects[i]);
        ASSERT_TRUE(id.has_value());
        ASSERT_TRUE(b.add_key(keys[i], *id).has_value());
    }
    const std::vector<std::string> inputs{dir.write("plain.trnk", b.image())};
    const std::vector<sets::MergeTarget> one{{dir.at("s.tmp"), dir.at("s.trnk")}};
    const auto merged = sets::merge_stores(inputs, one, {}, {}, 3);
    ASSERT_TRUE(merged.has_value()) << error_text(merged);
    EXPECT_LT(late_share(dir.at("s.trnk")), 0.6);
}

// One compressed input keeps its dictionary: every output, one store or each shard of a set,
// holds the input's dictionary and its objects' stored forms byte for byte.
TEST(MergeStores, OneCompressedInputKeepsItsDictionaryAndStoredForms) {
    ScratchDir dir;
    StoreBuilder b;
    b.order_objects_by_key(true);
    ASSERT_TRUE(b.compress(3).has_value());
    for (int i = 0; i < 400; ++i) {
        auto id = b.add_object(similar(i));
        ASSERT_TRUE(id.has_value());
        ASSERT_TRUE(b.add_key(std::format("key{:05d}", i), *id).has_value());
    }
    const std::vector<std::string> inputs{dir.write("in.trnk", b.image())};
    auto in = StoreReader::open(inputs[0], true);
    ASSERT_TRUE(in.has_value());
    const auto stored_forms = [](const StoreReader& r) {
        std::map<std::string, std::string> out;
        for (std::size_t i = 0; i < r.entry_count(); ++i)
            out[std::string(r.key_at(i))] = std::string(*r.object_at(r.offset_at(i)));
        return out;
    };
    for (const std::size_t shards : {std::size_t{1}, std::size_t{3}}) {
        std::vector<sets::MergeTarget> targets;
        for (std::size_t t = 0; t < shards; ++t)
            targets.push_back({dir.at(std::format("o{}-{}.tmp", shards, t)), dir.at(std::format("o{}-{}.trnk", shards, t))});
        const auto infos = sets::merge_stores(inputs, targets, {}, {}, 19);  // the level is the input's
        ASSERT_TRUE(infos.has_value()) << error_text(infos);
        std::map<std::string, std::string> got;
        for (const auto& t : targets) {
            auto out = StoreReader::open(t.path, true);
            ASSERT_TRUE(out.has_value());
            EXPECT_EQ(*out->object_at(format::kHeaderSize), *in->object_at(format::kHeaderSize));
            got.merge(stored_forms(*out));
        }
        EXPECT_EQ(got, stored_forms(*in)) << shards;
    }
}

}  // namespace
}  // namespace tarnkv::testing
