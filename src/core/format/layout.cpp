#include "core/format/layout.hpp"

#include <algorithm>
#include <format>

#include <libdeflate.h>

namespace tarnkv::format {

std::string crc_hex(std::uint32_t crc) { return std::format("0x{:08x}", crc); }

std::uint32_t crc32(const void* data, std::size_t len, std::uint32_t prev) noexcept {
    // libdeflate picks a carry-less-multiply kernel at run time; it runs at memory bandwidth.
    return libdeflate_crc32(prev, data, len);
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
