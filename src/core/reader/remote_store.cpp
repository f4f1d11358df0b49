// Opening a store from its header and index bytes, and checking records fetched from afar.
#include "core/reader/remote_store.hpp"

#include <algorithm>
#include <bit>
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
    const std::size_t nblocks = (sorted.size() + kBlock - 1) / kBlock;
    firsts_.reserve((sorted.size() + kStep - 1) / kStep);
    blocks_.reserve(nblocks);
    for (std::size_t i = 0; i < sorted.size(); i += kStep) firsts_.push_back(sorted[i]);
    std::uint64_t bits = 0;
    for (std::size_t b = 0; b < nblocks; ++b) {
        const std::size_t begin = b * kBlock;
        const std::size_t end = std::min(sorted.size(), begin + kBlock);
        std::uint64_t lo = std::numeric_limits<std::uint64_t>::max();
        std::uint64_t hi = 0;
        for (std::size_t i = begin + 1; i < end; ++i) {
            lo = std::min(lo, sorted[i] - sorted[i - 1]);
            hi = std::max(hi, sorted[i] - sorted[i - 1]);
        }
        if (end - begin < 2) lo = 0;
        const unsigned width = static_cast<unsigned>(std::bit_width(hi - lo));
        blocks_.push_back({bits, lo, width});
        bits += std::uint64_t{width} * (end - begin - 1);
    }
    words_.assign(static_cast<std::size_t>((bits + 63) / 64) + 1, 0);
    for (std::size_t b = 0; b < nblocks; ++b) {
        const Block& block = blocks_[b];
        const std::size_t begin = b * kBlock;
        const std::size_t end = std::min(sorted.size(), begin + kBlock);
        std::uint64_t at = block.bit;
        for (std::size_t i = begin + 1; i < end && block.width > 0; ++i, at += block.width) {
            const std::uint64_t v = sorted[i] - sorted[i - 1] - block.min_delta;
            const unsigned shift = static_cast<unsigned>(at % 64);
            words_[at / 64] |= v << shift;
            if (shift + block.width > 64) words_[at / 64 + 1] |= v >> (64 - shift);
        }
    }
}

std::optional<std::uint64_t> RemoteStore::Starts::after(std::uint64_t x) const noexcept {
    // The last full offset at or before x; before the first one, the first offset.
    const auto found = std::upper_bound(firsts_.begin(), firsts_.end(), x);
    if (found == firsts_.begin()) {
        if (firsts_.empty()) return std::nullopt;
        return firsts_.front();
    }
    const std::size_t step = static_cast<std::size_t>(found - firsts_.begin()) - 1;
    const std::size_t first = step * kStep;  // the index of the offset firsts_[step]
    const Block& block = blocks_[first / kBlock];
    const std::size_t count = std::min(kStep, count_ - first);
    std::uint64_t v = firsts_[step];
    if (block.width == 0) {  // evenly spaced records: no differences to decode
        if (count > 1 && x - v < block.min_delta * (count - 1))
            return v + ((x - v) / block.min_delta + 1) * block.min_delta;
    } else {
        // The difference leading to the entry after `first` is the (first % kBlock)-th of its
        // block; the words are read as a stream, both of a pair whatever the width (the last
        // real one has a spare after it) so that the loop has no branch but its exit.
        const std::uint64_t bit = block.bit + std::uint64_t{block.width} * (first % kBlock);
        const std::uint64_t* word = words_.data() + bit / 64;
        unsigned shift = static_cast<unsigned>(bit % 64);
        const std::uint64_t mask = block.width >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << block.width) - 1;
        for (std::size_t i = 1; i < count; ++i) {
            v += block.min_delta + (((word[0] >> shift) | ((word[1] << 1) << (63 - shift))) & mask);
            if (v > x) return v;
            shift += block.width;
            word += shift / 64;
            shift %= 64;
        }
    }
    if (step + 1 < firsts_.size()) return firsts_[step + 1];
    return std::nullopt;
}

std::size_t RemoteStore::Starts::footprint() const noexcept {
    return firsts_.capacity() * sizeof(std::uint64_t) + blocks_.capacity() * sizeof(Block) +
           words_.capacity() * sizeof(std::uint64_t);
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
    if (check && !record->intact())
        return std::unexpected(StoreError::corrupt(std::format("object CRC32 mismatch at offset {}", offset)));
    return record->bytes();
}

}  // namespace tarnkv
