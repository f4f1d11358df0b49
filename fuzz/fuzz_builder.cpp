// A byte stream decoded into add-object / add-key / build operations. Every built image is read
// back through the reader and compared with a plain model of what was added.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "core/format/layout.hpp"
#include "core/reader/store_reader.hpp"
#include "core/writer/store_builder.hpp"
#include "memfile.hpp"

namespace {

void require(bool ok) {
    if (!ok) __builtin_trap();
}

struct Input {
    std::string_view rest;
    std::uint8_t byte() {
        if (rest.empty()) return 0;
        const auto b = static_cast<std::uint8_t>(rest.front());
        rest.remove_prefix(1);
        return b;
    }
    std::string_view take(std::size_t n) {
        n = std::min(n, rest.size());
        const auto out = rest.substr(0, n);
        rest.remove_prefix(n);
        return out;
    }
};

void check(const tarnkv::StoreBuilder& b, const std::vector<std::string>& objects,
           const std::map<std::string, std::uint32_t>& keys, MemFile& file) {
    const std::string image = b.image();
    // The image itself, read with the format's decoders: the header's counts, then the index
    // entry by entry in the model's key order, each naming a record that holds its object.
    namespace format = tarnkv::format;
    const format::Image bytes(reinterpret_cast<const unsigned char*>(image.data()), image.size());
    const auto header = format::Header::decode(bytes);
    require(header && header->num_keys == keys.size() && header->num_objects == objects.size());
    std::uint64_t pos = header->index_offset;
    for (const auto& [key, id] : keys) {
        const auto entry = format::EntryView::at(bytes, pos);
        require(entry && entry->key == key);
        const auto record = format::RecordView::at(bytes, entry->offset);
        require(record && record->bytes() == objects[id] && record->stored_crc() == format::crc32(objects[id]));
        pos += entry->size();
    }
    require(pos == image.size());

    auto r = tarnkv::StoreReader::open(file.fill(image.data(), image.size()), true);
    require(r.has_value());
    require(r->verify().has_value());
    require(r->num_objects() == objects.size() && r->entry_count() == keys.size());
    std::size_t i = 0;
    for (const auto& [key, id] : keys) {  // std::map orders keys bytewise, as the index must
        require(r->key_at(i++) == key);
        const auto got = r->get_raw(key);
        require(got && got->has_value() && **got == objects[id]);
    }
    const auto items = r->items_raw();
    require(items && items->size() == keys.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static MemFile file;
    Input in{std::string_view(reinterpret_cast<const char*>(data), size)};
    tarnkv::StoreBuilder b;
    std::vector<std::string> objects;
    std::map<std::string, std::uint32_t> keys;
    bool built = false;
    while (!in.rest.empty()) {
        const std::uint8_t op = in.byte();
        if (op % 3 == 0) {
            const std::string_view obj = in.take(in.byte());
            require(b.add_object(obj).value() == objects.size());
            objects.emplace_back(obj);
        } else if (op % 3 == 1) {
            const std::string_view key = in.take(in.byte() % 40);
            const std::uint32_t id = in.byte();
            const auto st = b.add_key(key, id);
            require(st.has_value() == (id < objects.size()));
            if (st) keys[std::string(key)] = id;
        } else {
            check(b, objects, keys, file);
            built = true;
        }
        require(b.num_objects() == objects.size() && b.num_keys() == keys.size());
    }
    if (!built) check(b, objects, keys, file);
    return 0;
}
