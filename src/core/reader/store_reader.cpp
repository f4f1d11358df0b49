// Opening a store: map, check the header, optionally the whole-file CRC, and load the index.
#include "core/reader/store_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <format>
#include <limits>
#include <new>
#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/format/descriptor.hpp"
#include "core/format/layout.hpp"
#include "core/reader/reader_impl.hpp"

namespace tarnkv {

namespace detail {

FileMapping::~FileMapping() {
    if (addr_) ::munmap(addr_, length_);
}

namespace {

std::uint64_t page_size() noexcept {
    static const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    return page;
}

}  // namespace

void FileMapping::populate(std::uint64_t begin, std::uint64_t end) const noexcept {
    const std::uint64_t page = page_size();
    begin = begin / page * page;
    end = std::min<std::uint64_t>(end, length_);
    // Older kernels lack MADV_POPULATE_READ (Linux 5.14) and refuse it; reads then fault.
    if (begin < end) ::madvise(static_cast<char*>(addr_) + begin, end - begin, MADV_POPULATE_READ);
}

void FileMapping::release(std::uint64_t begin, std::uint64_t end) const noexcept {
    const std::uint64_t page = page_size();
    begin = (begin + page - 1) / page * page;
    end = end / page * page;
    if (begin < end) ::madvise(static_cast<char*>(addr_) + begin, end - begin, MADV_DONTNEED);
}

IndexMemory::~IndexMemory() {
    if (data_) ::munmap(data_, bytes_);
}

void* IndexMemory::allocate(std::size_t bytes) {
    constexpr std::size_t huge = std::size_t{2} << 20;
    const std::size_t page = page_size();
    bytes = (std::max<std::size_t>(bytes, 1) + page - 1) / page * page;
    // Mapped with room to start on a 2 MiB boundary; what lies outside is given back.
    const std::size_t reserve = bytes >= huge ? bytes + huge : bytes;
    void* raw = ::mmap(nullptr, reserve, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    auto* start = static_cast<char*>(raw);
    if (reserve != bytes) {
        auto* aligned = reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(start) + huge - 1) & ~(huge - 1));
        if (aligned > start) ::munmap(start, static_cast<std::size_t>(aligned - start));
        const std::size_t tail = reserve - static_cast<std::size_t>(aligned - start) - bytes;
        if (tail) ::munmap(aligned + bytes, tail);
        start = aligned;
        ::madvise(start, bytes / huge * huge, MADV_HUGEPAGE);
    }
    if (data_) ::munmap(data_, bytes_);
    data_ = start;
    bytes_ = bytes;
    // Every page is written soon anyway; one call faults them all in (Linux 5.14 and later).
    ::madvise(data_, bytes_, MADV_POPULATE_WRITE);
    return data_;
}

std::size_t OffsetHash::operator()(std::uint64_t offset) const noexcept {
    return XXH3_64bits_withSeed(&offset, sizeof offset, seed);
}

void PackedArray::allocate(std::size_t n, bool wide) {
    wide_ = wide;
    if (wide)
        wide_values_ = std::make_unique_for_overwrite<std::uint64_t[]>(n);
    else
        narrow_values_ = std::make_unique_for_overwrite<std::uint32_t[]>(n);
}

}  // namespace detail

namespace {

std::uint64_t random_seed() noexcept {
    std::uint64_t seed = 0;
    if (::getrandom(&seed, sizeof seed, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof seed)) return seed;
    // No entropy yet (very early boot): the clock and an address still differ between readers.
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return XXH3_64bits_withSeed(&seed, sizeof seed, now ^ reinterpret_cast<std::uintptr_t>(&seed));
}

// Open's message for an index entry that runs past the end of the file.
StoreError truncated_index(format::EntryFault fault) {
    return StoreError::corrupt(fault == format::EntryFault::KeyLenOutside ? "index section truncated (key_len)"
                                                                         : "index section truncated (key + offset)");
}

// The fault of the first of `count` entries from `pos` that does not fit in the file. Only for a
// header that claims more entries than the file can hold, which therefore has one.
format::EntryFault first_fault(format::Image file, std::uint64_t pos, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto entry = format::EntryView::at(file, pos);
        if (!entry) return entry.error();
        pos += entry->size();
    }
    return format::EntryFault::KeyOrOffsetOutside;  // not reached: `count` entries cannot fit
}

}  // namespace

// One walk over the index: each entry is checked to lie inside the file, hashed and put in the
// table, and every kMarkStride-th position is noted. The table is large and the keys come in no
// order of it, so each insert would wait on a miss; the buckets are prefetched a few entries
// ahead and the inserts follow behind, so that the misses overlap.
template <class Word>
std::optional<format::EntryFault> StoreReader::Impl::load_index(detail::KeyTable<Word>& table) {
    const std::size_t n = num_keys;
    table.allocate(n);
    const std::size_t mark_total = (n + detail::kMarkStride - 1) / detail::kMarkStride;
    marks.allocate(mark_total, wide);
    mark_key_starts.allocate(mark_total + 1, wide);

    struct Pending {
        std::uint64_t hash;
        std::string_view key;
        Word entry;
        Word offset;
    };
    constexpr std::size_t kAhead = 32;
    Pending pending[kAhead];
    const auto insert = [&](const Pending& p) {
        table.insert(p.hash, p.entry, p.offset, [&](Word entry) { return holds(entry, p.key); });
    };
    const Word far = static_cast<Word>(-1);  // offsets beyond the words (see slot_offset)
    const format::Image file = image();
    // The pages the walk is about to read are mapped a few MiB at a time, one call each,
    // rather than faulted in a few pages at a time.
    constexpr std::uint64_t kMapAhead = std::uint64_t{4} << 20;
    std::uint64_t mapped = index_offset;
    std::uint64_t at = index_offset;
    for (std::size_t i = 0; i < n; ++i) {
        if (at + kMapAhead / 2 > mapped && mapped < file_size) {
            mapping.populate(mapped, mapped + kMapAhead);
            mapped += kMapAhead;
        }
        const auto entry = format::EntryView::at(file, at);
        if (!entry) return entry.error();
        // The walk reads the index in order; loading it well ahead keeps each step's read of the
        // next entry's length from waiting (the hardware's own prefetch stops at every page).
        __builtin_prefetch(base + std::min(at + 1024, file_size - 1));
        if (i % detail::kMarkStride == 0) {
            marks.set(i / detail::kMarkStride, at - index_offset);
            mark_key_starts.set(i / detail::kMarkStride, mark_keys.size());
            mark_keys += entry->key;
        }
        Pending& p = pending[i % kAhead];
        if (i >= kAhead) insert(p);
        p.hash = hash(entry->key);
        p.key = entry->key;
        p.entry = static_cast<Word>(at - index_offset);
        p.offset = entry->offset >= far ? far : static_cast<Word>(entry->offset);
        table.prefetch(p.hash);
        at += entry->size();
    }
    for (std::size_t i = n > kAhead ? n - kAhead : 0; i < n; ++i) insert(pending[i % kAhead]);
    mark_key_starts.set(mark_total, mark_keys.size());
    index_end = at;
    entries = n;
    return std::nullopt;
}

StoreReader::StoreReader(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
StoreReader::StoreReader(StoreReader&&) noexcept = default;
StoreReader& StoreReader::operator=(StoreReader&&) noexcept = default;
StoreReader::~StoreReader() = default;

Result<StoreReader> StoreReader::open(std::string path, bool verify) {
    return detail::open_reader(std::move(path), verify, detail::IndexLimits{});
}

Result<StoreReader> detail::open_reader(std::string path, bool verify, const IndexLimits& limits) {
    const std::string open_failed = "cannot open " + path + ": ";
    if (auto st = check_path(path, open_failed); !st) return std::unexpected(std::move(st.error()));
    // O_NONBLOCK: a FIFO would otherwise hang the open until some writer appears; with it, the
    // FIFO opens and fails at the mapping like any other unmappable file. Regular files ignore it.
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) return std::unexpected(io_error(open_failed, errno));

    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return std::unexpected(io_error("mmap failed: ", errno));
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (st.st_size < 0 || size > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()))
        return std::unexpected(StoreError::io("mmap failed: memory map length overflows isize"));
    // An empty file is mapped with one byte so that it reaches the size check below.
    const std::size_t map_length = size == 0 ? 1 : static_cast<std::size_t>(size);
    void* addr = ::mmap(nullptr, map_length, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (addr == MAP_FAILED) return std::unexpected(io_error("mmap failed: ", errno));
    FileMapping mapping(addr, map_length);
    fd.close();  // the mapping stays valid without it
    return open_mapped(std::move(path), std::move(mapping), size, verify, limits, true);
}

Result<StoreReader> detail::open_mapped(std::string path, FileMapping mapping, std::uint64_t size, bool verify,
                                        const IndexLimits& limits, bool release_index) {
    const format::Image file(mapping.data(), size);
    const auto header = format::Header::decode(file);
    if (!header) return std::unexpected(header.error());
    if (verify)
        if (auto st = check_body_crc(*body_crc(mapping, size), header->file_crc32); !st)
            return std::unexpected(std::move(st.error()));

    auto impl = std::make_unique<StoreReader::Impl>(std::move(path), std::move(mapping), size, random_seed());
    impl->num_keys = header->num_keys;
    impl->num_objects = header->num_objects;
    impl->index_offset = header->index_offset;
    impl->file_crc32 = header->file_crc32;
    impl->index_end = header->index_offset;
    if (header->num_keys == 0) return StoreReader(std::move(impl));

    // Each entry takes at least kEntryOverhead bytes: a header claiming more than the file can
    // hold fails as its entries run out, before anything is allocated for them.
    const std::uint64_t room = header->index_offset <= size ? size - header->index_offset : 0;
    if (header->num_keys > room / format::kEntryOverhead)
        return std::unexpected(truncated_index(first_fault(file, header->index_offset, header->num_keys)));

    impl->wide = size > limits.narrow;
    const auto fault = impl->wide ? impl->load_index(impl->wide_table) : impl->load_index(impl->narrow_table);
    if (fault) return std::unexpected(truncated_index(*fault));
    // The walk read every page of the index; a reader that only looks keys up needs few of them
    // for a while, so they leave its resident memory now and come back as lookups touch them.
    // Pages that also hold records stay.
    if (release_index) impl->mapping.release(impl->index_offset, impl->index_end);
    return StoreReader(std::move(impl));
}

const std::string& StoreReader::path() const noexcept { return impl_->path; }
std::uint64_t StoreReader::file_size() const noexcept { return impl_->file_size; }
std::uint32_t StoreReader::num_keys() const noexcept { return impl_->num_keys; }
std::uint32_t StoreReader::num_objects() const noexcept { return impl_->num_objects; }
std::uint64_t StoreReader::index_offset() const noexcept { return impl_->index_offset; }
std::uint32_t StoreReader::file_crc32() const noexcept { return impl_->file_crc32; }
std::size_t StoreReader::entry_count() const noexcept { return impl_->entries; }
std::string_view StoreReader::key_at(std::size_t i) const noexcept { return impl_->key_at(i); }
std::uint64_t StoreReader::offset_at(std::size_t i) const noexcept { return impl_->offset_at(i); }
EntryCursor StoreReader::cursor(std::size_t i) const noexcept { return impl_->cursor(i); }
void StoreReader::release_index() const noexcept { impl_->mapping.release(impl_->index_offset, impl_->index_end); }

}  // namespace tarnkv
