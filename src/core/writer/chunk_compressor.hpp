// ChunkCompressor: objects compressed on every core and handed back in the order they came.
//
// A compressed build in key order (StoreBuilder's, SpillingBuilder's) hands its objects over
// one by one, in the order they go in the file. They gather in chunks (at most kChunkObjects
// objects, fewer once they come to the chunk's byte budget); every core takes the next chunk
// not yet taken and compresses it with an encoder of its own, the adding thread among them
// while it has nothing else to do; and the adding thread hands each chunk, in order, to the
// sink as soon as it is done. An object's frame depends only on the object and the dictionary,
// so what the sink gets is the same whatever the number of cores, the chunk budget, or which
// core took which chunk.
//
// Memory: at most kRing chunks are between being filled and being handed to the sink, each of
// about the chunk budget (or one larger object), with its compressed form; objects taken by
// copy are held in their chunk too.
//
// The sink runs on the adding thread only, inside add() or finish(): it may report progress
// or write a file. Its failure, or a failure to compress, stops the other cores and is
// returned by that call and every later one; what the sink has not had by then never reaches
// it. An exception out of the sink goes through add() or finish(); the compressor stays safe to
// destroy, which stops and joins the other cores.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "core/format/compression.hpp"
#include "core/format/error.hpp"

namespace tarnkv::detail {

class ChunkCompressor {
public:
    // An object as the sink gets it: the ID it was added with, and the size of its record.
    struct Placed {
        std::uint32_t id;
        std::uint64_t size;
    };
    // Called with each chunk's records back to back, and each record's ID and size in order.
    using Sink = std::function<Status(std::string_view records, std::span<const Placed> placed)>;
    // Views: each object added stays where it is, unchanged, until finish() returns or the
    // compressor is gone (the in-memory build's objects). Copies: an object may go as soon as
    // add() returns, so its chunk takes a copy (a spilling build's, read back part by part
    // into a buffer that is then reused).
    enum class Input { Views, Copies };

    static constexpr std::size_t kChunkObjects = 512;
    static constexpr std::size_t kRing = 16;
    static constexpr std::size_t kMaxChunkBytes = std::size_t{1} << 20;

    // Compresses with `dictionary` at `level`, on every core (at most four) when about
    // `objects` objects are to come, on this thread alone for a few. A chunk takes objects
    // until they come to `chunk_bytes` (at most kMaxChunkBytes).
    static Result<std::unique_ptr<ChunkCompressor>> create(std::string_view dictionary, int level,
                                                           std::uint64_t objects, Input input,
                                                           std::size_t chunk_bytes, Sink sink);
    ~ChunkCompressor();
    ChunkCompressor(const ChunkCompressor&) = delete;
    ChunkCompressor& operator=(const ChunkCompressor&) = delete;

    // The record that holds the dictionary: the first of a compressed data section.
    static std::string dictionary_record(std::string_view dictionary);

    // The next object in the file's order, under `id`. The sink may be called with chunks
    // that are done.
    Status add(std::uint32_t id, std::string_view object);
    // After the last add(): every chunk reaches the sink.
    Status finish();

private:
    struct Chunk {
        std::vector<Placed> placed;  // in Copies mode each size is the object's until it is made
        std::vector<std::string_view> views;  // the objects, in Views mode
        std::string input;                    // the objects back to back, in Copies mode
        std::size_t bytes = 0;                // of the objects
        std::string records;                  // back to back, once made
        std::optional<StoreError> error;
        std::size_t done = SIZE_MAX;  // the number of the chunk last made here
    };

    ChunkCompressor(Input input, std::size_t chunk_bytes, Sink sink) noexcept
        : input_(input), chunk_bytes_(chunk_bytes), sink_(std::move(sink)) {}
    // Compresses chunk number `c` with `encoder`.
    void make(std::size_t c, format::ObjectEncoder& encoder, std::string& scratch) noexcept;
    // A worker thread's life: chunks as they are handed over, until stopped.
    void work(std::size_t w) noexcept;
    // Hands the chunk being filled over to the cores.
    void submit();
    // One step towards the sink: the next chunk to it if it is done; else, when `help`, one
    // chunk made here, or a wait for the next to be done. False when there was nothing to do.
    Result<bool> step(bool help);
    // Ends the work of the other cores and joins them.
    void stop() noexcept;
    Status failed(StoreError err);

    const Input input_;
    const std::size_t chunk_bytes_;
    Sink sink_;
    std::vector<format::ObjectEncoder> encoders_;  // [0] is the adding thread's
    std::string scratch_;                          // the adding thread's
    std::array<Chunk, kRing> ring_;
    std::mutex mutex_;
    std::condition_variable changed_;
    // Under the mutex: chunk numbers. Chunks [written_, submitted_) are with the cores, those
    // below taken_ being made or done; chunk submitted_ is the one being filled, when filling_.
    std::size_t submitted_ = 0, taken_ = 0, written_ = 0;
    bool stopping_ = false;
    bool filling_ = false;  // the adding thread's
    std::optional<StoreError> failure_;
    std::vector<std::jthread> threads_;
};

}  // namespace tarnkv::detail
