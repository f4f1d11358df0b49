#include "core/format/layout.hpp"

#include <format>

#include <libdeflate.h>

namespace tarnkv::format {

std::string crc_hex(std::uint32_t crc) { return std::format("0x{:08x}", crc); }

std::uint32_t crc32(const void* data, std::size_t len, std::uint32_t prev) noexcept {
    // libdeflate picks a carry-less-multiply kernel at run time; it runs at memory bandwidth.
    return libdeflate_crc32(prev, data, len);
}

}  // namespace tarnkv::format
