// Reading compressed stores: the dictionary record, and objects decoded as they were put.
#include <format>

#include "core/reader/reader_impl.hpp"

namespace tarnkv {

Status StoreReader::enable_decoding() {
    Impl& r = *impl_;
    // open() has checked that the whole header is there.
    const std::uint8_t kind = r.base[format::kCompressionByteAt];
    if (kind == static_cast<std::uint8_t>(format::Compression::None)) return {};
    if (kind != static_cast<std::uint8_t>(format::Compression::Zstd))
        return std::unexpected(StoreError::corrupt(std::format("unknown compression {} in the header", kind)));
    // The dictionary's record is checked here whatever the reader's options: every compressed
    // object depends on it. A damaged one leaves the store open, its compressed objects failing.
    const auto record = format::RecordView::at(r.image(), format::kHeaderSize);
    std::string_view dictionary;
    const char* fault = nullptr;
    if (!record)
        fault = "the store's dictionary record extends beyond the file";
    else if (format::crc32(record->bytes()) != record->stored_crc())
        fault = "the store's dictionary record fails its CRC32";
    else
        dictionary = record->bytes();
    auto decoder = fault ? format::ObjectDecoder::unusable(fault) : format::ObjectDecoder::create(dictionary);
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
