// The whole-file checksum over a mapping. Reading a page of a mapped file for the first time
// costs the kernel more than checksumming it: both are work for a processor, and on a machine
// with two of them a helper thread maps the pages of the pieces ahead while this thread
// checksums the pieces behind. Whichever thread reaches an untouched piece first maps it, so
// neither waits for the other for long, and the CRC itself is one pass in file order.
#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "core/format/layout.hpp"
#include "core/reader/reader_impl.hpp"

namespace tarnkv::detail {

namespace {

constexpr std::uint64_t kPiece = std::uint64_t{4} << 20;
// Below this much a second thread costs more than it saves.
constexpr std::uint64_t kHelpFrom = std::uint64_t{16} << 20;

enum : std::uint8_t { kUntouched, kMapping, kMapped };

}  // namespace

std::optional<std::uint32_t> body_crc(const FileMapping& mapping, std::uint64_t size,
                                      const std::function<bool(std::uint64_t)>& advance) {
    const std::uint64_t begin = format::kHeaderSize;
    if (size <= begin) return format::crc32(nullptr, 0);
    const unsigned char* base = mapping.data();
    const std::uint64_t pieces = (size - begin + kPiece - 1) / kPiece;
    const auto piece_end = [&](std::uint64_t k) { return std::min(size, begin + (k + 1) * kPiece); };

    std::unique_ptr<std::atomic<std::uint8_t>[]> state;
    std::atomic<bool> stop{false};
    std::thread helper;
    if (size - begin >= kHelpFrom && std::thread::hardware_concurrency() > 1) {
        state = std::make_unique<std::atomic<std::uint8_t>[]>(pieces);
        try {
            helper = std::thread([&] {
                for (std::uint64_t k = 0; k < pieces && !stop.load(std::memory_order_relaxed); ++k) {
                    std::uint8_t expected = kUntouched;
                    if (!state[k].compare_exchange_strong(expected, kMapping)) continue;
                    mapping.populate(begin + k * kPiece, piece_end(k));
                    state[k].store(kMapped, std::memory_order_release);
                }
            });
        } catch (...) {  // no thread to be had: one thread does everything
            state.reset();
        }
    }

    std::uint32_t crc = 0;
    bool stopped = false;
    for (std::uint64_t k = 0; k < pieces; ++k) {
        const std::uint64_t at = begin + k * kPiece;
        if (state) {
            std::uint8_t expected = kUntouched;
            if (state[k].compare_exchange_strong(expected, kMapping)) {
                mapping.populate(at, piece_end(k));
                state[k].store(kMapped, std::memory_order_release);
            } else {
                // The helper is mapping it: that takes less than a piece's checksum.
                while (state[k].load(std::memory_order_acquire) != kMapped) std::this_thread::yield();
            }
        }
        crc = format::crc32(base + at, static_cast<std::size_t>(piece_end(k) - at), crc);
        if (advance && !advance(piece_end(k) - at)) {
            stopped = true;
            break;
        }
    }
    stop.store(true, std::memory_order_relaxed);
    if (helper.joinable()) helper.join();
    if (stopped) return std::nullopt;
    return crc;
}

}  // namespace tarnkv::detail
