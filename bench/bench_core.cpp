// Core microbenchmarks outside the reader: CRC-32 throughput against a plain read of the same
// buffer (the memory-bandwidth limit), and building a store of one million records.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <vector>
#include <format>
#include <numeric>
#include <random>
#include <string>

#include <unistd.h>

#include <benchmark/benchmark.h>

#include "core/format/layout.hpp"
#include "core/writer/store_builder.hpp"

namespace {

const std::string& buffer() {
    static const std::string buf = [] {
        std::string b(256u << 20, '\0');
        std::mt19937_64 rng(7);
        for (std::size_t i = 0; i + 8 <= b.size(); i += 8) {
            const std::uint64_t v = rng();
            std::memcpy(b.data() + i, &v, 8);
        }
        return b;
    }();
    return buf;
}

void BM_Crc32(benchmark::State& state) {
    const std::string& b = buffer();
    for (auto _ : state) benchmark::DoNotOptimize(tarnkv::format::crc32(b));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * b.size()));
}
BENCHMARK(BM_Crc32)->Unit(benchmark::kMillisecond);

// The same bytes summed as 64-bit words: what reading them costs at all.
void BM_PlainRead(benchmark::State& state) {
    const std::string& b = buffer();
    for (auto _ : state) {
        const auto* w = reinterpret_cast<const std::uint64_t*>(b.data());
        std::uint64_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
        for (std::size_t i = 0; i + 4 <= b.size() / 8; i += 4) {
            s0 += w[i];
            s1 += w[i + 1];
            s2 += w[i + 2];
            s3 += w[i + 3];
        }
        benchmark::DoNotOptimize(s0 + s1 + s2 + s3);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * b.size()));
}
BENCHMARK(BM_PlainRead)->Unit(benchmark::kMillisecond);

// One million records of 30-60 bytes under keys "user:%08d" added in shuffled order, then the
// file written (temporary, fsync, rename) under /tmp.
void BM_BuildMillion(benchmark::State& state) {
    constexpr std::uint32_t n = 1'000'000;
    std::vector<std::uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    std::shuffle(order.begin(), order.end(), std::mt19937(11));
    const std::string path = std::format("/tmp/tarnkv-bench-build-{}.trnk", ::getpid());
    for (auto _ : state) {
        tarnkv::StoreBuilder b;
        for (std::uint32_t i : order) {
            const std::string obj(30 + i % 31, static_cast<char>(i));
            const auto id = b.add_object(obj).value();
            (void)b.add_key(std::format("user:{:08}", i), id);
        }
        if (!b.build(path)) state.SkipWithError("build failed");
    }
    std::remove(path.c_str());
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
}
BENCHMARK(BM_BuildMillion)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
