// Opening a store from its header and index bytes, and checking records fetched from afar.
#include "core/reader/remote_store.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <format>
#include <limits>
#include <utility>

#include <sys/mman.h>

#include "core/format/layout.hpp"
#include "core/reader/reader_impl.hpp"

namespace tarnkv {

namespace fmt = format;

RemoteStore::RemoteStore(StoreReader reader, std::unique_ptr<std::uint64_t[]> starts, std::size_t count) noexcept
    : reader_(std::move(reader)), starts_(std::move(starts)), count_(count) {}
RemoteStore::RemoteStore(RemoteStore&&) noexcept = default;
RemoteStore& RemoteStore::operator=(RemoteStore&&) noexcept = default;
RemoteStore::~RemoteStore() = default;

Result<RemoteStore> RemoteStore::open(std::string name, std::uint64_t file_size, std::string_view header,
                                      std::string_view tail, std::uint64_t tail_offset) {
    if (file_size > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()))
        return std::unexpected(StoreError::io("mmap failed: memory map length overflows isize"));
    if (header.size() > file_size || tail_offset > file_size || tail.size() != file_size - tail_offset)
        return std::unexpected(StoreError::general("the fetched parts do not fit the file size"));
    // Virtual only: the pages nobody writes (the data section) never take memory.
    const std::size_t length = file_size == 0 ? 1 : static_cast<std::size_t>(file_size);
    void* addr = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (addr == MAP_FAILED) return std::unexpected(StoreError::io("mmap failed: ", errno));
    detail::FileMapping mapping(addr, length);
    auto* bytes = static_cast<unsigned char*>(addr);
    if (!header.empty()) std::memcpy(bytes, header.data(), header.size());
    if (!tail.empty()) std::memcpy(bytes + tail_offset, tail.data(), tail.size());
    ::mprotect(addr, length, PROT_READ);

    // Anonymous pages cannot be refetched once given back: the index stays.
    auto reader = detail::open_mapped(std::move(name), std::move(mapping), file_size, false, detail::IndexLimits{},
                                      false);
    if (!reader) return std::unexpected(std::move(reader.error()));

    // A record ends where the next one any entry names begins (or at the index section); the
    // starts are sorted once here so that a read fetches exactly its record.
    const std::uint64_t data_end = std::min(reader->index_offset(), file_size);
    const std::size_t n = reader->entry_count();
    auto starts = std::make_unique_for_overwrite<std::uint64_t[]>(n);
    std::size_t count = 0;
    for (EntryCursor c = reader->cursor(0); c.index() < n; c.next()) {
        const std::uint64_t offset = c.offset();
        if (offset >= fmt::kHeaderSize && offset < data_end) starts[count++] = offset;
    }
    std::sort(starts.get(), starts.get() + count);
    count = static_cast<std::size_t>(std::unique(starts.get(), starts.get() + count) - starts.get());
    return RemoteStore(std::move(*reader), std::move(starts), count);
}

bool RemoteStore::needs_fetch(std::uint64_t offset) const noexcept {
    return offset >= fmt::kHeaderSize && offset < std::min(reader_.index_offset(), reader_.file_size());
}

RemoteStore::Extent RemoteStore::extent(std::uint64_t offset) const noexcept {
    const std::uint64_t data_end = std::min(reader_.index_offset(), reader_.file_size());
    const std::uint64_t* first = starts_.get();
    const std::uint64_t* end = first + count_;
    const std::uint64_t* next = std::upper_bound(first, end, offset);
    return {offset, next == end ? data_end : *next};
}

Result<std::string_view> RemoteStore::object(std::uint64_t offset, std::string_view fetched, bool check) const {
    const auto record = fmt::RecordView::at(
        fmt::Image(reinterpret_cast<const unsigned char*>(fetched.data()), fetched.size()), 0);
    if (!record)
        return std::unexpected(StoreError::corrupt(
            std::format("object at {} extends beyond the space before the next record", offset)));
    if (check && fmt::crc32(record->bytes()) != record->stored_crc())
        return std::unexpected(StoreError::corrupt(std::format("object CRC32 mismatch at offset {}", offset)));
    return record->bytes();
}

}  // namespace tarnkv
