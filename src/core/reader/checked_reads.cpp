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

// verify()'s check of one object, in its words; the record's size.
Result<std::uint64_t> check_record(fmt::Image image, std::uint64_t offset) {
    const auto record = fmt::RecordView::at(image, offset);
    if (!record) {
        if (record.error() == fmt::RecordFault::BytesOutside)
            return std::unexpected(StoreError::corrupt(std::format("object at {} extends beyond file end", offset)));
        return std::unexpected(StoreError::corrupt(std::format("object offset {} out of bounds", offset)));
    }
    if (!record->intact()) return std::unexpected(crc_mismatch(offset));
    return fmt::kRecordHeaderSize + record->bytes().size();
}

}  // namespace

Result<std::string_view> StoreReader::checked_object_at(std::uint64_t offset) const {
    const auto record = fmt::RecordView::at(impl_->image(), offset);
    if (!record) return object_at(offset);  // its error, in its words
    if (!record->intact()) return std::unexpected(crc_mismatch(offset));
    return record->bytes();
}

Status StoreReader::check_object(std::uint64_t offset) const {
    auto checked = checked_object_at(offset);
    if (!checked) return std::unexpected(std::move(checked.error()));
    return {};
}

std::pair<std::size_t, std::size_t> StoreReader::prefix_range(std::string_view prefix) const noexcept {
    const Impl& r = *impl_;
    if (r.entries == 0) return {0, 0};
    // Both ends are found among the marks first, and the two blocks of entries they lie in
    // start loading together before either is read.
    const std::size_t m = r.first_mark_not_less(prefix);
    const std::size_t end_mark = r.run_end_mark(std::max<std::size_t>(m, 1), prefix);
    if (m > 0) r.prefetch_block(m - 1);
    if (end_mark > m) r.prefetch_block(end_mark - 1);
    const std::size_t first = r.bound_after_mark(m, prefix);
    return {first, r.run_end(first, end_mark, prefix)};
}

std::size_t StoreReader::lower_bound(std::string_view key) const noexcept { return impl_->lower_bound(key); }

std::size_t StoreReader::Impl::first_mark_not_less(std::string_view key) const noexcept {
    const auto marks_ = std::views::iota(std::size_t{0}, mark_count());
    return *std::ranges::lower_bound(marks_, key, fmt::key_less, [this](std::size_t k) { return mark_key(k); });
}

std::size_t StoreReader::Impl::bound_after_mark(std::size_t m, std::string_view key) const noexcept {
    if (m == 0) return 0;
    // Mark m - 1 is less than `key` and mark m (if any) is not: the bound lies between them.
    const std::size_t stop = std::min(m * detail::kMarkStride, entries);
    EntryCursor c = cursor((m - 1) * detail::kMarkStride);
    while (c.index() < stop && fmt::key_less(c.key(), key)) c.next();
    return c.index();
}

std::size_t StoreReader::Impl::lower_bound(std::string_view key) const noexcept {
    const std::size_t m = first_mark_not_less(key);
    if (m > 0) prefetch_block(m - 1);
    return bound_after_mark(m, key);
}

std::size_t StoreReader::Impl::run_end_mark(std::size_t lo, std::string_view prefix) const noexcept {
    // Keys with the prefix follow the first one directly: the run ends in the block before the
    // first later mark without it. Most runs are short, so the search gallops out from `lo`
    // over marks that the lower bound's search has just read, before it halves the span found.
    const std::size_t count = mark_count();
    const auto within = [&](std::size_t k) { return mark_key(k).starts_with(prefix); };
    std::size_t hi = lo;
    for (std::size_t step = 1; hi < count && within(hi); step *= 2) {
        lo = hi + 1;
        hi = lo + step;
    }
    return *std::ranges::partition_point(std::views::iota(lo, std::max(lo, std::min(hi, count))), within);
}

std::size_t StoreReader::Impl::run_end(std::size_t first, std::size_t m, std::string_view prefix) const noexcept {
    if (first >= entries) return entries;
    const std::size_t stop = std::min(m * detail::kMarkStride, entries);
    EntryCursor c = cursor(std::max(first, (m - 1) * detail::kMarkStride));
    while (c.index() < stop && c.key().starts_with(prefix)) c.next();
    return c.index();
}

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

    const auto crc = detail::body_crc(r.mapping, r.file_size, [&](std::uint64_t n) { return advance(n); });
    if (!crc) return cancelled();
    if (auto st = detail::check_body_crc(*crc, r.file_crc32); !st) return st;
    auto st = r.each_distinct_offset([&](std::uint64_t offset) -> Status {
        const auto size = check_record(r.image(), offset);
        if (!size) return std::unexpected(std::move(size.error()));
        if (!advance(*size)) return cancelled();
        return {};
    });
    if (!st) return st;
    if (progress && !progress(total, total)) return cancelled();
    return {};
}

}  // namespace tarnkv
