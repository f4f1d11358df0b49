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

namespace {

// What a record that does not fit in the file reports. Reads and verify() share the bounds
// check (format::RecordView::at) but word a record whose head is outside the file differently.
// Kept out of line: building the message is the rare path, and the hot loops stay small.
enum class Wording : bool { Read, Verify };

[[gnu::cold, gnu::noinline]] StoreError record_error(format::RecordFault fault, std::uint64_t offset, Wording wording) {
    if (fault == format::RecordFault::BytesOutside)
        return StoreError::corrupt(std::format("object at {} extends beyond file end", offset));
    return StoreError::corrupt(std::format("{}offset {} out of bounds", wording == Wording::Read ? "" : "object ", offset));
}

}  // namespace

Result<std::string_view> StoreReader::object_at(std::uint64_t offset) const {
    const auto record = format::RecordView::at(impl_->image(), offset);
    if (!record) return std::unexpected(record_error(record.error(), offset, Wording::Read));
    return record->bytes();
}

std::optional<std::uint64_t> StoreReader::lookup(std::string_view key) const noexcept {
    return impl_->lookup(key);
}

std::optional<std::uint64_t> StoreReader::lookup_to_read(std::string_view key) const noexcept {
    return impl_->lookup(key, true);
}

Result<std::optional<std::string_view>> StoreReader::get_raw(std::string_view key) const {
    const auto offset = impl_->lookup(key, true);
    if (!offset) return std::optional<std::string_view>();
    return object_at(*offset).transform([](std::string_view bytes) { return std::optional(bytes); });
}

bool StoreReader::exists(std::string_view key) const noexcept { return lookup(key).has_value(); }

Result<std::vector<Item>> StoreReader::prefix_raw(std::string_view prefix, std::size_t limit) const {
    const Impl& r = *impl_;
    std::vector<Item> out;
    if (r.entries == 0) return out;
    // Entries are in key order in a well-formed file, so the matches are one run starting at
    // the first key not less than the prefix. An unsorted file gives some run, never a fault.
    const std::size_t first = r.lower_bound(prefix);
    ReadAhead ahead(r.cursor(first), Impl::prefetch_ahead, r.entries);
    for (EntryCursor c = r.cursor(first); c.index() < r.entries && out.size() < limit; c.next()) {
        ahead.step();
        const auto [key, offset] = c.entry();
        if (!key.starts_with(prefix)) break;
        auto object = object_at(offset);
        if (!object) return std::unexpected(std::move(object.error()));
        out.push_back({key, *object});
    }
    return out;
}

Result<std::vector<Item>> StoreReader::items_raw() const {
    const Impl& r = *impl_;
    std::vector<Item> out;
    out.reserve(r.entries);
    ReadAhead ahead(r.cursor(0), Impl::prefetch_ahead, r.entries);
    for (EntryCursor c = r.cursor(0); c.index() < r.entries; c.next()) {
        ahead.step();
        const auto [key, offset] = c.entry();
        // A shared object is only bounds-checked again here: the views cost no copy.
        auto object = object_at(offset);
        if (!object) return std::unexpected(std::move(object.error()));
        out.push_back({key, *object});
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
    if (auto st = detail::check_body_crc(*detail::body_crc(r.mapping, r.file_size), r.file_crc32); !st) return st;
    return r.each_distinct_offset([&r](std::uint64_t offset) -> Status {
        const auto record = format::RecordView::at(r.image(), offset);
        if (!record) return std::unexpected(record_error(record.error(), offset, Wording::Verify));
        if (!record->intact())
            return std::unexpected(StoreError::corrupt(std::format("object CRC32 mismatch at offset {}", offset)));
        return {};
    });
}

Stats StoreReader::stats() const {
    const Impl& r = *impl_;
    return Stats{
        .path = r.path,
        .version = format::kVersion,
        .num_keys = r.num_keys,
        .num_objects = r.num_objects,
        .index_offset = r.index_offset,
        .data_offset = format::kHeaderSize,
        .file_size_kb = static_cast<double>(r.file_size) * (1.0 / 1024),
        .file_crc32 = format::crc_hex(r.file_crc32),
    };
}

}  // namespace tarnkv
