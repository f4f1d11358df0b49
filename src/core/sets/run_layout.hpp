// Run file layout: the one place that knows the byte shapes of a run (core/sets/runs.hpp says
// what runs are for). Each shape has its writing and its reading side here, side by side; the
// run writer only encodes, the run reader only decodes. Integers are unsigned big-endian.
//
//   section:  records (length u32 | CRC-32 of the bytes u32 | bytes -- a store's object record),
//             back to back in the order they came; then the entries, sorted by key then seq:
//             key_len (u16) | key | seq (u64) | record (u64: its offset in the records)
//   table:    per section: spill (u32) | shard (u32) | offset (u64) | length (u64)
//             | records length (u64) | records (u64) | entries (u64) | CRC-32 of the section (u32)
//   trailer:  "TRNR" | version (u32) | shards (u32) | sections (u32) | table offset (u64)
//             | CRC-32 of the table (u32) | 0 (u32)
//
// A file is its sections back to back, then the table, then the trailer as its last bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <optional>
#include <string_view>

#include "core/format/layout.hpp"

namespace tarnkv::sets {

inline constexpr std::array<unsigned char, 4> kRunMagic{'T', 'R', 'N', 'R'};
inline constexpr std::uint32_t kRunVersion = 2;
inline constexpr std::size_t kTrailerSize = 32;
inline constexpr std::size_t kTableEntrySize = 52;
inline constexpr std::size_t kEntryFixed = 2 + 8 + 8;  // key_len, seq, record

// ---- Entry ----------------------------------------------------------------------------------

inline constexpr std::size_t run_entry_size(std::size_t key_len) noexcept { return kEntryFixed + key_len; }

// One sorted entry of a section: a key of the record at `record` in the section's block,
// numbered `seq` in its partition. The key is a view into the file (or the caller's bytes).
struct RunEntry {
    std::string_view key;
    std::uint64_t seq;
    std::uint64_t record;

    // Writes the entry to out[0..run_entry_size(key.size())); the key is at most 65535 bytes.
    void encode(unsigned char* out) const noexcept {
        format::store_be16(out, static_cast<std::uint16_t>(key.size()));
        if (!key.empty()) std::memcpy(out + 2, key.data(), key.size());  // an empty view may have no data
        format::store_be64(out + 2 + key.size(), seq);
        format::store_be64(out + 10 + key.size(), record);
    }

    // The entry at `p`, when all of it lies in the `left` bytes there; nullopt when it runs
    // past them.
    static std::optional<RunEntry> decode(const unsigned char* p, std::uint64_t left) noexcept {
        if (left < 2) return std::nullopt;
        const std::size_t key_len = format::load_be16(p);
        if (left < run_entry_size(key_len)) return std::nullopt;
        return RunEntry{{reinterpret_cast<const char*>(p + 2), key_len},
                        format::load_be64(p + 2 + key_len),
                        format::load_be64(p + 10 + key_len)};
    }
};

// ---- Table entry ----------------------------------------------------------------------------

// Where one spill put one shard's records: the section at `offset`, `length` bytes, its first
// `records_length` bytes the block of `records` records, then `entries` entries.
struct SectionEntry {
    std::uint32_t spill;
    std::uint32_t shard;
    std::uint64_t offset, length, records_length, records, entries;
    std::uint32_t crc;  // of the section's bytes

    // Writes the table entry to out[0..kTableEntrySize).
    void encode(unsigned char* out) const noexcept {
        format::store_be32(out, spill);
        format::store_be32(out + 4, shard);
        format::store_be64(out + 8, offset);
        format::store_be64(out + 16, length);
        format::store_be64(out + 24, records_length);
        format::store_be64(out + 32, records);
        format::store_be64(out + 40, entries);
        format::store_be32(out + 48, crc);
    }

    // The table entry at in[0..kTableEntrySize); the caller checks where it points.
    static SectionEntry decode(const unsigned char* in) noexcept {
        return {format::load_be32(in),      format::load_be32(in + 4),  format::load_be64(in + 8),
                format::load_be64(in + 16), format::load_be64(in + 24), format::load_be64(in + 32),
                format::load_be64(in + 40), format::load_be32(in + 48)};
    }
};

// ---- Trailer --------------------------------------------------------------------------------

struct RunTrailer {
    std::uint32_t shards;
    std::uint32_t sections;
    std::uint64_t table_offset;
    std::uint32_t table_crc;

    std::array<unsigned char, kTrailerSize> encode() const noexcept {
        std::array<unsigned char, kTrailerSize> out{};
        std::memcpy(out.data(), kRunMagic.data(), kRunMagic.size());
        format::store_be32(&out[4], kRunVersion);
        format::store_be32(&out[8], shards);
        format::store_be32(&out[12], sections);
        format::store_be64(&out[16], table_offset);
        format::store_be32(&out[24], table_crc);
        return out;
    }

    // Why the last bytes of a file are not a trailer this reader knows.
    enum class Fault : std::uint8_t { NoMagic, Version };

    // The trailer at in[0..kTrailerSize): the magic first, then the version.
    static std::expected<RunTrailer, Fault> decode(const unsigned char* in) noexcept {
        if (std::memcmp(in, kRunMagic.data(), kRunMagic.size()) != 0) return std::unexpected(Fault::NoMagic);
        if (format::load_be32(in + 4) != kRunVersion) return std::unexpected(Fault::Version);
        return RunTrailer{format::load_be32(in + 8), format::load_be32(in + 12), format::load_be64(in + 16),
                          format::load_be32(in + 24)};
    }
};

}  // namespace tarnkv::sets
