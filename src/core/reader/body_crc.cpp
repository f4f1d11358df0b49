// The whole-file checksum over a mapping. Mapping a file's pages in and checksumming them are
// both work for a processor, so on a machine with two the body is cut into pieces that this
// thread and a helper take in turn, each mapping its piece in and checksumming it; the pieces'
// CRCs are then joined in file order (zlib's crc32_combine), which gives the CRC of the whole.
// A helper that gets no processor (a busy machine) takes no pieces, and this thread does them
// all at single-thread speed.
#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include <zlib.h>

#include "core/format/layout.hpp"
#include "core/reader/reader_impl.hpp"

namespace tarnkv::detail {

namespace {

constexpr std::uint64_t kPiece = std::uint64_t{4} << 20;
// Below this much a second thread costs more than it saves.
constexpr std::uint64_t kHelpFrom = std::uint64_t{16} << 20;

// The pieces of one pass and who has done what; shared by the two threads.
struct Pieces {
    Pieces(const FileMapping& m, std::uint64_t begin, std::uint64_t end)
        : mapping(m), begin(begin), end(end), count((end - begin + kPiece - 1) / kPiece),
          crcs(std::make_unique<std::uint32_t[]>(count)) {}

    std::uint64_t start(std::uint64_t k) const noexcept { return begin + k * kPiece; }
    std::uint64_t length(std::uint64_t k) const noexcept { return std::min(end, start(k) + kPiece) - start(k); }

    // Takes the next piece and checksums it; false when none is left or the pass was stopped.
    // Returns the piece's length in `bytes`.
    bool work(std::uint64_t& bytes) noexcept {
        if (stop.load(std::memory_order_relaxed)) return false;
        const std::uint64_t k = next.fetch_add(1, std::memory_order_relaxed);
        if (k >= count) return false;
        mapping.populate(start(k), start(k) + length(k));
        crcs[k] = format::crc32(mapping.data() + start(k), static_cast<std::size_t>(length(k)));
        bytes = length(k);
        return true;
    }

    const FileMapping& mapping;
    const std::uint64_t begin, end, count;
    std::unique_ptr<std::uint32_t[]> crcs;  // read once the helper has been joined
    std::atomic<std::uint64_t> next{0};
    std::atomic<std::uint64_t> helped{0};  // bytes the helper has checksummed
    std::atomic<bool> stop{false};
};

}  // namespace

std::optional<std::uint32_t> body_crc(const FileMapping& mapping, std::uint64_t size,
                                      const std::function<bool(std::uint64_t)>& advance) {
    const std::uint64_t begin = format::kHeaderSize;
    if (size <= begin) return format::crc32(nullptr, 0);
    if (size - begin < kHelpFrom || std::thread::hardware_concurrency() < 2) {
        // One piece after another, so that progress is heard of on the way.
        std::uint32_t crc = 0;
        for (std::uint64_t at = begin; at < size; at += kPiece) {
            const std::uint64_t n = std::min(size - at, kPiece);
            crc = format::crc32(mapping.data() + at, static_cast<std::size_t>(n), crc);
            if (advance && !advance(n)) return std::nullopt;
        }
        return crc;
    }

    Pieces pieces(mapping, begin, size);
    std::thread helper;
    try {
        helper = std::thread([&pieces] {
            for (std::uint64_t n; pieces.work(n);) pieces.helped.fetch_add(n, std::memory_order_relaxed);
        });
    } catch (...) {
        // No thread to be had: this one takes every piece.
    }
    // Progress is reported from this thread only (the caller's callback may need it), for the
    // helper's pieces as well as its own.
    std::uint64_t reported_help = 0;
    const auto report = [&](std::uint64_t own) {
        const std::uint64_t help = pieces.helped.load(std::memory_order_relaxed);
        const bool go_on = !advance || advance(own + help - reported_help);
        reported_help = help;
        if (!go_on) pieces.stop.store(true, std::memory_order_relaxed);
        return go_on;
    };
    bool stopped = false;
    for (std::uint64_t n; !stopped && pieces.work(n);) stopped = !report(n);
    if (helper.joinable()) helper.join();
    if (stopped || pieces.stop.load()) return std::nullopt;
    if (!report(0)) return std::nullopt;

    std::uint32_t crc = pieces.crcs[0];
    for (std::uint64_t k = 1; k < pieces.count; ++k)
        crc = static_cast<std::uint32_t>(::crc32_combine(crc, pieces.crcs[k], static_cast<z_off_t>(pieces.length(k))));
    return crc;
}

}  // namespace tarnkv::detail
