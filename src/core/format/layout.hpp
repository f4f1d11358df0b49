// Store file layout. Every integer is unsigned big-endian; nothing is aligned or padded.
//
//   offset 0                40                     index_offset                 end of file
//   +-----------------------+----------------------+----------------------------+
//   | header (40 bytes)     | data section         | index section              |
//   +-----------------------+----------------------+----------------------------+
//
// Header:
//   0  magic "TRNK"          4  version (u8) = 2     5  3 reserved bytes (zero)
//   8  num_keys (u32)        12 num_objects (u32)    16 index_offset (u64)
//   24 data_offset (u64)=40  32 file_crc32 (u32)     36 4 reserved bytes (zero)
//
// Data section: one record per object, in object-ID order, back to back:
//   length n (u32) | crc32 of the n bytes (u32) | the n bytes
//
// Index section: one entry per key, ascending unsigned bytewise key order (a prefix sorts
// before the longer key), back to back up to the end of the file:
//   key_len k (u16) | k key bytes | offset of the object's record (u64)
//
// file_crc32 covers bytes 40 .. end of file. The builder (core/writer/store_builder.hpp)
// writes this layout; the reader (core/reader/store_reader.hpp) consumes it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarnkv::format {

inline constexpr std::array<unsigned char, 4> kMagic{'T', 'R', 'N', 'K'};
inline constexpr std::uint8_t kVersion = 2;
inline constexpr std::size_t kHeaderSize = 40;        // also the data section's offset
inline constexpr std::size_t kRecordHeaderSize = 8;   // length + crc
inline constexpr std::size_t kEntryOverhead = 10;     // key_len + offset
inline constexpr std::size_t kMaxKeyLen = 0xFFFF;     // what the u16 key_len can say
inline constexpr std::uint64_t kMaxObjectLen = 0xFFFF'FFFF;  // what the u32 length can say
inline constexpr std::uint64_t kMaxCount = 0xFFFF'FFFF;      // num_keys / num_objects are u32

// Header field positions.
inline constexpr std::size_t kMagicAt = 0;
inline constexpr std::size_t kVersionAt = 4;
inline constexpr std::size_t kNumKeysAt = 8;
inline constexpr std::size_t kNumObjectsAt = 12;
inline constexpr std::size_t kIndexOffsetAt = 16;
inline constexpr std::size_t kDataOffsetAt = 24;
inline constexpr std::size_t kFileCrcAt = 32;

inline std::uint16_t load_be16(const unsigned char* p) noexcept {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t load_be32(const unsigned char* p) noexcept {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}
inline std::uint64_t load_be64(const unsigned char* p) noexcept {
    return (std::uint64_t{load_be32(p)} << 32) | load_be32(p + 4);
}

inline void store_be16(unsigned char* p, std::uint16_t v) noexcept {
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}
inline void store_be32(unsigned char* p, std::uint32_t v) noexcept {
    for (int i = 3; i >= 0; --i, v >>= 8) p[i] = static_cast<unsigned char>(v);
}
inline void store_be64(unsigned char* p, std::uint64_t v) noexcept {
    for (int i = 7; i >= 0; --i, v >>= 8) p[i] = static_cast<unsigned char>(v);
}

// The header values a writer chooses; everything else in the header is fixed.
struct Header {
    std::uint32_t num_keys = 0;
    std::uint32_t num_objects = 0;
    std::uint64_t index_offset = kHeaderSize;
    std::uint32_t file_crc32 = 0;

    std::array<unsigned char, kHeaderSize> encode() const noexcept {
        std::array<unsigned char, kHeaderSize> out{};
        for (std::size_t i = 0; i < kMagic.size(); ++i) out[kMagicAt + i] = kMagic[i];
        out[kVersionAt] = kVersion;
        store_be32(&out[kNumKeysAt], num_keys);
        store_be32(&out[kNumObjectsAt], num_objects);
        store_be64(&out[kIndexOffsetAt], index_offset);
        store_be64(&out[kDataOffsetAt], kHeaderSize);
        store_be32(&out[kFileCrcAt], file_crc32);
        return out;
    }
};

// How a CRC is shown to people: "0x" and exactly eight lowercase hex digits.
std::string crc_hex(std::uint32_t crc);

// Standard CRC-32 (ISO-HDLC / zlib). `prev` continues an earlier CRC over following bytes;
// the CRC of no bytes is 0.
std::uint32_t crc32(const void* data, std::size_t len, std::uint32_t prev = 0) noexcept;
inline std::uint32_t crc32(std::string_view bytes, std::uint32_t prev = 0) noexcept {
    return crc32(bytes.data(), bytes.size(), prev);
}

// Key order: unsigned bytewise over the common length, the shorter first on a tie.
// std::string_view's compare uses char_traits<char>, which compares as unsigned char.
inline bool key_less(std::string_view a, std::string_view b) noexcept { return a < b; }

}  // namespace tarnkv::format
