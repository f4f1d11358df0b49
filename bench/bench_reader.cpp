// Reader microbenchmarks: open with verification against the single-thread floor of the same
// work (mapping, populating and checksumming the file in one thread), open without
// verification on a million 16-byte keys, the reader's resident memory after open against the
// index section (16- and 13-byte keys), hit and miss lookups, and items_raw with the records in
// shuffled and in key order.
//
// Stores are written under /tmp once per process and deleted at exit. Timings use manual time
// so that closing a reader (unmapping, freeing the index) is not counted as opening it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <format>
#include <malloc.h>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "core/format/layout.hpp"
#include "core/reader/store_reader.hpp"
#include "core/writer/store_builder.hpp"

namespace {

namespace format = tarnkv::format;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kKeys = 1'000'000;
constexpr std::size_t kKeyLen = 16;

std::string temp_name(const char* what) { return std::format("/tmp/tarnkv-bench-{}-{}.trnk", what, ::getpid()); }

struct Removed {
    std::string path;
    ~Removed() { std::remove(path.c_str()); }
};

// The i-th of the million keys: 16 bytes, distinct, in no particular order of i.
std::string key_of(std::size_t i) { return std::format("key:{:012}", (i * 0x9E3779B1ull) % 1'000'000'000'000ull); }

// One million 16-byte keys, each with its own 16-byte object.
const std::string& million_key_store() {
    static Removed file{[] {
        tarnkv::StoreBuilder b;
        for (std::size_t i = 0; i < kKeys; ++i) {
            const auto id = b.add_object(std::format("object-{:010}", i)).value();
            (void)b.add_key(key_of(i), id);
        }
        const std::string path = temp_name("1m");
        if (!b.build(path)) std::abort();
        return path;
    }()};
    return file.path;
}

// One million keys "user:%08d" (13 bytes), each with its own object of 30 to 60 bytes. With
// `key_order` the objects are added in key order, so the records lie in index order;
// otherwise in shuffled order, as when a store is written in the order the data arrives.
std::string user_store(bool key_order) {
    tarnkv::StoreBuilder b;
    std::vector<std::size_t> order(kKeys);
    std::iota(order.begin(), order.end(), 0);
    if (!key_order) std::shuffle(order.begin(), order.end(), std::mt19937_64(11));
    for (std::size_t i : order) {
        std::string object = std::format("{{\"id\":{},\"name\":\"user {}\"}}", i, i);
        object.resize(30 + i % 31, '.');
        const auto id = b.add_object(object).value();
        (void)b.add_key(std::format("user:{:08}", i), id);
    }
    const std::string path = temp_name(key_order ? "users-sorted" : "users-shuffled");
    if (!b.build(path)) std::abort();
    return path;
}
const std::string& shuffled_user_store() {
    static Removed file{user_store(false)};
    return file.path;
}
const std::string& sorted_user_store() {
    static Removed file{user_store(true)};
    return file.path;
}

// Resident set size of this process, from /proc/self/statm.
std::size_t resident_bytes() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    unsigned long size = 0, resident = 0;
    if (!f || std::fscanf(f, "%lu %lu", &size, &resident) != 2) std::abort();
    std::fclose(f);
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// About 1 GiB of 64 KiB objects with one key each, written directly (the builder would hold the
// whole file in memory twice).
const std::string& gib_store() {
    static Removed file{[] {
        constexpr std::size_t objects = 16384;
        constexpr std::size_t object_size = 65536 - 8;
        std::string object(object_size, '\0');
        std::mt19937_64 rng(42);
        for (auto& c : object) c = static_cast<char>(rng());
        unsigned char head[format::kRecordHeaderSize];
        format::encode_record_head(head, object);

        const std::string path = temp_name("1g");
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fseek(f, format::kHeaderSize, SEEK_SET);
        std::uint32_t crc = 0;
        std::string index;
        for (std::size_t i = 0; i < objects; ++i) {
            object[0] = static_cast<char>(i);  // not all alike; the record CRC is left stale
            std::fwrite(head, 1, sizeof head, f);
            std::fwrite(object.data(), 1, object.size(), f);
            crc = format::crc32(object, format::crc32(head, sizeof head, crc));
            const std::string key = std::format("obj:{:08}", i);
            unsigned char e[format::entry_size(12)];
            format::encode_entry(e, key, format::kHeaderSize + i * 65536);
            index.append(reinterpret_cast<const char*>(e), format::entry_size(key.size()));
        }
        std::fwrite(index.data(), 1, index.size(), f);
        crc = format::crc32(index, crc);
        format::Header h{static_cast<std::uint32_t>(objects), static_cast<std::uint32_t>(objects),
                         format::kHeaderSize + objects * 65536, crc};
        const auto bytes = h.encode();
        std::fseek(f, 0, SEEK_SET);
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        return path;
    }()};
    return file.path;
}

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// open(verify=true) against its floor in one thread: mapping the file with MAP_POPULATE, a
// CRC-32 over it, unmapping. Alternating in one loop, so both see the same machine state; the
// reported time is open's. Open may use a second thread to map pages while it checksums.
void BM_OpenVerify1GiB(benchmark::State& state) {
    const std::string& path = gib_store();
    (void)tarnkv::StoreReader::open(path, true);  // into the page cache

    double open_total = 0, floor_total = 0;
    for (auto _ : state) {
        double open_s;
        {
            const auto t0 = Clock::now();
            auto reader = tarnkv::StoreReader::open(path, true);
            open_s = seconds_since(t0);
            if (!reader) state.SkipWithError(reader.error().display());
        }  // unmapped here, outside the timing

        const auto t0 = Clock::now();
        const int fd = ::open(path.c_str(), O_RDONLY);
        const off_t size = ::lseek(fd, 0, SEEK_END);
        void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
        ::close(fd);
        const auto* base = static_cast<const unsigned char*>(map);
        benchmark::DoNotOptimize(format::crc32(base + format::kHeaderSize, size - format::kHeaderSize));
        floor_total += seconds_since(t0);
        ::munmap(map, size);
        open_total += open_s;
        state.SetIterationTime(open_s);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["open_s"] = open_total / n;
    state.counters["floor_s"] = floor_total / n;
    state.counters["open_over_floor"] = open_total / floor_total;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * (1ll << 30));
}
BENCHMARK(BM_OpenVerify1GiB)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);

// How much the resident set grows over an open of `path`, and how long the index section is.
// The heap is given back to the system first, so that freed memory is not reused unseen.
std::pair<std::size_t, std::size_t> open_growth(const std::string& path, bool verify) {
    ::malloc_trim(0);
    const std::size_t before = resident_bytes();
    auto reader = tarnkv::StoreReader::open(path, verify);
    if (!reader) std::abort();
    return {resident_bytes() - before, reader->file_size() - reader->index_offset()};
}

// The reader's resident memory after open (everything it allocates, and the pages of the
// mapping it leaves resident) against the index section on disk, for 16- and 13-byte keys.
void BM_IndexMemory(benchmark::State& state) {
    const std::string& users = shuffled_user_store();
    (void)million_key_store();
    for (auto _ : state) {
        const auto [mem16, disk16] = open_growth(million_key_store(), false);
        const auto [mem13, disk13] = open_growth(users, false);
        const auto [verified13, ignored] = open_growth(users, true);
        state.counters["rss_over_index_16B"] = static_cast<double>(mem16) / static_cast<double>(disk16);
        state.counters["rss_over_index_13B"] = static_cast<double>(mem13) / static_cast<double>(disk13);
        state.counters["rss_over_index_13B_verify"] = static_cast<double>(verified13) / static_cast<double>(disk13);
    }
}
BENCHMARK(BM_IndexMemory)->Iterations(1);

void BM_OpenNoVerify1MKeys(benchmark::State& state) {
    const std::string& path = million_key_store();
    double total = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        auto reader = tarnkv::StoreReader::open(path, false);
        const double s = seconds_since(t0);
        if (!reader) {
            state.SkipWithError(reader.error().display());
            break;
        }
        total += s;
        state.SetIterationTime(s);
    }
    state.counters["ns_per_key"] = total * 1e9 / (static_cast<double>(state.iterations()) * kKeys);
}
BENCHMARK(BM_OpenNoVerify1MKeys)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Probe keys for the lookup benchmarks: every key once, shuffled, packed back to back so that
// reading the next probe is a sequential stream and not one more cache miss.
struct Probes {
    std::string bytes;
    std::size_t count = 0;
    std::string_view at(std::size_t i) const { return std::string_view(bytes).substr(i * kKeyLen, kKeyLen); }
};

const Probes& shuffled_probes() {
    static const Probes probes = [] {
        std::vector<std::size_t> order(kKeys);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), std::mt19937_64(7));
        Probes p;
        p.count = kKeys;
        for (std::size_t i : order) p.bytes += key_of(i);
        return p;
    }();
    return probes;
}

const tarnkv::StoreReader& million_key_reader() {
    static const auto reader = std::make_unique<tarnkv::StoreReader>(
        tarnkv::StoreReader::open(million_key_store(), false).value());
    return *reader;
}

void BM_LookupHit1MKeys(benchmark::State& state) {
    const auto& reader = million_key_reader();
    const Probes& probes = shuffled_probes();
    std::size_t i = 0, found = 0;
    for (auto _ : state) {
        auto offset = reader.lookup(probes.at(i));
        found += offset.has_value();
        benchmark::DoNotOptimize(offset);
        if (++i == probes.count) i = 0;
    }
    if (found != static_cast<std::size_t>(state.iterations())) state.SkipWithError("a probe missed");
}
BENCHMARK(BM_LookupHit1MKeys)->MinTime(2.0);

void BM_GetRawHit1MKeys(benchmark::State& state) {
    const auto& reader = million_key_reader();
    const Probes& probes = shuffled_probes();
    std::size_t i = 0;
    for (auto _ : state) {
        auto object = reader.get_raw(probes.at(i));
        benchmark::DoNotOptimize(object);
        if (++i == probes.count) i = 0;
    }
}
BENCHMARK(BM_GetRawHit1MKeys)->MinTime(2.0);

// Absent keys one byte longer than the stored ones (each sorting right after one of them),
// packed like the probes.
const Probes& miss_probes() {
    static const Probes probes = [] {
        const Probes& hits = shuffled_probes();
        Probes p;
        p.count = hits.count;
        for (std::size_t i = 0; i < hits.count; ++i) {
            p.bytes += hits.at(i);
            p.bytes += 'x';
        }
        return p;
    }();
    return probes;
}

void BM_LookupMiss1MKeys(benchmark::State& state) {
    const auto& reader = million_key_reader();
    const Probes& probes = miss_probes();
    std::size_t i = 0, found = 0;
    for (auto _ : state) {
        const auto offset = reader.lookup(std::string_view(probes.bytes).substr(i * (kKeyLen + 1), kKeyLen + 1));
        found += offset.has_value();
        benchmark::DoNotOptimize(offset);
        if (++i == probes.count) i = 0;
    }
    if (found) state.SkipWithError("a miss was found");
}
BENCHMARK(BM_LookupMiss1MKeys)->MinTime(2.0);

// items_raw over a million entries (so milliseconds per call read as ns per entry); the argument says whether the records are in
// key order (1) or shuffled (0).
void BM_ItemsRaw1MKeys(benchmark::State& state) {
    const std::string& path = state.range(0) ? sorted_user_store() : shuffled_user_store();
    auto reader = tarnkv::StoreReader::open(path, false);
    if (!reader) state.SkipWithError(reader.error().display());
    for (auto _ : state) {
        auto items = reader->items_raw();
        benchmark::DoNotOptimize(items);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * reader->entry_count()));
}
BENCHMARK(BM_ItemsRaw1MKeys)->Arg(0)->Arg(1)->ArgName("key_order")->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
