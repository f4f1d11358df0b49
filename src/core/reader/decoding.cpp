// Reading compressed stores: the dictionary record, and objects decoded as they were put.
#include <format>

#include "core/reader/reader_impl.hpp"

namespace tarnkv {

Status StoreReader::enable_decoding() {
    Impl& r = *impl_;
    // open() has checked that the whole header is there.
    const auto compressed = format::compressed_by_header(r.base[format::kCompressionByteAt]);
    if (!compressed) return std::unexpected(std::move(compressed.error()));
    if (!*compressed) return {};
    // A damaged dictionary leaves the store open, its compressed objects failing.
    auto decoder = format::ObjectDecoder::from_record(r.image(), format::kDictionaryAt);
    if (!decoder) return std::unexpected(std::move(decoder.error()));
    r.decoder = std::make_unique<format::ObjectDecoder>(std::move(*decoder));
    return {};
}

bool StoreReader::compressed() const noexcept { return impl_->decoder != nullptr; }

const format::ObjectDecoder* StoreReader::decoder() const noexcept { return impl_->decoder.get(); }

Result<std::string_view> StoreReader::decode(std::string_view stored, std::string& scratch) const {
    if (!impl_->decoder) return stored;
    return impl_->decoder->decode(stored, scratch);
}

Result<StoreReader::CompressionSizes> StoreReader::compression_sizes() const {
    CompressionSizes sizes;
    const format::ObjectDecoder* decoder = impl_->decoder.get();
    if (!decoder) return sizes;
    sizes.dictionary = decoder->dictionary_size();
    std::string scratch;
    auto st = impl_->each_distinct_offset([&](std::uint64_t offset) -> Status {
        auto stored = object_at(offset);
        if (!stored) return std::unexpected(std::move(stored.error()));
        auto object = decoder->decode(*stored, scratch);
        if (!object) return std::unexpected(std::move(object.error()));
        sizes.stored += stored->size();
        sizes.original += object->size();
        return {};
    });
    if (!st) return std::unexpected(std::move(st.error()));
    return sizes;
}

}  // namespace tarnkv
