// Queries on an open store: object reads, lookups, prefix scans, enumerations, verification
// and statistics. None of them changes the reader.
#include <algorithm>
#include <format>
#include <functional>
#include <ranges>

#include "core/format/layout.hpp"
#include "core/reader/reader_impl.hpp"
#include "core/reader/store_reader.hpp"

namespace tarnkv {

namespace fmt = format;

Result<std::string_view> StoreReader::object_at(std::uint64_t offset) const {
    const Impl& r = *impl_;
    // Written as differences from the file size, so an offset near 2^64 cannot wrap past it.
    if (offset > r.file_size || r.file_size - offset < fmt::kRecordHeaderSize)
        return std::unexpected(StoreError::corrupt(std::format("offset {} out of bounds", offset)));
    const std::uint32_t length = fmt::load_be32(r.base + offset);
    if (r.file_size - offset - fmt::kRecordHeaderSize < length)
        return std::unexpected(StoreError::corrupt(std::format("object at {} extends beyond file end", offset)));
    return std::string_view(reinterpret_cast<const char*>(r.base + offset + fmt::kRecordHeaderSize), length);
}

Result<std::string> StoreReader::read_object(std::uint64_t offset) const {
    return object_at(offset).transform([](std::string_view bytes) { return std::string(bytes); });
}

std::optional<std::uint64_t> StoreReader::lookup(std::string_view key) const noexcept {
    return impl_->lookup(key);
}

Result<std::optional<std::string_view>> StoreReader::get_raw(std::string_view key) const {
    const auto offset = lookup(key);
    if (!offset) return std::optional<std::string_view>();
    return object_at(*offset).transform([](std::string_view bytes) { return std::optional(bytes); });
}

bool StoreReader::exists(std::string_view key) const noexcept { return lookup(key).has_value(); }

Result<std::vector<Item>> StoreReader::prefix_raw(std::string_view prefix) const {
    const Impl& r = *impl_;
    std::vector<Item> out;
    if (r.entries == 0) return out;
    // Entries are in key order in a well-formed file, so the matches are one run starting at
    // the first key not less than the prefix. An unsorted file gives some run, never a fault.
    const auto positions = std::views::iota(std::size_t{0}, r.entries);
    std::size_t i = *std::ranges::lower_bound(positions, prefix, fmt::key_less,
                                              [&r](std::size_t e) { return r.key_at(e); });
    for (std::size_t ahead = i; ahead < i + Impl::prefetch_ahead; ++ahead) r.prefetch_object(ahead);
    for (; i < r.entries; ++i) {
        r.prefetch_object(i + Impl::prefetch_ahead);
        const std::string_view key = r.key_at(i);
        if (!key.starts_with(prefix)) break;
        auto object = object_at(r.offset_at(i));
        if (!object) return std::unexpected(std::move(object.error()));
        out.push_back({key, *object});
    }
    return out;
}

Result<std::vector<Item>> StoreReader::items_raw() const {
    const Impl& r = *impl_;
    std::vector<Item> out;
    out.reserve(r.entries);
    for (std::size_t i = 0; i < Impl::prefetch_ahead; ++i) r.prefetch_object(i);
    for (std::size_t i = 0; i < r.entries; ++i) {
        r.prefetch_object(i + Impl::prefetch_ahead);
        // A shared object is only bounds-checked again here: the views cost no copy.
        auto object = object_at(r.offset_at(i));
        if (!object) return std::unexpected(std::move(object.error()));
        out.push_back({r.key_at(i), *object});
    }
    return out;
}

Result<std::vector<std::string_view>> StoreReader::objects_raw() const {
    std::vector<std::string_view> out;
    auto st = impl_->each_distinct_offset([&](std::uint64_t offset) -> Status {
        auto object = object_at(offset);
        if (!object) return std::unexpected(std::move(object.error()));
        out.push_back(*object);
        return {};
    });
    if (!st) return std::unexpected(std::move(st.error()));
    return out;
}

Status StoreReader::verify() const {
    const Impl& r = *impl_;
    if (auto st = detail::check_body_crc(r.base, r.file_size, r.file_crc32); !st) return st;
    return r.each_distinct_offset([&r](std::uint64_t offset) -> Status {
        if (offset > r.file_size || r.file_size - offset < fmt::kRecordHeaderSize)
            return std::unexpected(StoreError::corrupt(std::format("object offset {} out of bounds", offset)));
        const std::uint32_t length = fmt::load_be32(r.base + offset);
        const std::uint32_t stored = fmt::load_be32(r.base + offset + 4);
        if (r.file_size - offset - fmt::kRecordHeaderSize < length)
            return std::unexpected(StoreError::corrupt(std::format("object at {} extends beyond file end", offset)));
        if (fmt::crc32(r.base + offset + fmt::kRecordHeaderSize, length) != stored)
            return std::unexpected(StoreError::corrupt(std::format("object CRC32 mismatch at offset {}", offset)));
        return {};
    });
}

Stats StoreReader::stats() const {
    const Impl& r = *impl_;
    return Stats{
        .path = r.path,
        .version = fmt::kVersion,
        .num_keys = r.num_keys,
        .num_objects = r.num_objects,
        .index_offset = r.index_offset,
        .data_offset = fmt::kHeaderSize,
        .file_size_kb = static_cast<double>(r.file_size) * (1.0 / 1024),
        .file_crc32 = fmt::crc_hex(r.file_crc32),
    };
}

}  // namespace tarnkv
