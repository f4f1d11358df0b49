// ChunkCompressor: whatever the cores, the chunk budget or whether objects are copied, the sink
// gets every object's record in the order added, each what one encoder alone makes of it; a
// failing or throwing sink stops it, and nothing reaches the sink after that.
#include <format>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/format/layout.hpp"
#include "core/writer/chunk_compressor.hpp"
#include "core/writer/store_builder.hpp"
#include "test_util.hpp"

namespace tarnkv::testing {
namespace {

using detail::ChunkCompressor;

// Records of a few sizes, some large enough to fill a chunk alone.
std::vector<std::string> objects(std::size_t n) {
    std::mt19937 rng(5);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < n; ++i) {
        std::string o = std::format("{{\"id\": {}, \"group\": \"g{}\"}}", i, rng() % 50);
        if (i % 997 == 3)
            while (o.size() < 300'000) o += std::format(" w{}", rng() % 300);
        out.push_back(std::move(o));
    }
    return out;
}

const std::string& dictionary() {
    static const std::string d = [] {
        std::string s;
        for (int i = 0; i < 200; ++i) s += std::format("{{\"id\": {}, \"group\": \"g{}\"}}", i * 37, i % 50);
        return s;  // raw content: a dictionary of plain bytes
    }();
    return d;
}

// What one encoder makes of the objects in order: the records back to back.
std::string one_by_one(const std::vector<std::string>& objs) {
    auto encoder = format::ObjectEncoder::create(dictionary(), 3);
    EXPECT_TRUE(encoder);
    std::string out, scratch;
    for (const auto& o : objs) EXPECT_TRUE(detail::append_compressed_record(*encoder, o, out, scratch));
    return out;
}

struct Collected {
    std::string records;
    std::vector<std::uint32_t> ids;
    std::uint64_t sizes = 0;
    std::size_t chunks = 0;
};

ChunkCompressor::Sink collect(Collected& c) {
    return [&c](std::string_view records, std::span<const ChunkCompressor::Placed> placed) -> Status {
        c.records += records;
        for (const auto& p : placed) {
            c.ids.push_back(p.id);
            c.sizes += p.size;
        }
        ++c.chunks;
        return {};
    };
}

TEST(ChunkCompressor, RecordsComeInOrderAsOneEncoderMakesThemWhateverTheChunksAndInput) {
    const auto objs = objects(20000);  // past the count that brings in every core
    const std::string want = one_by_one(objs);
    for (const auto input : {ChunkCompressor::Input::Views, ChunkCompressor::Input::Copies}) {
        for (const std::size_t chunk_bytes : {std::size_t{1}, std::size_t{4096}, ChunkCompressor::kMaxChunkBytes}) {
            Collected got;
            auto c = ChunkCompressor::create(dictionary(), 3, objs.size(), input, chunk_bytes, collect(got));
            ASSERT_TRUE(c);
            std::string reused;  // copied objects may go as soon as they are added
            for (std::uint32_t i = 0; i < objs.size(); ++i) {
                if (input == ChunkCompressor::Input::Copies) {
                    reused.assign(objs[i]);
                    ASSERT_TRUE((*c)->add(i * 3, reused));
                    reused.assign(reused.size(), '#');
                } else {
                    ASSERT_TRUE((*c)->add(i * 3, objs[i]));
                }
            }
            ASSERT_TRUE((*c)->finish());
            ASSERT_EQ(got.ids.size(), objs.size());
            for (std::uint32_t i = 0; i < objs.size(); ++i) ASSERT_EQ(got.ids[i], i * 3);
            EXPECT_EQ(got.sizes, got.records.size());
            EXPECT_TRUE(got.records == want) << "chunk bytes " << chunk_bytes;
            // One object a chunk; then chunks cut by bytes; then by the object count.
            if (chunk_bytes == 1)
                EXPECT_EQ(got.chunks, objs.size());
            else
                EXPECT_GT(got.chunks, chunk_bytes == 4096 ? 100u : objs.size() / ChunkCompressor::kChunkObjects);
        }
    }
}

TEST(ChunkCompressor, ASinkFailureStopsItAndNothingReachesTheSinkAfter) {
    const auto objs = objects(30000);
    Collected got;
    std::size_t calls = 0;
    auto c = ChunkCompressor::create(dictionary(), 3, objs.size(), ChunkCompressor::Input::Copies, 4096,
                                     [&](std::string_view records, std::span<const ChunkCompressor::Placed> placed) -> Status {
                                         if (++calls == 5) return std::unexpected(StoreError::general("disk full"));
                                         return collect(got)(records, placed);
                                     });
    ASSERT_TRUE(c);
    Status st;
    std::uint32_t i = 0;
    for (; i < objs.size() && st; ++i) st = (*c)->add(i, objs[i]);
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().message(), "disk full");
    ASSERT_LT(i, objs.size() / 2);  // stopped early, not at the end
    EXPECT_FALSE((*c)->add(i, objs[i]));
    const auto fin = (*c)->finish();
    ASSERT_FALSE(fin);
    EXPECT_EQ(fin.error().message(), "disk full");
    EXPECT_EQ(calls, 5u);
    EXPECT_EQ(got.chunks, 4u);
    // What came before the failure is the start of the file, in order.
    EXPECT_EQ(got.records, one_by_one(objs).substr(0, got.records.size()));
}

TEST(ChunkCompressor, AThrowingSinkLeavesItSafeToDestroyAndOtherCoresStop) {
    const auto objs = objects(30000);
    std::size_t calls = 0;
    auto c = ChunkCompressor::create(dictionary(), 3, objs.size(), ChunkCompressor::Input::Views, 4096,
                                     [&](std::string_view, std::span<const ChunkCompressor::Placed>) -> Status {
                                         if (++calls == 3) throw std::runtime_error("stop");
                                         return {};
                                     });
    ASSERT_TRUE(c);
    EXPECT_THROW(
        {
            for (std::uint32_t i = 0; i < objs.size(); ++i) ASSERT_TRUE((*c)->add(i, objs[i]));
            ASSERT_TRUE((*c)->finish());
        },
        std::runtime_error);
    c->reset();  // joins the other cores, which may be in the middle of a chunk
    EXPECT_EQ(calls, 3u);
}

}  // namespace
}  // namespace tarnkv::testing
