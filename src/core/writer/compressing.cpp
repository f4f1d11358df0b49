// A compressed builder (format in core/format/compression.hpp).
//
// In ID order, the first objects are kept as given while they serve as the dictionary's
// training samples; then the dictionary is trained, it becomes the first record of the data
// section, the kept objects are compressed in place of their records, and every later object
// is compressed as it is added. Objects reach the data section in their stored form, so
// nothing after add_object() knows about compression.
//
// In key order, objects are kept as given and compressed as a build writes them (see
// emit_compressed in store_builder.cpp), with a dictionary trained for that build on a sample
// of what it stores: a spilling build, which cannot hold the objects, does the same and writes
// the same file.
#include <format>
#include <random>
#include <vector>

#include "core/writer/sample_reservoir.hpp"
#include "core/writer/store_builder.hpp"

namespace tarnkv {

struct StoreBuilder::Compressing {
    int level;
    std::optional<format::ObjectEncoder> encoder;  // empty while samples are collected
    std::string dictionary;
    std::string scratch;               // the stored form of the object being added
    std::uint64_t original_bytes = 0;  // of every object added
    std::uint64_t sample_bytes = 0;    // of the objects kept as samples
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

bool StoreBuilder::trained() const noexcept { return !compress_ || by_key_order_ || compress_->encoder.has_value(); }

std::optional<int> StoreBuilder::compression_level() const noexcept {
    if (!compress_) return std::nullopt;
    return compress_->level;
}

std::uint64_t StoreBuilder::original_bytes() const noexcept {
    return compress_ && !by_key_order_ ? compress_->original_bytes
                                       : data_.size() - num_objects() * format::kRecordHeaderSize;
}

std::size_t StoreBuilder::dictionary_size() const noexcept { return compress_ ? compress_->dictionary.size() : 0; }

void StoreBuilder::counted(std::string_view bytes) noexcept {
    compress_->original_bytes += bytes.size();
    if (!compress_->encoder) compress_->sample_bytes += bytes.size();
}

Result<std::string_view> StoreBuilder::compressed_form(std::string_view bytes) {
    Compressing& c = *compress_;
    if (!c.encoder && (num_objects() >= format::kSampleObjects || c.sample_bytes >= format::kSampleBytes))
        if (auto st = finish_training(); !st) return std::unexpected(std::move(st.error()));
    if (!c.encoder) return bytes;
    if (auto st = c.encoder->encode(bytes, c.scratch); !st) return std::unexpected(std::move(st.error()));
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

Status StoreBuilder::finish_training() {
    if (trained()) return {};  // key order: every build trains its own
    Compressing& c = *compress_;
    const std::size_t n = num_objects();
    const auto object = [&](std::size_t id) {
        const std::uint64_t at = record_offsets_[id] - format::kHeaderSize;
        const std::uint64_t end = id + 1 < n ? record_offsets_[id + 1] - format::kHeaderSize : data_.size();
        return data_.view().substr(at + format::kRecordHeaderSize, end - at - format::kRecordHeaderSize);
    };
    std::vector<std::string_view> samples;
    samples.reserve(n);
    for (std::size_t id = 0; id < n; ++id) samples.push_back(object(id));
    std::string dictionary = format::train_dictionary(samples);
    auto encoder = format::ObjectEncoder::create(dictionary, c.level);
    if (!encoder) return std::unexpected(std::move(encoder.error()));

    // The new data section is made beside the old one, which stays as it was on any failure.
    detail::GrowingBuffer data;
    detail::PodVector<std::uint64_t> offsets;
    data.reserve_more(format::kRecordHeaderSize + dictionary.size() + data_.size() + n);
    offsets.reserve_more(n);
    const auto append = [&](std::string_view stored) {
        unsigned char head[format::kRecordHeaderSize];
        format::encode_record_head(head, stored);
        data.reserve_more(sizeof head + stored.size());
        data.append(head, sizeof head);
        data.append(stored);
    };
    append(dictionary);
    std::string stored;
    for (std::size_t id = 0; id < n; ++id) {
        if (auto st = encoder->encode(object(id), stored); !st) return std::unexpected(std::move(st.error()));
        offsets.push_back(format::kHeaderSize + data.size());
        append(stored);
    }
    data_ = std::move(data);
    record_offsets_ = std::move(offsets);
    c.dictionary = std::move(dictionary);
    c.encoder.emplace(std::move(*encoder));
    return {};
}

namespace detail {

namespace {
template <class Piece>
std::string train_on_sample(const BasicSampleReservoir<Piece>& sample, std::optional<std::uint64_t> object_bytes) {
    const std::vector<std::string_view> samples = sample.samples();
    return format::train_dictionary(samples, format::dictionary_size_for(object_bytes.value_or(sample.offered_bytes())));
}
}  // namespace

std::string train_on(const SampleReservoir& sample, std::optional<std::uint64_t> object_bytes) {
    return train_on_sample(sample, object_bytes);
}

std::string train_on(const SampleReservoirOfViews& sample, std::optional<std::uint64_t> object_bytes) {
    return train_on_sample(sample, object_bytes);
}

Status append_compressed_record(format::ObjectEncoder& encoder, std::string_view object, std::string& out,
                                std::string& scratch) {
    if (auto st = encoder.encode(object, scratch); !st) return st;
    unsigned char head[format::kRecordHeaderSize];
    format::encode_record_head(head, scratch);
    out.append(reinterpret_cast<const char*>(head), sizeof head);
    out += scratch;
    return {};
}

}  // namespace detail

}  // namespace tarnkv
