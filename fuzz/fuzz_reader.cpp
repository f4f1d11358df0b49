// Arbitrary bytes as a store file: whatever opens must answer every query without reading
// outside its mapping, and the answers must agree with each other.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/reader/store_reader.hpp"
#include "memfile.hpp"

using tarnkv::StoreReader;

namespace {

void require(bool ok) {
    if (!ok) __builtin_trap();
}

void exercise(const StoreReader& r, std::string_view input) {
    const std::size_t n = r.entry_count();
    require(n == r.num_keys());
    (void)r.stats();

    const auto items = r.items_raw();
    const auto objects = r.objects_raw();
    const auto verified = r.verify();
    // Every referenced record is in bounds exactly when the enumerations succeed, and verify()
    // checks at least that much.
    require(items.has_value() == objects.has_value());
    if (verified) require(items.has_value());
    if (items) require(items->size() == n);

    // Lookups by the file's own keys (bounded, so huge indexes stay quick) and by probes cut
    // from the input.
    for (std::size_t i = 0; i < n && i < 64; ++i) {
        const std::string_view key = r.key_at(i);
        require(r.exists(key));
        const auto got = r.get_raw(key);
        if (items) require(got.has_value() && got->has_value());
        // The index of a hostile file need not be sorted, so a scan may miss the key itself;
        // it must still stay inside the mapping.
        (void)r.prefix_raw(key);
        if (key.size() > 1) (void)r.prefix_raw(key.substr(0, key.size() / 2));
    }
    for (std::size_t at = 0; at + 1 < input.size() && at < 256; at += 37) {
        const std::string_view probe = input.substr(at, input[at] % 24);
        const bool there = r.exists(probe);
        const auto got = r.get_raw(probe);
        if (got && !there) require(!got->has_value());
        (void)r.prefix_raw(probe);
        (void)r.object_at(static_cast<unsigned char>(input[at]) * 7u);
    }
    (void)r.prefix_raw({});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static MemFile file;
    const std::string& path = file.fill(data, size);
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    for (bool verify : {false, true}) {
        auto r = StoreReader::open(path, verify);
        if (r) exercise(*r, input);
    }
    return 0;
}
