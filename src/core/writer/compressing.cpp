// A compressed builder (format in core/format/compression.hpp).
//
// Objects are kept as given, in key order, and compressed as a build writes them (see
// emit_compressed in store_builder.cpp), with a dictionary trained for that build on a sample
// of what it stores: a spilling build, which cannot hold the objects, does the same and writes
// the same file.
#include <vector>

#include "core/writer/sample_reservoir.hpp"
#include "core/writer/store_builder.hpp"

namespace tarnkv {

Status StoreBuilder::compress(int level) {
    if (num_objects() != 0) return std::unexpected(StoreError::general("compression must be chosen before any object"));
    // Each build trains on the objects it stores, which only a build in key order gathers.
    if (!by_key_order_) return std::unexpected(StoreError::general("a compressed store keeps its objects in key order"));
    // The level is tried on a throwaway encoder, so that a bad one fails here, not at training.
    if (auto probe = format::ObjectEncoder::create({}, level); !probe) return std::unexpected(std::move(probe.error()));
    level_ = level;
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
