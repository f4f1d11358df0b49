// Reads that check what they return (per-object CRC), index ranges for prefixes, read-ahead
// hints, and verification that reports its progress.
#include <algorithm>
#include <format>
#include <ranges>

#include "core/format/layout.hpp"
#include "core/reader/reader_impl.hpp"
#include "core/reader/store_reader.hpp"

namespace tarnkv {

namespace fmt = format;

namespace {

[[gnu::cold, gnu::noinline]] StoreError crc_mismatch(std::uint64_t offset) {
    return StoreError::corrupt(std::format("object CRC32 mismatch at offset {}", offset));
}

}  // namespace

Result<std::string_view> StoreReader::checked_object_at(std::uint64_t offset) const {
    const auto record = fmt::RecordView::at(impl_->image(), offset);
    if (!record) return object_at(offset);  // its error, in its words
    if (fmt::crc32(record->bytes()) != record->stored_crc()) return std::unexpected(crc_mismatch(offset));
    return record->bytes();
}

Status StoreReader::check_object(std::uint64_t offset) const {
    auto checked = checked_object_at(offset);
    if (!checked) return std::unexpected(std::move(checked.error()));
    return {};
}

std::pair<std::size_t, std::size_t> StoreReader::prefix_range(std::string_view prefix) const noexcept {
    const Impl& r = *impl_;
    const auto positions = std::views::iota(std::size_t{0}, r.entries);
    const auto key = [&r](std::size_t e) { return r.key_at(e); };
    const std::size_t first = *std::ranges::lower_bound(positions, prefix, fmt::key_less, key);
    // Keys with the prefix follow the first one directly, so the run ends at the first key
    // without it.
    const auto rest = std::views::iota(first, r.entries);
    const std::size_t last =
        *std::ranges::partition_point(rest, [&](std::size_t e) { return r.key_at(e).starts_with(prefix); });
    return {first, last};
}

void StoreReader::prefetch_entry(std::size_t i) const noexcept { impl_->prefetch_object(i); }

Status StoreReader::verify(const Progress& progress) const {
    const Impl& r = *impl_;
    const std::uint64_t body = r.file_size - fmt::kHeaderSize;
    // The second pass reads the records the index names; in a file from the builder they fill
    // the data section, which is what the total counts for them.
    const std::uint64_t data =
        std::clamp<std::uint64_t>(r.index_offset, fmt::kHeaderSize, r.file_size) - fmt::kHeaderSize;
    const std::uint64_t total = body + data;
    std::uint64_t done = 0;
    std::uint64_t reported = 0;
    const auto advance = [&](std::uint64_t n) -> bool {
        done = std::min(total, done + n);
        if (!progress || done - reported < kProgressStep) return true;
        reported = done;
        return progress(done, total);
    };
    const auto cancelled = [] { return std::unexpected(StoreError::general(std::string(kCancelled))); };

    std::uint32_t crc = 0;
    for (std::uint64_t at = 0; at < body;) {
        const std::uint64_t n = std::min(body - at, kProgressStep);
        crc = fmt::crc32(r.base + fmt::kHeaderSize + at, static_cast<std::size_t>(n), crc);
        at += n;
        if (!advance(n)) return cancelled();
    }
    if (crc != r.file_crc32)
        return std::unexpected(StoreError::corrupt(std::format("file CRC32 mismatch  stored={}  computed={}",
                                                               fmt::crc_hex(r.file_crc32), fmt::crc_hex(crc))));
    auto st = r.each_distinct_offset([&](std::uint64_t offset) -> Status {
        const auto record = fmt::RecordView::at(r.image(), offset);
        if (!record) {
            if (record.error() == fmt::RecordFault::BytesOutside)
                return std::unexpected(StoreError::corrupt(std::format("object at {} extends beyond file end", offset)));
            return std::unexpected(StoreError::corrupt(std::format("object offset {} out of bounds", offset)));
        }
        if (fmt::crc32(record->bytes()) != record->stored_crc()) return std::unexpected(crc_mismatch(offset));
        if (!advance(fmt::kRecordHeaderSize + record->bytes().size())) return cancelled();
        return {};
    });
    if (!st) return st;
    if (progress && !progress(total, total)) return cancelled();
    return {};
}

}  // namespace tarnkv
