// Opening a store from its header and index bytes, and checking records fetched from afar.
#include "core/reader/remote_store.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <format>
#include <limits>
#include <utility>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "core/format/descriptor.hpp"
#include "core/format/layout.hpp"
#include "core/reader/reader_impl.hpp"

namespace tarnkv {

namespace fmt = format;

namespace {

bool write_at(int fd, std::string_view bytes, std::uint64_t at) noexcept {
    while (!bytes.empty()) {
        const ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
        at += static_cast<std::uint64_t>(n);
    }
    return true;
}

}  // namespace

RemoteStore::Starts::Starts(std::span<const std::uint64_t> sorted) : count_(sorted.size()) {
    firsts_.reserve((sorted.size() + kBlock - 1) / kBlock);
    positions_.reserve(firsts_.capacity());
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        if (i % kBlock == 0) {
            firsts_.push_back(sorted[i]);
            positions_.push_back(diffs_.size());
            continue;
        }
        for (std::uint64_t d = sorted[i] - sorted[i - 1];; d >>= 7) {
            if (d < 0x80) {
                diffs_.push_back(static_cast<unsigned char>(d));
                break;
            }
            diffs_.push_back(static_cast<unsigned char>(0x80 | (d & 0x7F)));
        }
    }
    diffs_.shrink_to_fit();
}

std::optional<std::uint64_t> RemoteStore::Starts::after(std::uint64_t x) const noexcept {
    // The last block starting at or before x; before the first block, its first offset.
    const auto block = std::upper_bound(firsts_.begin(), firsts_.end(), x);
    if (block == firsts_.begin()) {
        if (firsts_.empty()) return std::nullopt;
        return firsts_.front();
    }
    const std::size_t b = static_cast<std::size_t>(block - firsts_.begin()) - 1;
    const std::size_t in_block = std::min(kBlock, count_ - b * kBlock);
    std::uint64_t v = firsts_[b];
    std::size_t at = positions_[b];
    for (std::size_t i = 1; i < in_block; ++i) {
        std::uint64_t d = 0;
        for (int shift = 0;; shift += 7) {
            const unsigned char byte = diffs_[at++];
            d |= std::uint64_t{byte & 0x7Fu} << shift;
            if (byte < 0x80) break;
        }
        v += d;
        if (v > x) return v;
    }
    if (b + 1 < firsts_.size()) return firsts_[b + 1];
    return std::nullopt;
}

RemoteStore::RemoteStore(StoreReader reader, Starts starts, bool compressed) noexcept
    : reader_(std::move(reader)), starts_(std::move(starts)), compressed_(compressed) {}
RemoteStore::RemoteStore(RemoteStore&&) noexcept = default;
RemoteStore& RemoteStore::operator=(RemoteStore&&) noexcept = default;
RemoteStore::~RemoteStore() = default;

Result<RemoteStore> RemoteStore::open(std::string name, std::uint64_t file_size, std::span<const Piece> pieces) {
    if (file_size > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()))
        return std::unexpected(StoreError::io("mmap failed: memory map length overflows isize"));
    for (const Piece& p : pieces)
        if (p.offset > file_size || p.bytes.size() > file_size - p.offset)
            return std::unexpected(StoreError::general("a fetched piece lies outside the file"));
    // The image is a memory file as large as the store, holding only the header and the index
    // (the rest is a hole that takes no memory). Mapped shared, its index pages can be given
    // back after the index is loaded and fault in again from the memory file as lookups touch
    // them, as a local file's do from the page cache.
    const std::size_t length = file_size == 0 ? 1 : static_cast<std::size_t>(file_size);
    void* addr = nullptr;
    {
        Descriptor fd(::memfd_create("tarnkv-remote-image", MFD_CLOEXEC));
        if (fd.get() < 0) return std::unexpected(StoreError::io("memfd_create failed: ", errno));
        if (::ftruncate(fd.get(), static_cast<off_t>(length)) != 0)
            return std::unexpected(StoreError::io("cannot hold the index in memory: ", errno));
        for (const Piece& p : pieces)
            if (!write_at(fd.get(), p.bytes, p.offset))
                return std::unexpected(StoreError::io("cannot hold the index in memory: ", errno));
        addr = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd.get(), 0);
        if (addr == MAP_FAILED) return std::unexpected(StoreError::io("mmap failed: ", errno));
    }
    detail::FileMapping mapping(addr, length);

    auto reader = detail::open_mapped(std::move(name), std::move(mapping), file_size, false, detail::IndexLimits{},
                                      true);
    if (!reader) return std::unexpected(std::move(reader.error()));
    // The header is whole once the open succeeded; its compression byte says how objects are
    // stored, with the same refusal of an unknown kind as a local open.
    std::uint8_t kind = 0;
    for (const Piece& p : pieces)
        if (p.offset <= fmt::kCompressionByteAt && p.bytes.size() > fmt::kCompressionByteAt - p.offset)
            kind = static_cast<std::uint8_t>(p.bytes[fmt::kCompressionByteAt - p.offset]);
    const auto compressed = fmt::compressed_by_header(kind);
    if (!compressed) return std::unexpected(std::move(compressed.error()));

    // A record ends where the next one any entry names begins (or at the index section); the
    // starts are sorted once here so that a read fetches exactly its record.
    const std::uint64_t data_end = std::min(reader->index_offset(), file_size);
    const std::size_t n = reader->entry_count();
    std::vector<std::uint64_t> sorted;
    sorted.reserve(n);
    for (EntryCursor c = reader->cursor(0); c.index() < n; c.next()) {
        const std::uint64_t offset = c.offset();
        if (offset >= fmt::kHeaderSize && offset < data_end) sorted.push_back(offset);
    }
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    reader->release_index();  // the walk above read all of it
    Starts starts(sorted);
    return RemoteStore(std::move(*reader), std::move(starts), *compressed);
}

Status RemoteStore::use_dictionary(std::string_view fetched) {
    if (!compressed_) return {};
    auto decoder = fmt::ObjectDecoder::from_record(
        fmt::Image(reinterpret_cast<const unsigned char*>(fetched.data()), fetched.size()), 0);
    if (!decoder) return std::unexpected(std::move(decoder.error()));
    decoder_ = std::make_unique<fmt::ObjectDecoder>(std::move(*decoder));
    return {};
}

Result<std::string_view> RemoteStore::decode(std::string_view stored, std::string& scratch) const {
    if (!compressed_) return stored;
    if (!decoder_) return std::unexpected(StoreError::general("the store's dictionary has not been read"));
    return decoder_->decode(stored, scratch);
}

bool RemoteStore::needs_fetch(std::uint64_t offset) const noexcept {
    return offset >= fmt::kHeaderSize && offset < std::min(reader_.index_offset(), reader_.file_size());
}

RemoteStore::Extent RemoteStore::extent(std::uint64_t offset) const noexcept {
    const std::uint64_t data_end = std::min(reader_.index_offset(), reader_.file_size());
    const auto next = starts_.after(offset);
    return {offset, next ? std::min(*next, data_end) : data_end};
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
