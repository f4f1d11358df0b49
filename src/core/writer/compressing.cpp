// A compressed builder (format in core/format/compression.hpp): objects are kept as given
// until finish_training() (build time), so that the dictionary learns from a sample spread over
// the whole input rather than from its first objects: records drift along an input (IDs grow
// wider, fields fill in), and a dictionary of the first twenty thousand fits the rest badly (on
// one million small user records the stored objects came to 1.00x their size that way, 0.69x
// with the sample spread). Training makes the dictionary the first record of the data section
// and compresses every object kept, on all cores; objects added after it are compressed as they
// are added. Objects reach the data section in their stored form, so nothing after
// add_object() and finish_training() knows about compression.
#include <algorithm>
#include <atomic>
#include <exception>
#include <functional>
#include <format>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "core/writer/store_builder.hpp"

namespace tarnkv {

struct StoreBuilder::Compressing {
    int level;
    std::optional<format::ObjectEncoder> encoder;  // empty while samples are collected
    std::string dictionary;
    std::string scratch;               // the stored form of the object being added
    std::uint64_t original_bytes = 0;  // of every object added
};

// Here, where Compressing is complete.
StoreBuilder::StoreBuilder() : seed_(std::random_device{}()) {}
StoreBuilder::~StoreBuilder() = default;

Status StoreBuilder::compress(int level) {
    if (num_objects() != 0) return std::unexpected(StoreError::general("compression must be chosen before any object"));
    // The level is tried on a throwaway encoder, so that a bad one fails here, not at training.
    if (auto probe = format::ObjectEncoder::create({}, level); !probe) return std::unexpected(std::move(probe.error()));
    compress_ = std::make_unique<Compressing>();
    compress_->level = level;
    return {};
}

bool StoreBuilder::trained() const noexcept { return !compress_ || compress_->encoder.has_value(); }

std::uint64_t StoreBuilder::original_bytes() const noexcept {
    return compress_ ? compress_->original_bytes : data_.size() - num_objects() * format::kRecordHeaderSize;
}

std::size_t StoreBuilder::dictionary_size() const noexcept { return compress_ ? compress_->dictionary.size() : 0; }

void StoreBuilder::counted(std::string_view bytes) noexcept {
    compress_->original_bytes += bytes.size();
}

Result<std::string_view> StoreBuilder::compressed_form(std::string_view bytes) {
    Compressing& c = *compress_;
    if (!c.encoder) {
        // Kept as given until training; the tag byte it will get must fit all the same, so an
        // object at the very limit fails now, where the caller can tell which one it was.
        if (bytes.size() + 1 > format::kMaxObjectLen)
            return std::unexpected(StoreError::general(std::format(
                "object of {} bytes exceeds the {}-byte limit once stored", bytes.size(), format::kMaxObjectLen)));
        return bytes;
    }
    if (auto st = c.encoder->encode(bytes, c.scratch); !st) return std::unexpected(std::move(st.error()));
    if (c.scratch.size() > format::kMaxObjectLen)  // the tag byte on an object at the very limit
        return std::unexpected(StoreError::general(
            std::format("object of {} bytes exceeds the {}-byte limit once stored", bytes.size(), format::kMaxObjectLen)));
    return std::string_view(c.scratch);
}

Status StoreBuilder::copy_compression(const StoreBuilder& from) {
    auto encoder = format::ObjectEncoder::create(from.compress_->dictionary, from.compress_->level);
    if (!encoder) return std::unexpected(std::move(encoder.error()));
    compress_ = std::make_unique<Compressing>();
    compress_->level = from.compress_->level;
    compress_->dictionary = from.compress_->dictionary;
    compress_->encoder.emplace(std::move(*encoder));
    unsigned char head[format::kRecordHeaderSize];
    format::encode_record_head(head, compress_->dictionary);
    data_.append(head, sizeof head);
    data_.append(compress_->dictionary);
    return {};
}

namespace {

// The stored records of objects [begin, end) compressed with one encoder, back to back, and the
// offset of each within them.
struct CompressedPart {
    detail::GrowingBuffer data;
    detail::PodVector<std::uint64_t> offsets;
    std::optional<StoreError> error;
};

Status compress_part(const std::function<std::string_view(std::size_t)>& object, std::size_t begin, std::size_t end,
                     std::string_view dictionary, int level, CompressedPart& part) {
    auto encoder = format::ObjectEncoder::create(dictionary, level);
    if (!encoder) return std::unexpected(std::move(encoder.error()));
    std::string stored;
    part.offsets.reserve_more(end - begin);
    for (std::size_t id = begin; id < end; ++id) {
        if (auto st = encoder->encode(object(id), stored); !st) return std::unexpected(std::move(st.error()));
        if (stored.size() > format::kMaxObjectLen)
            return std::unexpected(StoreError::general("an object exceeds the size limit once stored"));
        unsigned char head[format::kRecordHeaderSize];
        format::encode_record_head(head, stored);
        part.data.reserve_more(sizeof head + stored.size());
        part.offsets.push_back(part.data.size());
        part.data.append(head, sizeof head);
        part.data.append(stored);
    }
    return {};
}

}  // namespace

Status StoreBuilder::finish_training() {
    if (trained()) return {};
    Compressing& c = *compress_;
    const std::size_t n = num_objects();
    const auto object = [&](std::size_t id) {
        const std::uint64_t at = record_offsets_[id] - format::kHeaderSize;
        const std::uint64_t end = id + 1 < n ? record_offsets_[id + 1] - format::kHeaderSize : data_.size();
        return data_.view().substr(at + format::kRecordHeaderSize, end - at - format::kRecordHeaderSize);
    };
    std::vector<std::string_view> samples;
    for (const std::size_t id : format::sample_ids(n, c.original_bytes)) samples.push_back(object(id));
    std::string dictionary = format::train_dictionary(samples);
    auto encoder = format::ObjectEncoder::create(dictionary, c.level);
    if (!encoder) return std::unexpected(std::move(encoder.error()));

    // Every object kept is compressed now, the objects split into one contiguous part per
    // core, each with an encoder of its own; the parts are joined in order, so the file is the
    // same whatever the number of cores.
    const std::size_t cores = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 8);
    const std::size_t parts = n < 4096 ? 1 : std::min(cores, n / 2048);
    std::vector<CompressedPart> done(parts);
    const std::function<std::string_view(std::size_t)> object_fn = object;
    const auto run = [&](std::size_t p) noexcept {
        try {
            auto st = compress_part(object_fn, n * p / parts, n * (p + 1) / parts, dictionary, c.level, done[p]);
            if (!st) done[p].error = std::move(st.error());
        } catch (const std::bad_alloc&) {
            done[p].error = StoreError::general("out of memory while compressing");
        } catch (...) {
            done[p].error = StoreError::general("compressing failed");
        }
    };
    {
        std::vector<std::jthread> workers;
        for (std::size_t p = 1; p < parts; ++p) {
            try {
                workers.emplace_back(run, p);
            } catch (...) {
                run(p);  // no thread to be had: this one does the part
            }
        }
        run(0);
    }  // joined
    for (auto& part : done)
        if (part.error) return std::unexpected(std::move(*part.error));

    // The new data section is made beside the old one, which stays as it was on any failure.
    detail::GrowingBuffer data;
    detail::PodVector<std::uint64_t> offsets;
    std::size_t stored_size = 0;
    for (const auto& part : done) stored_size += part.data.size();
    data.reserve_more(format::kRecordHeaderSize + dictionary.size() + stored_size);
    offsets.reserve_more(n);
    unsigned char head[format::kRecordHeaderSize];
    format::encode_record_head(head, dictionary);
    data.append(head, sizeof head);
    data.append(dictionary);
    for (auto& part : done) {
        const std::uint64_t base = format::kHeaderSize + data.size();
        for (const std::uint64_t at : part.offsets) offsets.push_back(base + at);
        data.append(part.data.view());
        part.data = detail::GrowingBuffer();  // freed as soon as it is copied
    }
    data_ = std::move(data);
    record_offsets_ = std::move(offsets);
    c.dictionary = std::move(dictionary);
    c.encoder.emplace(std::move(*encoder));
    return {};
}

}  // namespace tarnkv
