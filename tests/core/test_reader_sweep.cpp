// Damaged files: every single-byte change and every truncation of a small valid store is opened
// and queried in full, and each outcome is compared with a deliberately naive model of the file
// format (128-bit positions, byte strings, no hashing). The model takes only the field positions
// and sizes from the format header and does its own bounds arithmetic, so it does not share the
// checks it is testing. The model fixes the exact error or the
// exact bytes each call must give; object views are compared by content, so a view that strays
// outside the file is caught even where the sanitizers cannot see into the mapping.
#include <map>
#include <set>

#include "test_util.hpp"

namespace tarnkv::testing {
namespace {

using u128 = unsigned __int128;

std::uint64_t load(const std::string& f, u128 at, int width) {
    std::uint64_t v = 0;
    for (int i = 0; i < width; ++i) v = (v << 8) | static_cast<unsigned char>(f[static_cast<std::size_t>(at) + i]);
    return v;
}

std::string corrupt(const std::string& message) { return "TarnCorruptError: " + message; }

struct Model {
    std::string open_error;  // empty when the open succeeds
    std::vector<std::pair<std::string, std::uint64_t>> entries;
};

Model model_open(const std::string& f, bool verify) {
    Model m;
    if (f.size() < format::kHeaderSize) return {corrupt("file too small for header"), {}};
    if (f.substr(format::kMagicAt, 4) != "TRNK")
        return {corrupt(std::format("bad magic [{}, {}, {}, {}]", load(f, 0, 1), load(f, 1, 1), load(f, 2, 1),
                                    load(f, 3, 1))),
                {}};
    if (f[format::kVersionAt] != 2)
        return {std::format("TarnVersionError: unsupported version {}", load(f, format::kVersionAt, 1)), {}};
    const auto stored = static_cast<std::uint32_t>(load(f, format::kFileCrcAt, 4));
    const std::uint32_t computed = format::crc32(std::string_view(f).substr(format::kHeaderSize));
    if (verify && stored != computed)
        return {corrupt("file CRC32 mismatch  stored=" + format::crc_hex(stored) + "  computed=" + format::crc_hex(computed)),
                {}};
    u128 pos = load(f, format::kIndexOffsetAt, 8);
    for (std::uint64_t i = 0, n = load(f, format::kNumKeysAt, 4); i < n; ++i) {
        if (pos + 2 > f.size()) return {corrupt("index section truncated (key_len)"), {}};
        const std::uint64_t len = load(f, pos, 2);
        if (pos + 2 + len + 8 > f.size()) return {corrupt("index section truncated (key + offset)"), {}};
        m.entries.emplace_back(f.substr(static_cast<std::size_t>(pos) + 2, len), load(f, pos + 2 + len, 8));
        pos += 10 + len;
    }
    return m;
}

// The object at `o`, or the error text of reading it.
std::pair<std::string, std::string> model_object(const std::string& f, std::uint64_t o) {
    if (u128{o} + 8 > f.size()) return {"", corrupt(std::format("offset {} out of bounds", o))};
    const std::uint64_t len = load(f, o, 4);
    if (u128{o} + 8 + len > f.size()) return {"", corrupt(std::format("object at {} extends beyond file end", o))};
    return {f.substr(o + 8, len), ""};
}

std::string model_verify(const std::string& f, const Model& m) {
    const auto stored = static_cast<std::uint32_t>(load(f, format::kFileCrcAt, 4));
    const std::uint32_t computed = format::crc32(std::string_view(f).substr(format::kHeaderSize));
    if (stored != computed)
        return corrupt("file CRC32 mismatch  stored=" + format::crc_hex(stored) + "  computed=" + format::crc_hex(computed));
    std::set<std::uint64_t> seen;
    for (const auto& [key, o] : m.entries) {
        if (!seen.insert(o).second) continue;
        if (u128{o} + 8 > f.size()) return corrupt(std::format("object offset {} out of bounds", o));
        auto [bytes, err] = model_object(f, o);
        if (!err.empty()) return err;
        if (format::crc32(bytes) != load(f, u128{o} + 4, 4)) return corrupt(std::format("object CRC32 mismatch at offset {}", o));
    }
    return "<success>";
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

// The pairs of the given entries with their objects, or the first read error.
std::pair<Pairs, std::string> model_pairs(const std::string& f, const Model& m, std::string_view prefix) {
    Pairs out;
    for (const auto& [key, o] : m.entries) {
        if (!key.starts_with(prefix)) continue;
        auto [bytes, err] = model_object(f, o);
        if (!err.empty()) return {{}, err};
        out.emplace_back(key, bytes);
    }
    return {out, ""};
}

template <class T>
std::string outcome(const Result<T>& r) {
    return r ? std::string() : r.error().display();
}

void check_against_model(const ScratchDir& dir, const std::string& f, const std::string& what) {
    SCOPED_TRACE(what);
    const std::string path = dir.write("sweep.trnk", f);
    for (bool verify : {true, false}) {
        const Model m = model_open(f, verify);
        auto opened = StoreReader::open(path, verify);
        ASSERT_EQ(outcome(opened), m.open_error) << "verify=" << verify;
        if (!opened) continue;
        const StoreReader& r = *opened;

        ASSERT_EQ(r.entry_count(), m.entries.size());
        std::map<std::string, std::uint64_t> last;
        for (std::size_t i = 0; i < m.entries.size(); ++i) {
            EXPECT_EQ(r.key_at(i), m.entries[i].first);
            EXPECT_EQ(r.offset_at(i), m.entries[i].second);
            last[m.entries[i].first] = m.entries[i].second;
        }

        std::vector<std::string> probes = {"", "a", "b", "\xc3", "zz"};
        for (const auto& [key, o] : m.entries) probes.push_back(key);
        for (const std::string& k : probes) {
            const auto it = last.find(k);
            EXPECT_EQ(r.exists(k), it != last.end());
            auto got = r.get_raw(k);
            if (it == last.end()) {
                ASSERT_TRUE(got);
                EXPECT_EQ(*got, std::nullopt);
            } else {
                auto [bytes, err] = model_object(f, it->second);
                ASSERT_EQ(outcome(got), err) << "get_raw " << k;
                if (got) { EXPECT_EQ(got->value(), bytes); }
            }
        }
        // Prefix scans trust the file's order; the model's filter agrees only for sorted keys.
        const bool sorted = std::is_sorted(m.entries.begin(), m.entries.end(),
                                           [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const std::string& p : probes) {
            auto got = r.prefix_raw(p);
            if (!sorted) continue;  // still run, for the sanitizers
            auto [pairs, err] = model_pairs(f, m, p);
            ASSERT_EQ(outcome(got), err) << "prefix " << p;
            if (got) {
                Pairs have;
                for (const Item& i : *got) have.emplace_back(i.key, i.object);
                EXPECT_EQ(have, pairs) << "prefix " << p;
            }
        }

        auto items = r.items_raw();
        auto [pairs, err] = model_pairs(f, m, "");
        ASSERT_EQ(outcome(items), err);
        if (items) {
            Pairs have;
            for (const Item& i : *items) have.emplace_back(i.key, i.object);
            EXPECT_EQ(have, pairs);
        }

        auto objects = r.objects_raw();
        std::vector<std::string> expected_objects;
        std::string objects_err;
        std::set<std::uint64_t> seen;
        for (const auto& [key, o] : m.entries) {
            if (!seen.insert(o).second) continue;
            auto [bytes, e] = model_object(f, o);
            if (!e.empty()) {
                objects_err = e;
                break;
            }
            expected_objects.push_back(bytes);
        }
        ASSERT_EQ(outcome(objects), objects_err);
        if (objects) { EXPECT_EQ(std::vector<std::string>(objects->begin(), objects->end()), expected_objects); }

        EXPECT_EQ(error_text(r.verify()), model_verify(f, m));
    }
}

// A few objects, one shared by two keys, an empty key, an empty object, a non-UTF-8 key and an
// object no key refers to.
std::string sample_store() {
    return built({"alpha", "", "beta", "orphan"}, {{"a", 0}, {"c", 0}, {"", 1}, {"b\xff", 2}, {"\xc3\xa9", 1}});
}

// The builder never puts the index first, but the reader does not require otherwise. With the
// records last, cutting the file walks the end of the file through every byte of a record.
std::string records_last_store() {
    const std::string index = entry("k1", 76) + entry("k2", 88) + entry("k3", 88);
    return sealed(header(3, 2, 40) + index + record("obj1") + record("second"));
}

class Sweep : public ::testing::TestWithParam<std::string (*)()> {};

TEST_P(Sweep, EveryByteChanged) {
    ScratchDir dir;
    const std::string good = GetParam()();
    check_against_model(dir, good, "unchanged");
    for (std::size_t at = 0; at < good.size(); ++at)
        for (int change : {0x01, 0x80, 0xFF, -1}) {
            std::string f = good;
            // XOR masks, and one step down, which turns a length into the next smaller one.
            f[at] = static_cast<char>(change < 0 ? f[at] - 1 : f[at] ^ change);
            check_against_model(dir, f, std::format("byte {} change {}", at, change));
            // The same change with the file CRC made to match, to reach the checks behind it.
            if (at >= 40) check_against_model(dir, sealed(f), std::format("byte {} change {}, sealed", at, change));
        }
}

TEST_P(Sweep, EveryLength) {
    ScratchDir dir;
    const std::string good = GetParam()();
    for (std::size_t len = 0; len < good.size(); ++len) {
        const std::string f = good.substr(0, len);
        check_against_model(dir, f, std::format("cut to {}", len));
        if (len >= 40) check_against_model(dir, sealed(f), std::format("cut to {}, sealed", len));
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, Sweep, ::testing::Values(&sample_store, &records_last_store),
                         [](const auto& info) { return info.index == 0 ? "Built" : "RecordsLast"; });

}  // namespace
}  // namespace tarnkv::testing
