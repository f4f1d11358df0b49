#include "core/format/layout.hpp"

#include <algorithm>
#include <format>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <libdeflate.h>

namespace tarnkv::format {

std::string crc_hex(std::uint32_t crc) { return std::format("0x{:08x}", crc); }

std::uint32_t crc32(const void* data, std::size_t len, std::uint32_t prev) noexcept {
    // libdeflate picks a carry-less-multiply kernel at run time; it runs at memory bandwidth.
    return libdeflate_crc32(prev, data, len);
}

namespace {

// Short CRCs by carry-less multiplication (x86 with PCLMULQDQ). The n bytes are read as the end
// of a 64-byte block whose first 64 - n bytes are masked to zero: leading zeros leave a CRC
// register that starts at zero unchanged, so the block's CRC from a zero register is the bytes'
// own, and the standard starting value (all ones) is added back as its own contribution over n
// zero bytes, which is linear and depends on n alone. The block's four 16-byte lanes are folded
// into the last (multiplied by powers of x modulo the polynomial, bit-reflected), reduced to 64
// bits and then to 32 by Barrett reduction.
#if defined(__x86_64__)
// The register after n zero bytes from all ones, for n = 0 .. 64.
struct OnesOverZeros {
    std::array<std::uint32_t, 65> after{};
    OnesOverZeros() noexcept {
        std::uint32_t c = 0xFFFF'FFFFu;
        for (std::size_t n = 0; n <= 64; ++n) {
            after[n] = c;
            for (int bit = 0; bit < 8; ++bit) c = (c >> 1) ^ (0xEDB8'8320u & (0u - (c & 1u)));
        }
    }
};
const OnesOverZeros ones_over_zeros;

// 64 zero bytes then 64 bytes of ones: the 64 bytes from [n] keep the last n bytes of a block.
alignas(64) constexpr std::array<unsigned char, 128> kKeepLast = [] {
    std::array<unsigned char, 128> m{};
    for (std::size_t i = 64; i < 128; ++i) m[i] = 0xFF;
    return m;
}();

[[gnu::target("pclmul,sse4.1")]] inline __m128i carry(__m128i v, __m128i k) noexcept {
    return _mm_xor_si128(_mm_clmulepi64_si128(v, k, 0x00), _mm_clmulepi64_si128(v, k, 0x11));
}

[[gnu::target("pclmul,sse4.1")]] std::uint32_t fold_block(const unsigned char* end, std::size_t n) noexcept {
    const unsigned char* block = end - 64;
    const unsigned char* keep = kKeepLast.data() + n;
    __m128i lane[4];
    for (int i = 0; i < 4; ++i) {
        // A lane wholly before the bytes is masked to zero whatever it holds: it is loaded from
        // inside the bytes instead, so that only the lane where they start reads before them.
        const unsigned char* at = block + 16 * i;
        if (at + 16 <= end - n) at = end - 16;
        lane[i] = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)),
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(keep + 16 * i)));
    }
    // Each lane is carried over the lanes after it at once (x^(8d + 32) for its low half and
    // x^(8d - 32) for its high half, d the bytes after it), so the three multiplies run side by
    // side instead of one after another.
    const __m128i k48 = _mm_set_epi64x(0x174359406LL, 0x03db1ecdcLL);
    const __m128i k32 = _mm_set_epi64x(0x15a546366LL, 0x0f1da05aaLL);
    const __m128i k16 = _mm_set_epi64x(0x0ccaa009eLL, 0x1751997d0LL);
    __m128i x = _mm_xor_si128(_mm_xor_si128(carry(lane[0], k48), carry(lane[1], k32)),
                              _mm_xor_si128(carry(lane[2], k16), lane[3]));
    // 128 bits to 64.
    x = _mm_xor_si128(_mm_clmulepi64_si128(x, k16, 0x10), _mm_srli_si128(x, 8));
    // 64 bits to 32.
    const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32), _mm_set_epi64x(0, 0x163cd6124LL), 0x00),
                      _mm_srli_si128(x, 4));
    // Barrett reduction.
    const __m128i poly = _mm_set_epi64x(0x1F7011641LL, 0x1DB710641LL);
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, low32), poly, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly, 0x00);
    const auto raw = static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(x, t), 1));
    return ~(raw ^ ones_over_zeros.after[n]);
}

const bool have_clmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
#endif

}  // namespace

std::uint32_t crc32_ending_at(const unsigned char* end, std::size_t n, bool room) noexcept {
#if defined(__x86_64__)
    // The block reads up to 15 bytes before the bytes (in the lane where they start). It is used
    // only where that touches no cache line but those of the bytes and of the 8 before them (a
    // record's head, which its reader has just read): a line further back would be one more miss
    // for a random read, which the general CRC, reading the bytes alone, does not pay.
    const auto line = [](const unsigned char* p) { return reinterpret_cast<std::uintptr_t>(p) >> 6; };
    if (room && n >= 16 && n <= 64 && have_clmul && line(end - 64 + 16 * ((64 - n) / 16)) >= line(end - n - 8))
        return fold_block(end, n);
#endif
    return crc32(end - n, n);
}

Result<Header> Header::decode(Image file) {
    if (file.size() < kHeaderSize) return std::unexpected(StoreError::corrupt("file too small for header"));
    const unsigned char* p = file.data();
    if (!std::equal(kMagic.begin(), kMagic.end(), p + kMagicAt))
        return std::unexpected(StoreError::corrupt(std::format("bad magic [{}, {}, {}, {}]", p[0], p[1], p[2], p[3])));
    if (p[kVersionAt] != kVersion) return std::unexpected(StoreError::version(p[kVersionAt]));
    return Header{
        .num_keys = load_be32(p + kNumKeysAt),
        .num_objects = load_be32(p + kNumObjectsAt),
        .index_offset = load_be64(p + kIndexOffsetAt),
        .file_crc32 = load_be32(p + kFileCrcAt),
        .compression = p[kCompressionByteAt],
    };
}

}  // namespace tarnkv::format
