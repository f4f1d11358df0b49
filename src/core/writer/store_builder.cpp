#include "core/writer/store_builder.hpp"

#include <algorithm>
#include <format>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <xxhash.h>

#include "core/format/layout.hpp"
#include "core/writer/file_writer.hpp"

namespace tarnkv {

std::size_t StoreBuilder::SlotHash::operator()(std::string_view key) const noexcept {
    return XXH3_64bits_withSeed(key.data(), key.size(), owner->seed_);
}

StoreBuilder::StoreBuilder()
    : seed_(std::random_device{}()), by_key_(0, SlotHash{this}, SlotEq{this}) {}

namespace {

// Makes room for `extra` more bytes with geometric growth, so a later append cannot throw and
// a long run of appends stays linear.
void make_room(std::string& s, std::size_t extra) {
    const std::size_t need = s.size() + extra;
    if (need > s.capacity()) s.reserve(std::max(need, s.capacity() * 2));
}

}  // namespace

Result<std::uint32_t> StoreBuilder::add_object(std::string_view bytes) {
    if (bytes.size() > format::kMaxObjectLen)
        return std::unexpected(StoreError::general(
            std::format("object of {} bytes exceeds the {}-byte limit", bytes.size(), format::kMaxObjectLen)));
    if (record_offsets_.size() >= format::kMaxCount) return std::unexpected(StoreError::general("too many objects"));
    const auto id = static_cast<std::uint32_t>(record_offsets_.size());
    unsigned char head[format::kRecordHeaderSize];
    format::encode_record_head(head, bytes);
    // Both allocations happen before anything changes, so a failure leaves the builder as it was.
    make_room(data_, sizeof head + bytes.size());
    record_offsets_.push_back(format::kHeaderSize + data_.size());
    data_.append(reinterpret_cast<const char*>(head), sizeof head);
    data_.append(bytes);
    return id;
}

Status StoreBuilder::add_key(std::string_view key, std::uint64_t obj_id) {
    if (obj_id >= num_objects())
        return std::unexpected(StoreError::general(
            std::format("obj_id {} out of range (have {} objects)", obj_id, num_objects())));
    if (key.size() > format::kMaxKeyLen)
        return std::unexpected(StoreError::general(
            std::format("key of {} bytes exceeds the {}-byte limit", key.size(), format::kMaxKeyLen)));
    if (auto it = by_key_.find(key); it != by_key_.end()) {
        slots_[*it].obj_id = static_cast<std::uint32_t>(obj_id);
        return {};
    }
    if (slots_.size() >= format::kMaxCount) return std::unexpected(StoreError::general("too many keys"));
    const auto slot = static_cast<std::uint32_t>(slots_.size());
    make_room(keys_, key.size());
    slots_.push_back({keys_.size(), static_cast<std::uint32_t>(key.size()), static_cast<std::uint32_t>(obj_id)});
    keys_.append(key);
    try {
        by_key_.insert(slot);
    } catch (...) {  // the set could not grow: undo, so the builder stays as it was
        slots_.pop_back();
        keys_.resize(keys_.size() - key.size());
        throw;
    }
    return {};
}

std::string StoreBuilder::index_section() const {
    // Sort slot numbers by key. Each carries its key's first sixteen bytes as two big-endian
    // numbers (zero-padded), which decide most comparisons without touching the key arena:
    // keys often share an eight-byte stem ("user:000..."), and every tie sent to the arena is
    // a cache miss (a million such keys sorted seven times slower on eight bytes). Equal
    // prefixes fall back to the full keys, which also settles "a" against "a\0".
    struct Ranked {
        std::uint64_t head;
        std::uint64_t next;
        std::uint32_t slot;
    };
    std::vector<Ranked> order(slots_.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) {
        const std::string_view key = key_of(slots_[i]);
        unsigned char prefix[16] = {};
        std::copy_n(key.data(), std::min<std::size_t>(key.size(), 16), prefix);
        order[i] = {format::load_be64(prefix), format::load_be64(prefix + 8), i};
    }
    std::sort(order.begin(), order.end(), [this](const Ranked& a, const Ranked& b) {
        if (a.head != b.head) return a.head < b.head;
        if (a.next != b.next) return a.next < b.next;
        return format::key_less(key_of(slots_[a.slot]), key_of(slots_[b.slot]));
    });
    std::string out(keys_.size() + slots_.size() * format::kEntryOverhead, '\0');
    auto* p = reinterpret_cast<unsigned char*>(out.data());
    for (const Ranked& r : order) {
        const Slot& s = slots_[r.slot];
        format::encode_entry(p, key_of(s), record_offsets_[s.obj_id]);
        p += format::entry_size(s.key_len);
    }
    return out;
}

std::array<unsigned char, format::kHeaderSize> StoreBuilder::header_for(std::string_view index) const {
    format::Header h;
    h.num_keys = static_cast<std::uint32_t>(slots_.size());
    h.num_objects = static_cast<std::uint32_t>(record_offsets_.size());
    h.index_offset = format::kHeaderSize + data_.size();
    h.file_crc32 = format::crc32(index, format::crc32(data_));
    return h.encode();
}

std::string StoreBuilder::image() const {
    const std::string index = index_section();
    const auto header = header_for(index);
    std::string out;
    out.reserve(header.size() + data_.size() + index.size());
    out.append(reinterpret_cast<const char*>(header.data()), header.size());
    out += data_;
    out += index;
    return out;
}

Result<BuildInfo> StoreBuilder::build(std::string_view path, const Progress& progress) const {
    const std::string tmp = temporary_path(path);
    const std::string index = index_section();
    const auto header = header_for(index);

    auto file = FileWriter::create(tmp);
    if (!file) return std::unexpected(std::move(file.error()));
    const auto cancel = [&] {
        // A stopped build leaves nothing behind. Removed while still locked, so that the name
        // cannot belong to another build by then.
        ::unlink(tmp.c_str());
        file->close();
        return std::unexpected(StoreError::general(std::string(kCancelled)));
    };
    const std::string_view header_bytes(reinterpret_cast<const char*>(header.data()), header.size());
    const std::uint64_t total = header_bytes.size() + data_.size() + index.size();
    std::uint64_t done = 0, reported = 0;
    for (std::string_view piece : {header_bytes, std::string_view(data_), std::string_view(index)}) {
        // Large pieces go in steps, so that progress is heard of while they are written.
        while (!piece.empty()) {
            const std::string_view step = piece.substr(0, progress ? kProgressStep : piece.size());
            if (auto st = file->write(step); !st) return std::unexpected(std::move(st.error()));
            piece.remove_prefix(step.size());
            done += step.size();
            if (progress && done - reported >= kProgressStep && done < total) {
                reported = done;
                if (!progress(done, total)) return cancel();
            }
        }
    }
    if (auto st = file->flush(); !st) return std::unexpected(std::move(st.error()));
    if (auto st = file->sync(); !st) return std::unexpected(std::move(st.error()));
    if (progress && !progress(total, total)) return cancel();
    // Still open, so still locked: no other build can take the temporary over before the
    // rename has published it under the target's name.
    if (auto st = publish(tmp, path); !st) return std::unexpected(std::move(st.error()));
    file->close();

    BuildInfo info{.num_objects = num_objects(), .num_keys = num_keys(), .file_size = 0};
    struct stat st;
    // publish() has refused a path holding a NUL, so the C string is the whole path.
    if (::stat(std::string(path).c_str(), &st) == 0) info.file_size = static_cast<std::uint64_t>(st.st_size);
    return info;
}

std::string temporary_path(std::string_view path) {
    const auto comp = final_component(path);
    if (!comp) return std::string(path);  // names a directory or nothing: creating it fails
    const std::string_view name = path.substr(comp->start, comp->end - comp->start);
    std::size_t stem_len = name.size();
    if (const std::size_t dot = name.rfind('.'); dot != std::string_view::npos && dot != 0) stem_len = dot;
    std::string out(path.substr(0, comp->start + stem_len));
    out += ".trnk.tmp";
    return out;
}

}  // namespace tarnkv
