// Arbitrary bytes as a store file: whatever opens must answer every query without reading
// outside its mapping, and the answers must agree with each other.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/reader/store_reader.hpp"
#include "memfile.hpp"

using tarnkv::StoreReader;

namespace {

void require(bool ok) {
    if (!ok) __builtin_trap();
}

// The package's reads: a batch answers as the lookups one by one do (checked or not), checked
// reads fail exactly where the CRC or the bounds do, and prefix ranges stay in the index.
void exercise_batches(const StoreReader& r, std::string_view input) {
    std::vector<std::string_view> keys;
    for (std::size_t i = 0; i < r.entry_count() && i < 40; ++i) keys.push_back(r.key_at(i));
    for (std::size_t at = 0; at + 1 < input.size() && at < 512; at += 29)
        keys.push_back(input.substr(at, input[at] % 12));
    std::vector<std::optional<std::string_view>> out(keys.size());
    for (bool check : {false, true}) {
        const auto batch = r.get_many(keys, out, check);
        bool all_read = true;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const auto offset = r.lookup(keys[i]);
            const auto one = !offset ? tarnkv::Result<std::string_view>(std::string_view())
                                     : check ? r.checked_object_at(*offset) : r.object_at(*offset);
            if (!one) {
                all_read = false;
                if (!batch) require(batch.error().index == i);
                break;
            }
            if (batch) require(out[i].has_value() == offset.has_value() && (!offset || *out[i] == *one));
        }
        require(batch.has_value() == all_read);
    }
    for (std::size_t at = 0; at + 1 < input.size() && at < 128; at += 41) {
        const auto [first, last] = r.prefix_range(input.substr(at, input[at] % 6));
        require(first <= last && last <= r.entry_count());
    }
    int calls = 0;
    (void)r.verify([&](std::uint64_t done, std::uint64_t total) {
        require(done <= total);
        return ++calls < 3;
    });
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
    exercise_batches(r, input);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static MemFile file;
    const std::string& path = file.fill(data, size);
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    for (bool verify : {false, true}) {
        auto r = StoreReader::open(path, verify);
        if (r) exercise(*r, input);
        // The package's reader: a compressed store's objects decoded as they were put. Whatever
        // a dictionary or frame holds, decoding fails cleanly or yields at most the object limit.
        if (r && r->enable_decoding()) {
            std::string scratch;
            if (const auto objects = r->objects_raw())
                for (std::size_t i = 0; i < objects->size() && i < 64; ++i)
                    if (const auto put = r->decode((*objects)[i], scratch)) require(put->size() <= tarnkv::format::kMaxObjectLen);
            // Input bytes taken as a stored object too: frames the builder would never make.
            for (std::size_t at = 0; at < input.size() && at < 512; at += 61) (void)r->decode(input.substr(at), scratch);
            (void)r->compression_sizes();
        }
    }
    return 0;
}
