// The packed batch of records that the command line's JSON Lines reader makes (in the package's
// extension) and that the writer stores in one call (put_many_raw) or a set build's run writer
// buffers (sets::RunWriter::add_batch). Per record: one byte with the number of keys, then each
// key as a u32 length and its bytes, then the MessagePack object as a u32 length and its bytes,
// in native byte order: a batch never leaves the process.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace tarnkv::batch {

// Up to this many keys per record (a key and its aliases).
constexpr std::size_t kMaxKeys = 64;

inline void put_u32(std::string& out, std::size_t n) {
    const auto v = static_cast<std::uint32_t>(n);
    out.append(reinterpret_cast<const char*>(&v), 4);
}

// One record: parts[0] is the key, parts[1] the object, parts[2..] the aliases.
using Parts = std::array<std::string_view, kMaxKeys + 1>;

// Reads a batch record by record. False when the batch is malformed.
struct Reader {
    const char* p;
    const char* end;

    bool at_end() const noexcept { return p >= end; }
    bool u32(std::size_t& n) {
        if (end - p < 4) return false;
        std::uint32_t v;
        std::memcpy(&v, p, 4);
        p += 4;
        n = v;
        return true;
    }
    bool bytes(std::string_view& out) {
        std::size_t n;
        if (!u32(n) || static_cast<std::size_t>(end - p) < n) return false;
        out = std::string_view(p, n);
        p += n;
        return true;
    }
    bool record(Parts& parts, std::size_t& nkeys) {
        if (p >= end) return false;
        nkeys = static_cast<unsigned char>(*p++);
        if (nkeys == 0 || nkeys > kMaxKeys) return false;
        for (std::size_t k = 0; k < nkeys; ++k)
            if (!bytes(parts[k == 0 ? 0 : k + 1])) return false;
        return bytes(parts[1]);
    }
};

}  // namespace tarnkv::batch
