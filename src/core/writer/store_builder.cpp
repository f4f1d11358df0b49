#include "core/writer/store_builder.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <format>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#define XXH_INLINE_ALL  // a key is hashed once per add_key: the call would cost as much as the hash
#include <xxhash.h>

#include "core/format/layout.hpp"
#include "core/writer/chunk_compressor.hpp"
#include "core/writer/file_writer.hpp"
#include "core/writer/sample_reservoir.hpp"

namespace tarnkv {

StoreBuilder::StoreBuilder() : seed_(std::random_device{}()) {}
StoreBuilder::~StoreBuilder() = default;

detail::KeySet::Hash StoreBuilder::key_hash(std::string_view key) const noexcept {
    return detail::KeySet::split(XXH3_64bits_withSeed(key.data(), key.size(), seed_));
}


void StoreBuilder::append_record(std::string_view stored) {
    unsigned char head[format::kRecordHeaderSize];
    format::encode_record_head(head, stored);
    record_offsets_.push_back(format::kHeaderSize + data_.size());
    data_.append(head, sizeof head);
    data_.append(stored);
}

Result<std::uint32_t> StoreBuilder::add_object(std::string_view bytes) {
    if (bytes.size() > format::kMaxObjectLen)
        return std::unexpected(StoreError::general(
            std::format("object of {} bytes exceeds the {}-byte limit", bytes.size(), format::kMaxObjectLen)));
    if (record_offsets_.size() >= format::kMaxCount) return std::unexpected(StoreError::general("too many objects"));
    const auto id = static_cast<std::uint32_t>(record_offsets_.size());
    // Both allocations happen before anything changes, so a failure leaves the builder as it was.
    data_.reserve_more(format::kRecordHeaderSize + bytes.size());
    record_offsets_.reserve_more(1);
    append_record(bytes);
    return id;
}

Status StoreBuilder::add_key(std::string_view key, std::uint64_t obj_id) {
    if (obj_id >= num_objects())
        return std::unexpected(StoreError::general(
            std::format("obj_id {} out of range (have {} objects)", obj_id, num_objects())));
    if (key.size() > format::kMaxKeyLen)
        return std::unexpected(StoreError::general(
            std::format("key of {} bytes exceeds the {}-byte limit", key.size(), format::kMaxKeyLen)));
    const auto h = key_hash(key);
    if (const auto slot = find_slot(key, h)) {
        slots_[*slot].obj_id = static_cast<std::uint32_t>(obj_id);
        return {};
    }
    if (slots_.size() >= format::kMaxCount) return std::unexpected(StoreError::general("too many keys"));
    const auto slot = static_cast<std::uint32_t>(slots_.size());
    // Everything that can fail (memory) happens before anything changes.
    keys_.reserve_more(key.size());
    slots_.reserve_more(1);
    by_key_.insert(h, slot);
    slots_.push_back({keys_.size(), static_cast<std::uint32_t>(key.size()), static_cast<std::uint32_t>(obj_id)});
    keys_.append(key);
    return {};
}

namespace {

// A slot to be sorted with sixteen bytes of its key (from the bytes every key shares on) as two
// big-endian numbers, zero-padded: they decide the order of nearly all keys without reading
// the arena, where every read would be a cache miss.
struct Ranked16 {
    std::uint64_t hi;
    std::uint32_t slot;
    std::uint64_t key(int b) const noexcept { return hi >> (56 - 8 * b); }  // byte b of 8
    static constexpr int kBytes = 8;
};
struct Ranked24 {
    std::uint64_t hi, lo;
    std::uint32_t slot;
    std::uint64_t key(int b) const noexcept { return (b < 8 ? hi : lo) >> (56 - 8 * (b % 8)); }
    static constexpr int kBytes = 16;
};

// Sorts by the ranked bytes, least significant first, one stable counting pass per byte; a
// byte that is the same in every element needs no pass. Keys in stores share long stems and
// end in few varying bytes, so a handful of linear passes replace a comparison sort whose
// every step is a branch the processor cannot predict.
template <class R>
void radix_sort(std::unique_ptr<R[]>& a, std::size_t n, std::uint64_t varying_hi, std::uint64_t varying_lo) {
    auto tmp = std::make_unique_for_overwrite<R[]>(n);
    const auto varies = [&](int b) {
        const std::uint64_t mask = b < 8 ? varying_hi : varying_lo;
        return ((mask >> (56 - 8 * (b % 8))) & 0xFF) != 0;
    };
    for (int b = R::kBytes - 1; b >= 0; --b) {
        if (!varies(b)) continue;
        std::size_t count[257] = {};
        for (std::size_t i = 0; i < n; ++i) ++count[(a[i].key(b) & 0xFF) + 1];
        for (int d = 0; d < 256; ++d) count[d + 1] += count[d];
        for (std::size_t i = 0; i < n; ++i) tmp[count[a[i].key(b) & 0xFF]++] = a[i];
        std::swap(a, tmp);
    }
}

}  // namespace

template <class R>
void StoreBuilder::sort_slots(std::uint32_t* out, std::size_t common) const {
    const std::size_t n = slots_.size();
    auto order = std::make_unique_for_overwrite<R[]>(n);
    std::uint64_t or_hi = 0, and_hi = ~std::uint64_t{0}, or_lo = 0, and_lo = ~std::uint64_t{0};
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::string_view key = key_of(slots_[i]);
        unsigned char window[16] = {};
        if (key.size() > common) std::memcpy(window, key.data() + common, std::min<std::size_t>(key.size() - common, 16));
        const std::uint64_t hi = format::load_be64(window), lo = format::load_be64(window + 8);
        or_hi |= hi;
        and_hi &= hi;
        or_lo |= lo;
        and_lo &= lo;
        if constexpr (R::kBytes == 8)
            order[i] = {hi, i};
        else
            order[i] = {hi, lo, i};
    }
    radix_sort(order, n, or_hi ^ and_hi, or_lo ^ and_lo);

    // Elements whose ranked bytes tie (keys that share them and differ later, or only in
    // length) are in insertion order: each such run is sorted by the whole keys.
    const auto same = [](const R& a, const R& b) {
        if constexpr (R::kBytes == 8)
            return a.hi == b.hi;
        else
            return a.hi == b.hi && a.lo == b.lo;
    };
    for (std::size_t i = 0; i + 1 < n;) {
        std::size_t j = i + 1;
        while (j < n && same(order[i], order[j])) ++j;
        if (j - i > 1)
            std::sort(&order[i], &order[j], [this](const R& a, const R& b) {
                return format::key_less(key_of(slots_[a.slot]), key_of(slots_[b.slot]));
            });
        i = j;
    }
    for (std::size_t i = 0; i < n; ++i) out[i] = order[i].slot;
}

std::unique_ptr<std::uint32_t[]> StoreBuilder::sorted_slots() const {
    const std::size_t n = slots_.size();
    // The bytes every key shares from the start decide nothing; ranking starts after them.
    std::size_t common = n ? slots_[0].key_len : 0;
    if (n) {
        const std::string_view first = key_of(slots_[0]);
        for (std::size_t i = 1; i < n && common > 0; ++i) {
            const std::string_view key = key_of(slots_[i]);
            const std::size_t limit = std::min(common, key.size());
            common = static_cast<std::size_t>(std::mismatch(first.begin(), first.begin() + static_cast<std::ptrdiff_t>(limit),
                                                            key.begin()).first - first.begin());
        }
    }
    bool short_keys = true;  // every key ends within eight bytes after the shared ones
    for (const Slot& s : slots_)
        if (s.key_len > common + 8) {
            short_keys = false;
            break;
        }
    auto out = std::make_unique_for_overwrite<std::uint32_t[]>(n);
    if (short_keys)
        sort_slots<Ranked16>(out.get(), common);
    else
        sort_slots<Ranked24>(out.get(), common);
    return out;
}

StoreBuilder::Layout StoreBuilder::layout(const std::uint32_t* order) const {
    Layout lay;
    if (!by_key_order_) {
        lay.num_placed = num_objects();
        lay.data_size = data_.size();
        return lay;
    }
    // What comes before the first object (a compressed store's dictionary) stays in front.
    const std::size_t n = num_objects();
    lay.data_size = n ? record_offsets_[0] - format::kHeaderSize : data_.size();
    lay.placed = std::make_unique_for_overwrite<std::uint32_t[]>(n);
    lay.offsets = std::make_unique<std::uint64_t[]>(n);
    // Each object goes where its first key in key order meets it. Slots and record offsets
    // are at random places: loaded a few keys ahead, so that the misses overlap.
    constexpr std::size_t kFar = 16, kNear = 8;
    const std::size_t keys = slots_.size();
    for (std::size_t i = 0; i < keys; ++i) {
        if (i + kFar < keys) __builtin_prefetch(&slots_[order[i + kFar]]);
        if (i + kNear < keys) {
            const std::uint32_t ahead = slots_[order[i + kNear]].obj_id;
            __builtin_prefetch(&lay.offsets[ahead]);
            __builtin_prefetch(&record_offsets_[ahead]);
        }
        const std::uint32_t id = slots_[order[i]].obj_id;
        if (lay.offsets[id] != 0) continue;  // named by an earlier key
        const std::uint64_t end = id + 1 < n ? record_offsets_[id + 1] : format::kHeaderSize + data_.size();
        lay.offsets[id] = format::kHeaderSize + lay.data_size;
        lay.placed[lay.num_placed++] = id;
        lay.data_size += end - record_offsets_[id];
    }
    return lay;
}

// Gathered pieces go to the sink as a std::string it may empty (taking its buffer), pieces
// of the data section as it stands as views.
template <class Sink>
bool StoreBuilder::emit_data(const Layout& lay, Sink&& sink) const {
    if (!lay.placed) return sink(data_.view());
    const std::size_t n = num_objects();
    const std::string_view all = data_.view();
    if (!sink(all.substr(0, n ? record_offsets_[0] - format::kHeaderSize : all.size()))) return false;
    // Records are gathered into pieces of about a megabyte: one write and one CRC step each.
    constexpr std::size_t kPiece = std::size_t{1} << 20, kAhead = 8;
    std::string piece;
    piece.reserve(kPiece);
    for (std::size_t i = 0; i < lay.num_placed; ++i) {
        if (i + kAhead < lay.num_placed)
            __builtin_prefetch(data_.data() + record_offsets_[lay.placed[i + kAhead]] - format::kHeaderSize);
        const std::uint32_t id = lay.placed[i];
        const std::uint64_t at = record_offsets_[id] - format::kHeaderSize;
        const std::uint64_t end = id + 1 < n ? record_offsets_[id + 1] - format::kHeaderSize : all.size();
        if (piece.size() + (end - at) > kPiece && !piece.empty()) {
            if (!sink(piece)) return false;
            piece.clear();
            piece.reserve(kPiece);  // the sink may have taken the piece's buffer
        }
        if (end - at >= kPiece) {
            if (!sink(all.substr(at, end - at))) return false;
        } else {
            piece.append(all.data() + at, end - at);
        }
    }
    return piece.empty() || sink(piece);
}

std::string StoreBuilder::build_dictionary() const {
    // The objects a key names are the ones the layout places; finding them needs no sort.
    const std::size_t n = num_objects();
    auto named = std::make_unique<bool[]>(n);
    for (const Slot& s : slots_) named[s.obj_id] = true;
    // Views, not copies: the objects stay where they are until the build is done.
    detail::SampleReservoirOfViews sample;
    for (std::uint32_t id = 0; id < n; ++id)
        if (named[id]) sample.offer(object_of(id));
    return detail::train_on(sample);
}

template <class Sink>
Status StoreBuilder::emit_compressed(Layout& lay, std::string_view dictionary, Sink&& sink) const {
    const std::string head = detail::ChunkCompressor::dictionary_record(dictionary);
    if (auto st = sink(std::string_view(head)); !st) return st;
    std::uint64_t written = head.size();
    // Objects are compressed a chunk at a time on every core and come back in order (see
    // chunk_compressor.hpp): the file is the same whatever the number of cores, and the same
    // as a spilling build's. They stay where they are until the build is done.
    auto compressor = detail::ChunkCompressor::create(
        dictionary, *compression_level(), lay.num_placed, detail::ChunkCompressor::Input::Views,
        detail::ChunkCompressor::kMaxChunkBytes,
        [&](std::string_view records, std::span<const detail::ChunkCompressor::Placed> placed) -> Status {
            for (const auto& p : placed) {
                lay.offsets[p.id] = format::kHeaderSize + written;
                written += p.size;
            }
            return sink(records);
        });
    if (!compressor) return std::unexpected(std::move(compressor.error()));
    constexpr std::size_t kAhead = 8;  // record offsets fetched ahead: objects lie all over
    for (std::size_t i = 0; i < lay.num_placed; ++i) {
        if (i + kAhead < lay.num_placed) __builtin_prefetch(&record_offsets_[lay.placed[i + kAhead]]);
        if (auto st = (*compressor)->add(lay.placed[i], object_of(lay.placed[i])); !st) return st;
    }
    if (auto st = (*compressor)->finish(); !st) return st;
    lay.data_size = written;
    return {};
}

void StoreBuilder::write_entries(char* out, const std::uint32_t* order, const Layout& lay) const {
    // The entries, in key order. Each needs its slot, its key's bytes and its object's record
    // offset, all at random places: they are loaded a few entries ahead, in two steps (the slot
    // first, then what it points at), so that the misses overlap.
    const std::size_t n = slots_.size();
    const std::uint64_t* offsets = lay.offsets ? lay.offsets.get() : record_offsets_.data();
    constexpr std::size_t kFar = 16, kNear = 8;
    auto* p = reinterpret_cast<unsigned char*>(out);
    for (std::size_t i = 0; i < n; ++i) {
        if (i + kFar < n) __builtin_prefetch(&slots_[order[i + kFar]]);
        if (i + kNear < n) {
            const Slot& ahead = slots_[order[i + kNear]];
            __builtin_prefetch(keys_.data() + ahead.key_pos);
            __builtin_prefetch(&offsets[ahead.obj_id]);
        }
        const Slot& s = slots_[order[i]];
        format::encode_entry(p, key_of(s), offsets[s.obj_id]);
        p += format::entry_size(s.key_len);
    }
}

std::string StoreBuilder::entries(const std::uint32_t* order, const Layout& lay) const {
    std::string out;
    out.resize_and_overwrite(static_cast<std::size_t>(index_size()), [&](char* buf, std::size_t size) {
        write_entries(buf, order, lay);
        return size;
    });
    return out;
}

std::string StoreBuilder::index_section() const {
    const auto order = sorted_slots();
    return entries(order.get(), layout(order.get()));
}

std::array<unsigned char, format::kHeaderSize> StoreBuilder::header_with(std::uint32_t file_crc, const Layout& lay) const {
    format::Header h;
    h.num_keys = static_cast<std::uint32_t>(slots_.size());
    h.num_objects = static_cast<std::uint32_t>(lay.num_placed);
    h.index_offset = format::kHeaderSize + lay.data_size;
    h.file_crc32 = file_crc;
    if (compressed()) h.compression = static_cast<std::uint8_t>(format::Compression::Zstd);
    return h.encode();
}

std::string StoreBuilder::image() const {
    const auto order = sorted_slots();
    Layout lay = layout(order.get());
    std::string data;
    data.reserve(lay.data_size);
    if (compressed()) {
        auto st = emit_compressed(lay, build_dictionary(), [&](std::string_view piece) -> Status {
            data += piece;
            return {};
        });
        if (!st) return {};  // nothing to show of a store that cannot be compressed
    } else {
        emit_data(lay, [&](std::string_view piece) {
            data += piece;
            return true;
        });  // a std::string piece is taken as a view
    }
    const std::string index = entries(order.get(), lay);
    const auto header = header_with(format::crc32(index, format::crc32(data)), lay);
    std::string out;
    out.reserve(header.size() + data.size() + index.size());
    out.append(reinterpret_cast<const char*>(header.data()), header.size());
    out += data;
    out += index;
    return out;
}

Result<BuildInfo> StoreBuilder::build(std::string_view path, const Progress& progress) const {
    const std::string tmp = temporary_path(path);
    // Objects in ID order go out while a helper thread sorts the keys; in key order they wait
    // for the sort, and the helper writes the index while they go out. Only this thread
    // reports progress (the caller's callback may need it).
    // A build that compresses as it writes knows where the records went only once they are
    // out: its index is made after them. Its dictionary is trained by a helper thread while
    // this one sorts the keys.
    const bool late_index = compressed();
    std::string dictionary;
    std::exception_ptr train_failed;
    std::thread trainer;
    if (late_index) {
        try {
            trainer = std::thread([&] {
                try {
                    dictionary = build_dictionary();
                } catch (...) {
                    train_failed = std::current_exception();
                }
            });
        } catch (...) {
            dictionary = build_dictionary();  // no thread to be had
        }
    }
    struct Join {
        std::thread& t;
        ~Join() {
            if (t.joinable()) t.join();
        }
    } join_trainer{trainer};
    std::unique_ptr<std::uint32_t[]> order;
    if (by_key_order_) order = sorted_slots();
    Layout lay = layout(order.get());
    std::string index;
    std::exception_ptr sort_failed;
    const auto make_index = [&] {
        if (!order) order = sorted_slots();
        index = entries(order.get(), lay);
    };
    std::thread sorter;
    if (!late_index) {
        try {
            sorter = std::thread([&] {
                try {
                    make_index();
                } catch (...) {
                    sort_failed = std::current_exception();
                }
            });
        } catch (...) {
            make_index();  // no thread to be had
        }
    }
    Join join{sorter};
    const auto index_ready = [&] {
        if (sorter.joinable()) sorter.join();
        if (sort_failed) std::rethrow_exception(sort_failed);
    };

    // From here on every way out that does not publish the file removes it: an error, a stop,
    // an exception from the sorter (FileWriter's destructor).
    auto file = FileWriter::create(tmp);
    if (!file) return std::unexpected(std::move(file.error()));
    const auto cancel = [] { return std::unexpected(StoreError::general(std::string(kCancelled))); };
    // The header's CRC covers the index, which may not be sorted yet: the header goes out with
    // the CRC left at zero and is written again, whole, once the CRC is known.
    const auto draft = header_with(0, lay);
    const std::string_view draft_bytes(reinterpret_cast<const char*>(draft.data()), draft.size());
    // Compressing, the data section's size is known once written: until then the total
    // assumes each object stored as given, with its tag byte and the largest dictionary.
    std::uint64_t total = draft.size() + lay.data_size + index_size() +
                          (late_index ? lay.num_placed + format::kRecordHeaderSize + format::kDictionarySize : 0);
    // A file of some size is written by a second thread while this one gathers and checksums
    // what comes next.
    if (total >= FileWriter::kWriteBehindFrom) file->write_behind();
    std::uint64_t done = draft_bytes.size(), reported = 0;
    const auto advanced = [&](std::size_t n) -> std::optional<Result<BuildInfo>> {
        done += n;
        if (progress && done - reported >= kProgressStep && done < total) {
            reported = done;
            if (!progress(done, total)) return cancel();
        }
        return std::nullopt;
    };
    // Everything after the header is checksummed as it is written.
    const auto write = [&](std::string_view piece) -> std::optional<Result<BuildInfo>> {
        // Large pieces go in steps, so that progress is heard of while they are written.
        while (!piece.empty()) {
            const std::string_view step = piece.substr(0, kProgressStep);
            if (auto st = file->write(step); !st) return std::unexpected(std::move(st.error()));
            piece.remove_prefix(step.size());
            if (auto stop = advanced(step.size())) return stop;
        }
        return std::nullopt;
    };
    if (auto st = file->write(draft_bytes); !st) return std::unexpected(std::move(st.error()));
    if (auto st = file->checksum_from_here(); !st) return std::unexpected(std::move(st.error()));
    std::optional<Result<BuildInfo>> data_failed;
    // Gathered pieces are handed over whole (FileWriter::take), views written as they are.
    struct DataSink {
        decltype(write)& write_view;
        decltype(advanced)& advance;
        FileWriter& file;
        std::optional<Result<BuildInfo>>& failed;
        bool operator()(std::string_view piece) { return !(failed = write_view(piece)); }
        bool operator()(std::string& piece) {
            const std::size_t n = piece.size();
            if (auto st = file.take(piece); !st) {
                failed = std::unexpected(std::move(st.error()));
                return false;
            }
            return !(failed = advance(n));
        }
    };
    if (late_index) {
        if (trainer.joinable()) trainer.join();
        if (train_failed) std::rethrow_exception(train_failed);
        auto st = emit_compressed(lay, dictionary, [&](std::string_view piece) -> Status {
            if ((data_failed = write(piece))) return std::unexpected(StoreError::general("stopped"));
            return {};
        });
        if (data_failed) return std::move(*data_failed);
        if (!st) return std::unexpected(std::move(st.error()));
        total = draft.size() + lay.data_size + index_size();
    } else if (!emit_data(lay, DataSink{write, advanced, *file, data_failed})) {
        return std::move(*data_failed);
    }
    // The data section goes to storage while the index is written; the fsync below then has
    // less left to wait for.
    file->start_writeback();
    if (late_index)
        make_index();
    else
        index_ready();
    if (auto failed = write(index)) return std::move(*failed);
    if (auto st = file->flush(); !st) return std::unexpected(std::move(st.error()));
    const auto header = header_with(file->checksum(), lay);
    if (auto st = file->write_at(0, std::string_view(reinterpret_cast<const char*>(header.data()), header.size())); !st)
        return std::unexpected(std::move(st.error()));
    if (auto st = file->sync(); !st) return std::unexpected(std::move(st.error()));
    if (progress && !progress(total, total)) return cancel();
    // Still open, so still locked: no other build can take the temporary over before the
    // rename has published it under the target's name.
    if (auto st = file->publish(path); !st) return std::unexpected(std::move(st.error()));

    BuildInfo info{.num_objects = lay.num_placed, .num_keys = num_keys(), .file_size = 0};
    struct stat st;
    // The rename has refused a path holding a NUL, so the C string is the whole path.
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
