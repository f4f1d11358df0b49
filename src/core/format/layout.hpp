// Store file layout: the one place that knows each byte shape. Every shape has its writing and
// its reading side here, side by side; the builder (core/writer) only encodes, the reader
// (core/reader) only decodes. Every integer is unsigned big-endian; nothing is aligned or padded.
//
//   offset 0                40                     index_offset                 end of file
//   +-----------------------+----------------------+----------------------------+
//   | header (40 bytes)     | data section         | index section              |
//   +-----------------------+----------------------+----------------------------+
//
// Header:
//   0  magic "TRNK"          4  version (u8) = 2     5  compression (u8), then 2 reserved bytes
//                                                   (zero); see compression.hpp
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
// file_crc32 covers bytes 40 .. end of file.
//
// What the reader accepts although the builder never writes it. The reader checks the header
// (size, magic, version), the whole-file CRC when asked to, and that each of the num_keys
// entries lies inside the file; an object record is checked only when something reads it.
// So it opens, and answers from, files with
//   - duplicate keys: a lookup finds the last entry with the key, listings show every entry;
//   - unsorted keys: lookups and listings still work; a prefix scan returns the run of
//     matching keys from where a binary search lands, and may miss matches elsewhere;
//   - records that no entry names (never read, never checked by verify), records shared by
//     several entries, and entries naming any offset at all (inside the header, the index, or
//     past the end: an error only when that object is read);
//   - bytes after the last entry, a num_objects that matches nothing, an index_offset below 40
//     or (with no keys) anywhere, the index before the records, and any reserved bytes or
//     data_offset, which are never read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "core/format/error.hpp"

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
inline constexpr std::size_t kCompressionByteAt = 5;

// A file image, or the part of one that is mapped: positions in it are file offsets.
using Image = std::span<const unsigned char>;

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

// Standard CRC-32 (ISO-HDLC / zlib). `prev` continues an earlier CRC over following bytes;
// the CRC of no bytes is 0.
std::uint32_t crc32(const void* data, std::size_t len, std::uint32_t prev = 0) noexcept;
inline std::uint32_t crc32(std::string_view bytes, std::uint32_t prev = 0) noexcept {
    return crc32(bytes.data(), bytes.size(), prev);
}

// The CRC-32 of the n bytes that end at `end`, the same value as crc32(end - n, n), for bytes
// of which the 64 before `end` may all be read (`room` true: a record's bytes inside a mapped
// file, which lie past the file's header and the record's own head). A record of 16 to 64
// bytes, the size of most, is then checked in a few carry-less multiplies with no branch and no
// call through a dispatch table, so that the checks of a run of records overlap in the
// processor, unless that would read a cache line before the one of its head; any other falls
// back to crc32().
std::uint32_t crc32_ending_at(const unsigned char* end, std::size_t n, bool room) noexcept;

// How a CRC is shown to people: "0x" and exactly eight lowercase hex digits.
std::string crc_hex(std::uint32_t crc);

// Key order: unsigned bytewise over the common length, the shorter first on a tie.
// std::string_view's compare uses char_traits<char>, which compares as unsigned char.
inline bool key_less(std::string_view a, std::string_view b) noexcept { return a < b; }

// ---- Header ---------------------------------------------------------------------------------

// The header fields that vary between files; magic, version, data_offset and the reserved
// bytes are fixed when written and not read back.
struct Header {
    std::uint32_t num_keys = 0;
    std::uint32_t num_objects = 0;
    std::uint64_t index_offset = kHeaderSize;
    std::uint32_t file_crc32 = 0;
    std::uint8_t compression = 0;  // byte 5: 0 for every store that is not compressed

    std::array<unsigned char, kHeaderSize> encode() const noexcept {
        std::array<unsigned char, kHeaderSize> out{};
        for (std::size_t i = 0; i < kMagic.size(); ++i) out[kMagicAt + i] = kMagic[i];
        out[kVersionAt] = kVersion;
        store_be32(&out[kNumKeysAt], num_keys);
        store_be32(&out[kNumObjectsAt], num_objects);
        store_be64(&out[kIndexOffsetAt], index_offset);
        store_be64(&out[kDataOffsetAt], kHeaderSize);
        store_be32(&out[kFileCrcAt], file_crc32);
        out[kCompressionByteAt] = compression;
        return out;
    }

    // The header at the start of `file`, checked in this order: the file holds a whole header
    // ("file too small for header"), starts with the magic ("bad magic [b0, b1, b2, b3]"), and
    // has this format's version (a version error carrying the byte). Only byte 4 is the
    // version: bytes 5 to 7 may hold anything (byte 5 is read into `compression`, which only
    // the package's reader looks at).
    static Result<Header> decode(Image file);
};

// ---- Object record --------------------------------------------------------------------------

// Writes the head of the record that holds `bytes` (its length and CRC-32) to out[0..8).
inline void encode_record_head(unsigned char* out, std::string_view bytes) noexcept {
    store_be32(out, static_cast<std::uint32_t>(bytes.size()));
    store_be32(out + 4, crc32(bytes));
}

// Why a record does not fit in its file.
enum class RecordFault : std::uint8_t {
    HeadOutside,   // fewer than 8 bytes from the offset to the end of the file
    BytesOutside,  // the length runs past the end of the file
};

// A record read in place: `head` points at its length field inside the image.
class RecordView {
public:
    // The record at `offset`, once its head and its bytes are known to lie inside `file`. The
    // sums are taken as differences from the file size, so no offset, however close to 2^64,
    // can wrap past it. Reads the length field only.
    static std::expected<RecordView, RecordFault> at(Image file, std::uint64_t offset) noexcept {
        if (offset > file.size() || file.size() - offset < kRecordHeaderSize)
            return std::unexpected(RecordFault::HeadOutside);
        const unsigned char* head = file.data() + offset;
        const std::uint32_t length = load_be32(head);
        if (file.size() - offset - kRecordHeaderSize < length) return std::unexpected(RecordFault::BytesOutside);
        return RecordView(head, length, offset + kRecordHeaderSize + length >= 64);
    }

    std::string_view bytes() const noexcept {
        return {reinterpret_cast<const char*>(head_ + kRecordHeaderSize), length_};
    }
    std::uint32_t stored_crc() const noexcept { return load_be32(head_ + 4); }
    // Whether the bytes are as they were written: their CRC-32 against the stored one.
    bool intact() const noexcept {
        return crc32_ending_at(head_ + kRecordHeaderSize + length_, length_, room_before_) == stored_crc();
    }

private:
    RecordView(const unsigned char* head, std::uint32_t length, bool room_before) noexcept
        : head_(head), length_(length), room_before_(room_before) {}
    const unsigned char* head_;
    std::uint32_t length_;
    bool room_before_;  // the 64 bytes before the record's end lie in the image
};

// ---- Index entry ----------------------------------------------------------------------------

inline constexpr std::size_t entry_size(std::size_t key_len) noexcept { return kEntryOverhead + key_len; }

// Writes the entry mapping `key` (at most kMaxKeyLen bytes) to the record at `offset` to
// out[0..entry_size(key.size())).
inline void encode_entry(unsigned char* out, std::string_view key, std::uint64_t offset) noexcept {
    store_be16(out, static_cast<std::uint16_t>(key.size()));
    if (!key.empty()) std::memcpy(out + 2, key.data(), key.size());  // an empty view may have no data
    store_be64(out + 2 + key.size(), offset);
}

// Why an entry does not fit in its file.
enum class EntryFault : std::uint8_t {
    KeyLenOutside,       // fewer than 2 bytes from the position to the end of the file
    KeyOrOffsetOutside,  // the key or the offset after it runs past the end
};

// An entry read in place; the key is a view into the image.
struct EntryView {
    std::string_view key;
    std::uint64_t offset;

    std::uint64_t size() const noexcept { return entry_size(key.size()); }

    // The entry at `pos`, once all of it is known to lie inside `file` (it may end exactly at
    // the end). Positions are compared as differences, so nothing wraps.
    static std::expected<EntryView, EntryFault> at(Image file, std::uint64_t pos) noexcept {
        if (pos > file.size() || file.size() - pos < 2) return std::unexpected(EntryFault::KeyLenOutside);
        const unsigned char* p = file.data() + pos;
        const std::size_t key_len = load_be16(p);
        // After the test above this cannot wrap; key_len + 8 is at most 65543.
        if (file.size() - pos - 2 < key_len + 8) return std::unexpected(EntryFault::KeyOrOffsetOutside);
        return EntryView{{reinterpret_cast<const char*>(p + 2), key_len}, load_be64(p + 2 + key_len)};
    }
};

}  // namespace tarnkv::format
