// What it would cost a reader to notice, on every lookup, that its file was changed in place
// (truncated or copied over) since open. A reader reads objects straight out of a shared
// mapping, so bytes cut off by a truncation raise SIGBUS instead of an error. The candidates
// all need the descriptor kept open and a system call per lookup:
//
//   fstat   fstat(fd), then compare size and modification time with those seen at open
//   statx   the same through statx(fd, "", AT_EMPTY_PATH, size | mtime)
//   stat    stat(path): also notices a rename over the path, which needs no notice at all
//   pread   no mapping for objects: pread the record, so a truncation reads short instead
//
// None of them closes the race: the file can still be cut between the check and the copy.
// Each runs interleaved with the plain hit in the same process, rounds of 200,000 lookups,
// best round of each; the counters give ns per lookup and the ratio to the plain hit.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <format>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "core/format/layout.hpp"
#include "core/reader/store_reader.hpp"
#include "core/writer/store_builder.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kKeys = 1'000'000;
constexpr std::size_t kRound = 200'000;
constexpr int kRounds = 7;

std::string key_of(std::size_t i) { return std::format("user:{:08}", (i * 0x9E3779B1ull) % kKeys); }

struct Store {
    std::string path = std::format("/tmp/tarnkv-bench-change-{}.trnk", ::getpid());
    Store() {
        tarnkv::StoreBuilder b;
        for (std::size_t i = 0; i < kKeys; ++i) {
            std::string object = std::format("{{\"id\":{},\"name\":\"user {}\"}}", i, i);
            object.resize(30 + i % 31, '.');
            (void)b.add_key(std::format("user:{:08}", i), b.add_object(object).value());
        }
        if (!b.build(path)) std::abort();
    }
    ~Store() { std::remove(path.c_str()); }
};

struct Seen {
    off_t size;
    timespec mtime;
    bool same(off_t s, timespec m) const { return s == size && m.tv_sec == mtime.tv_sec && m.tv_nsec == mtime.tv_nsec; }
};

void BM_ChangeCheckCost(benchmark::State& state) {
    static const Store store;
    auto opened = tarnkv::StoreReader::open(store.path, false);
    if (!opened) return state.SkipWithError(opened.error().display());
    const tarnkv::StoreReader& reader = *opened;
    const int fd = ::open(store.path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st0;
    ::fstat(fd, &st0);
    const Seen seen{st0.st_size, st0.st_mtim};

    std::vector<std::string> probes(kKeys);
    for (std::size_t i = 0; i < kKeys; ++i) probes[i] = key_of(i);
    std::shuffle(probes.begin(), probes.end(), std::mt19937_64(5));

    std::string copy;  // the binding copies every hit into a new bytes object
    std::size_t changed = 0;
    const auto hit = [&](const std::string& key) {
        auto object = reader.get_raw(key);
        copy.assign(**object);
    };
    struct Named {
        const char* name;
        std::function<void(const std::string&)> run;
    };
    const std::vector<Named> variants = {
        {"hit", hit},
        {"fstat",
         [&](const std::string& key) {
             struct stat st;
             if (::fstat(fd, &st) != 0 || !seen.same(st.st_size, st.st_mtim)) ++changed;
             hit(key);
         }},
        {"statx",
         [&](const std::string& key) {
             struct statx sx;
             if (::statx(fd, "", AT_EMPTY_PATH, STATX_SIZE | STATX_MTIME, &sx) != 0 ||
                 !seen.same(static_cast<off_t>(sx.stx_size), {sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec}))
                 ++changed;
             hit(key);
         }},
        {"stat",
         [&](const std::string& key) {
             struct stat st;
             if (::stat(store.path.c_str(), &st) != 0 || !seen.same(st.st_size, st.st_mtim)) ++changed;
             hit(key);
         }},
        {"pread",
         [&](const std::string& key) {
             const auto offset = reader.lookup(key);
             unsigned char head[tarnkv::format::kRecordHeaderSize];
             if (::pread(fd, head, sizeof head, static_cast<off_t>(*offset)) != sizeof head) ++changed;
             copy.resize(tarnkv::format::load_be32(head));
             if (::pread(fd, copy.data(), copy.size(), static_cast<off_t>(*offset + sizeof head)) !=
                 static_cast<ssize_t>(copy.size()))
                 ++changed;
         }},
    };

    std::vector<double> best(variants.size(), std::numeric_limits<double>::infinity());
    for (auto _ : state) {
        std::size_t next = 0;
        for (int round = 0; round < kRounds; ++round) {
            for (std::size_t v = 0; v < variants.size(); ++v) {
                const auto t0 = Clock::now();
                for (std::size_t i = 0; i < kRound; ++i) variants[v].run(probes[(next + i) % kKeys]);
                const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / kRound;
                best[v] = std::min(best[v], ns);
            }
            next += kRound;
        }
    }
    ::close(fd);
    if (changed) state.SkipWithError("a check saw a change that did not happen");
    for (std::size_t v = 0; v < variants.size(); ++v) {
        state.counters[std::format("{}_ns", variants[v].name)] = best[v];
        if (v) state.counters[std::format("{}_over_hit", variants[v].name)] = best[v] / best[0];
    }
}
BENCHMARK(BM_ChangeCheckCost)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
