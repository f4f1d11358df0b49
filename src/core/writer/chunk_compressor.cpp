#include "core/writer/chunk_compressor.hpp"

#include <algorithm>

#include "core/format/layout.hpp"
#include "core/writer/store_builder.hpp"

namespace tarnkv::detail {

Result<std::unique_ptr<ChunkCompressor>> ChunkCompressor::create(std::string_view dictionary, int level,
                                                                 std::uint64_t objects, Input input,
                                                                 std::size_t chunk_bytes, Sink sink) {
    std::unique_ptr<ChunkCompressor> c(
        new ChunkCompressor(input, std::clamp<std::size_t>(chunk_bytes, 1, kMaxChunkBytes), std::move(sink)));
    // A few objects are not worth the threads.
    const std::size_t workers =
        objects < 4096 ? 1 : std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 4);
    c->encoders_.reserve(workers);
    for (std::size_t w = 0; w < workers; ++w) {
        auto encoder = format::ObjectEncoder::create(dictionary, level);
        if (!encoder) return std::unexpected(std::move(encoder.error()));
        c->encoders_.push_back(std::move(*encoder));
    }
    c->threads_.reserve(workers - 1);
    for (std::size_t w = 1; w < workers; ++w) {
        try {
            c->threads_.emplace_back([p = c.get(), w] { p->work(w); });
        } catch (...) {
            break;  // no thread to be had: fewer cores compress
        }
    }
    return c;
}

ChunkCompressor::~ChunkCompressor() { stop(); }

std::string ChunkCompressor::dictionary_record(std::string_view dictionary) {
    std::string rec(format::kRecordHeaderSize, '\0');
    format::encode_record_head(reinterpret_cast<unsigned char*>(rec.data()), dictionary);
    rec += dictionary;
    return rec;
}

void ChunkCompressor::stop() noexcept {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    threads_.clear();  // joins them
}

Status ChunkCompressor::failed(StoreError err) {
    failure_ = err;
    stop();
    return std::unexpected(std::move(err));
}

void ChunkCompressor::make(std::size_t c, format::ObjectEncoder& encoder, std::string& scratch) noexcept {
    Chunk& chunk = ring_[c % kRing];
    chunk.records.clear();
    constexpr std::size_t kAhead = 8;  // views are fetched ahead: they may lie all over memory
    try {
        const std::size_t n = chunk.placed.size();
        std::size_t at = 0;  // in chunk.input
        for (std::size_t j = 0; j < n; ++j) {
            std::string_view object;
            if (input_ == Input::Views) {
                if (j + kAhead < n) __builtin_prefetch(chunk.views[j + kAhead].data());
                object = chunk.views[j];
            } else {
                object = std::string_view(chunk.input).substr(at, chunk.placed[j].size);
                at += object.size();
            }
            const std::size_t before = chunk.records.size();
            if (auto st = append_compressed_record(encoder, object, chunk.records, scratch); !st) {
                chunk.error = std::move(st.error());
                return;
            }
            chunk.placed[j].size = chunk.records.size() - before;
        }
    } catch (...) {
        chunk.error = StoreError::general("out of memory while compressing");
    }
}

void ChunkCompressor::work(std::size_t w) noexcept {
    std::string scratch;
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || taken_ < submitted_; });
        if (stopping_) return;
        const std::size_t c = taken_++;
        lock.unlock();
        make(c, encoders_[w], scratch);
        lock.lock();
        ring_[c % kRing].done = c;
        changed_.notify_all();
    }
}

void ChunkCompressor::submit() {
    const std::lock_guard lock(mutex_);
    ++submitted_;
    filling_ = false;
    changed_.notify_one();
}

Result<bool> ChunkCompressor::step(bool help) {
    std::unique_lock lock(mutex_);
    if (written_ == submitted_) return false;
    Chunk& chunk = ring_[written_ % kRing];
    if (chunk.done != written_) {
        if (!help) return false;
        if (taken_ < submitted_) {
            // Not done yet: one more chunk is made here meanwhile.
            const std::size_t c = taken_++;
            lock.unlock();
            make(c, encoders_[0], scratch_);
            lock.lock();
            ring_[c % kRing].done = c;
            changed_.notify_all();
            return true;
        }
        changed_.wait(lock, [&] { return chunk.done == written_; });
    }
    lock.unlock();
    // Only this thread moves written_ on, and no core touches a chunk once it is done.
    if (chunk.error) return std::unexpected(failed(std::move(*chunk.error)).error());
    if (auto st = sink_(chunk.records, chunk.placed); !st) return std::unexpected(failed(std::move(st.error())).error());
    // A chunk of one large object lets its buffers go, so that the ring holds about its budget.
    if (chunk.records.capacity() > 4 * chunk_bytes_) std::string().swap(chunk.records);
    if (chunk.input.capacity() > 4 * chunk_bytes_) std::string().swap(chunk.input);
    lock.lock();
    ++written_;
    return true;
}

Status ChunkCompressor::add(std::uint32_t id, std::string_view object) {
    if (failure_) return std::unexpected(*failure_);
    if (!filling_) {
        // The chunk to fill is the oldest in the ring: until it is written out, this thread
        // helps the others make chunks.
        while (submitted_ >= written_ + kRing)
            if (auto r = step(true); !r) return std::unexpected(std::move(r.error()));
        Chunk& chunk = ring_[submitted_ % kRing];
        chunk.placed.clear();
        chunk.views.clear();
        chunk.input.clear();
        chunk.bytes = 0;
        chunk.error.reset();
        filling_ = true;
    }
    Chunk& chunk = ring_[submitted_ % kRing];
    chunk.placed.push_back({id, object.size()});
    if (input_ == Input::Views)
        chunk.views.push_back(object);
    else
        chunk.input.append(object);
    chunk.bytes += object.size();
    if (chunk.placed.size() < kChunkObjects && chunk.bytes < chunk_bytes_) return {};
    submit();
    // What is done goes out now; the rest is left to the other cores while more is added.
    for (;;) {
        auto r = step(false);
        if (!r) return std::unexpected(std::move(r.error()));
        if (!*r) return {};
    }
}

Status ChunkCompressor::finish() {
    if (failure_) return std::unexpected(*failure_);
    if (filling_) submit();
    while (written_ < submitted_)
        if (auto r = step(true); !r) return std::unexpected(std::move(r.error()));
    stop();
    return {};
}

}  // namespace tarnkv::detail
