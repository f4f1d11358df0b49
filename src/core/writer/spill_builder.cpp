#include "core/writer/spill_builder.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <format>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

#include "core/format/layout.hpp"
#include "core/format/compression.hpp"
#include "core/writer/file_writer.hpp"
#include "core/writer/sample_reservoir.hpp"

namespace tarnkv {

namespace fmt = format;

Result<std::unique_ptr<SpillingBuilder>> SpillingBuilder::create(const std::string& parent, std::uint64_t spill_bytes,
                                                                 sets::Policy policy, bool by_key) {
    if (auto st = check_path(parent, "spill directory: "); !st) return std::unexpected(std::move(st.error()));
    std::string dir = (parent.empty() ? std::string(".") : parent) + "/.tarnkv-spill-XXXXXX";
    if (!::mkdtemp(dir.data())) return std::unexpected(io_error("spill directory " + parent + ": ", errno));
    return std::unique_ptr<SpillingBuilder>(new SpillingBuilder(std::move(dir), spill_bytes, policy, by_key));
}

SpillingBuilder::~SpillingBuilder() {
    fail();
    ::rmdir(dir_.c_str());
}

void SpillingBuilder::fail() noexcept {
    run_.reset();  // an unfinished run removes its own file
    for (const std::string& r : runs_) ::unlink(r.c_str());
    runs_.clear();
}

StoreError SpillingBuilder::spend(StoreError err) {
    fail();
    failure_ = err;
    return err;
}

Status SpillingBuilder::usable() {
    if (failure_) return std::unexpected(*failure_);
    if (!run_) return start_run();
    return {};
}

Status SpillingBuilder::start_run() {
    auto run = sets::RunWriter::create(std::format("{}/run-{}.tmp", dir_, runs_.size()), 1, spill_bytes_, false);
    if (!run) return std::unexpected(std::move(run.error()));
    run_.emplace(std::move(*run));
    return {};
}

Status SpillingBuilder::seal() {
    if (!run_) return {};
    std::string path = std::format("{}/run-{}", dir_, runs_.size());
    auto info = run_->finish(path);
    run_.reset();
    if (!info) return std::unexpected(std::move(info.error()));
    runs_.push_back(std::move(path));
    return {};
}

Status SpillingBuilder::compress(int level) {
    if (objects_ != 0) return std::unexpected(StoreError::general("compression must be chosen before any object"));
    if (!by_key_) return std::unexpected(StoreError::general("a spilling build compresses only in key order"));
    if (auto probe = fmt::ObjectEncoder::create({}, level); !probe) return std::unexpected(std::move(probe.error()));
    level_ = level;
    return {};
}

Status SpillingBuilder::take_over(const StoreBuilder& from) {
    if (objects_ != 0 || names_ != 0) return std::unexpected(StoreError::general("the builder is not empty"));
    auto st = from.visit([&](std::string_view bytes) -> Status { return add_object(bytes).transform([](auto) {}); },
                         [&](std::string_view key, std::uint64_t id) { return add_key(key, id); });
    if (!st) return std::unexpected(spend(std::move(st.error())));
    return st;
}

Result<std::uint32_t> SpillingBuilder::add_object(std::string_view bytes) {
    if (bytes.size() > fmt::kMaxObjectLen)
        return std::unexpected(StoreError::general(
            std::format("object of {} bytes exceeds the {}-byte limit", bytes.size(), fmt::kMaxObjectLen)));
    if (objects_ >= fmt::kMaxCount) return std::unexpected(StoreError::general("too many objects"));
    if (auto st = usable(); !st) return std::unexpected(std::move(st.error()));
    if (auto st = run_->add_object(bytes); !st) return std::unexpected(spend(std::move(st.error())));  // a failed spill
    return static_cast<std::uint32_t>(objects_++);
}

Status SpillingBuilder::add_key(std::string_view key, std::uint64_t obj_id) {
    if (obj_id >= objects_)
        return std::unexpected(StoreError::general(std::format("obj_id {} out of range (have {} objects)", obj_id, objects_)));
    if (key.size() > fmt::kMaxKeyLen)
        return std::unexpected(StoreError::general(
            std::format("key of {} bytes exceeds the {}-byte limit", key.size(), fmt::kMaxKeyLen)));
    if (auto st = usable(); !st) return st;
    if (auto st = run_->add_name(names_, key, obj_id); !st) return std::unexpected(spend(std::move(st.error())));
    ++names_;
    return {};
}

namespace {

// One section of a run: its cursor and the ID of the first object of its block.
struct Source {
    sets::RunCursor cursor;
    std::uint64_t first_id;
};

// A k-way merge of the sources' entries: equal keys come out source by source, oldest first,
// and in a source by their number, so a key's entries come in the order they were given.
class Merge {
    // The heap's order: the source whose key (then whose number) is smaller comes out first.
    struct After {
        const std::vector<Source>* sources;
        bool operator()(std::uint32_t a, std::uint32_t b) const noexcept {
            const std::string_view ka = (*sources)[a].cursor.key(), kb = (*sources)[b].cursor.key();
            if (ka != kb) return fmt::key_less(kb, ka);
            return a > b;
        }
    };
    After after() const noexcept { return {&sources_}; }

public:
    explicit Merge(std::vector<Source>& sources) : sources_(sources) {
        for (std::uint32_t i = 0; i < sources_.size(); ++i)
            if (!sources_[i].cursor.done()) push(i);
    }
    bool done() const noexcept { return heap_.empty(); }
    // The next key and the IDs of its entries in the order given; the key stays valid as long
    // as the runs are mapped.
    Result<std::string_view> next(std::vector<std::uint64_t>& ids) {
        ids.clear();
        const std::string_view key = sources_[heap_.front()].cursor.key();
        while (!heap_.empty() && sources_[heap_.front()].cursor.key() == key) {
            std::pop_heap(heap_.begin(), heap_.end(), after());
            const std::uint32_t s = heap_.back();
            heap_.pop_back();
            sets::RunCursor& c = sources_[s].cursor;
            do {
                ids.push_back(c.record());
                if (auto st = c.next(); !st) return std::unexpected(std::move(st.error()));
            } while (!c.done() && c.key() == key);
            if (!c.done()) push(s);
        }
        // What is behind every cursor is not read again in this walk.
        if (++steps_ % kReleaseEvery == 0)
            for (Source& src : sources_) src.cursor.release_entries();
        return key;
    }

private:
    static constexpr std::uint64_t kReleaseEvery = 1 << 16;
    void push(std::uint32_t i) {
        heap_.push_back(i);
        std::push_heap(heap_.begin(), heap_.end(), after());
    }
    std::vector<Source>& sources_;
    std::vector<std::uint32_t> heap_;
    std::uint64_t steps_ = 0;
};

// Settles one key's entries (IDs in the order given) by the policy: the object it maps to, how
// many givings were repeats, and, under Policy::Error, the first two objects in conflict.
struct Settled {
    std::uint64_t id;
    std::uint64_t repeats;
    bool conflict;
    std::uint64_t wanted;
};
Settled settle(const std::vector<std::uint64_t>& ids, sets::Policy policy) noexcept {
    Settled s{ids[0], 0, false, 0};
    for (std::size_t i = 1; i < ids.size(); ++i) {
        if (ids[i] == s.id) continue;  // named again by the object it names: nothing changes
        if (policy == sets::Policy::Error) return {s.id, s.repeats, true, ids[i]};
        ++s.repeats;
        if (policy == sets::Policy::Last) s.id = ids[i];
    }
    return s;
}

class Bits {
public:
    explicit Bits(std::uint64_t n) : words_((n + 63) / 64, 0) {}
    void set(std::uint64_t i) noexcept { words_[i / 64] |= std::uint64_t{1} << (i % 64); }
    bool test(std::uint64_t i) const noexcept { return words_[i / 64] >> (i % 64) & 1; }

private:
    std::vector<std::uint64_t> words_;
};

}  // namespace

Result<SpillBuildInfo> SpillingBuilder::build(std::string_view path, const Progress& progress) {
    duplicate_.reset();
    if (failure_) return std::unexpected(*failure_);
    if (auto st = seal(); !st) return std::unexpected(spend(std::move(st.error())));
    std::vector<sets::RunFile> files;
    files.reserve(runs_.size());  // cursors point at their file: no reallocation
    std::vector<Source> sources;
    std::uint64_t next_id = 0;
    for (const std::string& r : runs_) {
        auto file = sets::RunFile::open(r, 1);
        if (!file) return std::unexpected(std::move(file.error()));
        files.push_back(std::move(*file));
        for (const auto& section : files.back().sections_of(0)) {
            auto cursor = sets::RunCursor::open(files.back(), section, sets::RecordRefs::ById);
            if (!cursor) return std::unexpected(std::move(cursor.error()));
            // Checking the CRC read the whole section: its pages need not stay.
            files.back().release(section.offset, section.offset + section.length);
            sources.push_back({*cursor, next_id});
            next_id += section.records;
        }
    }
    if (next_id != objects_) return std::unexpected(StoreError::corrupt("the spilled runs lost objects"));
    const std::vector<Source> start = sources;

    // First walk: which object each key ends on, and which objects some key names; in key
    // order, the objects as their first keys meet them.
    Bits kept(objects_), named(objects_);
    std::vector<std::uint32_t> placed;
    std::uint64_t keys = 0, index_bytes = 0, repeated = 0;
    std::vector<std::uint64_t> ids;
    for (Merge m(sources); !m.done();) {
        auto key = m.next(ids);
        if (!key) return std::unexpected(std::move(key.error()));
        for (const std::uint64_t id : ids) {
            if (id >= objects_) return std::unexpected(StoreError::corrupt("a spilled key names no object"));
            named.set(id);
        }
        const Settled s = settle(ids, policy_);
        if (s.conflict) {
            duplicate_ = SpilledDuplicate{std::string(*key), s.id, s.wanted};
            return std::unexpected(StoreError::general("duplicate key"));
        }
        if (by_key_ && !kept.test(s.id)) placed.push_back(static_cast<std::uint32_t>(s.id));
        kept.set(s.id);
        repeated += s.repeats;
        ++keys;
        index_bytes += fmt::entry_size(key->size());
    }
    if (keys > fmt::kMaxCount) return std::unexpected(StoreError::general("too many keys"));

    // Where each kept object's record goes: its place among the kept ones, in ID order; in key
    // order, where it is in its block until it is written.
    std::vector<std::uint64_t> offset(objects_);
    std::uint64_t data_bytes = 0, kept_objects = 0, dropped = 0, idle = 0;
    std::vector<bool> whole(sources.size());
    // A compressed store's dictionary learns from the objects stored, in ID order: what an
    // in-memory build of the same calls samples.
    std::optional<detail::SampleReservoir> sample;
    if (level_) sample.emplace();
    for (std::size_t s = 0; s < start.size(); ++s) {
        const std::string_view block = start[s].cursor.records();
        const fmt::Image image(reinterpret_cast<const unsigned char*>(block.data()), block.size());
        std::uint64_t at = 0;
        bool all = true;
        for (std::uint64_t id = start[s].first_id; id < start[s].first_id + start[s].cursor.record_count(); ++id) {
            const auto rec = fmt::RecordView::at(image, at);
            if (!rec) return std::unexpected(StoreError::corrupt("a spilled record runs past its block"));
            const std::uint64_t size = fmt::kRecordHeaderSize + rec->bytes().size();
            if (kept.test(id)) {
                if (sample) sample->offer(rec->bytes());
                offset[id] = by_key_ ? at : fmt::kHeaderSize + data_bytes;
                data_bytes += size;
                ++kept_objects;
            } else {
                all = false;
                // Under "first", an object whose every key was taken is one the in-memory
                // writer never stored; anything else unnamed is dropped.
                if (policy_ == sets::Policy::First && named.test(id))
                    ++idle;
                else
                    ++dropped;
            }
            at += size;
        }
        if (at != block.size()) return std::unexpected(StoreError::corrupt("a spilled block holds more than its records"));
        whole[s] = all;
        start[s].cursor.release_records();
    }

    std::string dictionary;
    std::optional<fmt::ObjectEncoder> encoder;
    if (sample) {
        dictionary = detail::train_on(*sample);
        sample.reset();
        auto made = fmt::ObjectEncoder::create(dictionary, *level_);
        if (!made) return std::unexpected(std::move(made.error()));
        encoder.emplace(std::move(*made));
        // Until the records are out, the sizes assume each object stored as given, with its
        // tag byte, after the dictionary.
        data_bytes += kept_objects + fmt::kRecordHeaderSize + dictionary.size();
    }

    // Second walk: the file.
    const std::string tmp = temporary_path(path);
    auto file = FileWriter::create(tmp);
    if (!file) return std::unexpected(std::move(file.error()));
    const auto cancel = [] { return std::unexpected(StoreError::general(std::string(kCancelled))); };
    fmt::Header h;
    h.num_keys = static_cast<std::uint32_t>(keys);
    h.num_objects = static_cast<std::uint32_t>(kept_objects);
    h.index_offset = fmt::kHeaderSize + data_bytes;
    h.file_crc32 = 0;
    if (level_) h.compression = static_cast<std::uint8_t>(fmt::Compression::Zstd);
    std::uint64_t total = fmt::kHeaderSize + data_bytes + index_bytes;
    std::uint64_t done = 0, reported = 0;
    std::uint32_t crc = 0;
    const auto write = [&](std::string_view piece, bool checksum) -> Status {
        while (!piece.empty()) {
            const std::string_view step = piece.substr(0, kProgressStep);
            if (auto st = file->write(step); !st) return st;
            if (checksum) crc = fmt::crc32(step, crc);
            piece.remove_prefix(step.size());
            done += step.size();
            if (progress && done - reported >= kProgressStep && done < total) {
                reported = done;
                if (!progress(done, total)) return cancel();
            }
        }
        return {};
    };
    const auto draft = h.encode();
    if (auto st = write({reinterpret_cast<const char*>(draft.data()), draft.size()}, false); !st)
        return std::unexpected(std::move(st.error()));
    if (by_key_) {
        // Each object's record is fetched from its block, wherever it is: every fetch may map
        // a page (and the pages around it) of the runs into this process. They are let go
        // every kReleaseEvery records, which bounds what piles up to a few tens of MiB.
        constexpr std::uint64_t kReleaseEvery = 1024;
        std::uint64_t since_release = 0;
        std::string rec, scratch;
        if (encoder) {
            rec.resize(fmt::kRecordHeaderSize);
            fmt::encode_record_head(reinterpret_cast<unsigned char*>(rec.data()), dictionary);
            rec += dictionary;
            if (auto st = write(rec, true); !st) return std::unexpected(std::move(st.error()));
        }
        for (const std::uint32_t id : placed) {
            const auto s = static_cast<std::size_t>(
                std::upper_bound(start.begin(), start.end(), id,
                                 [](std::uint64_t i, const Source& src) { return i < src.first_id; }) -
                start.begin() - 1);
            const std::string_view block = start[s].cursor.records();
            const fmt::Image image(reinterpret_cast<const unsigned char*>(block.data()), block.size());
            const std::uint64_t at = offset[id];
            const std::string_view object = fmt::RecordView::at(image, at)->bytes();
            const std::uint64_t size = fmt::kRecordHeaderSize + object.size();
            offset[id] = done;  // the header, then every record written so far
            std::string_view out = block.substr(at, size);
            if (encoder) {
                if (auto st = detail::compressed_record(*encoder, object, rec, scratch); !st)
                    return std::unexpected(std::move(st.error()));
                out = rec;
            }
            if (auto st = write(out, true); !st) return std::unexpected(std::move(st.error()));
            if (++since_release == kReleaseEvery) {
                since_release = 0;
                for (const Source& src : start) src.cursor.release_records();
            }
        }
        for (const Source& src : start) src.cursor.release_records();
    } else {
        for (std::size_t s = 0; s < start.size(); ++s) {
            const std::string_view block = start[s].cursor.records();
            if (whole[s]) {
                if (auto st = write(block, true); !st) return std::unexpected(std::move(st.error()));
            } else {
                const fmt::Image image(reinterpret_cast<const unsigned char*>(block.data()), block.size());
                std::uint64_t at = 0;
                for (std::uint64_t id = start[s].first_id; id < start[s].first_id + start[s].cursor.record_count(); ++id) {
                    const std::uint64_t size = fmt::kRecordHeaderSize + fmt::RecordView::at(image, at)->bytes().size();
                    if (kept.test(id))
                        if (auto st = write(block.substr(at, size), true); !st) return std::unexpected(std::move(st.error()));
                    at += size;
                }
            }
            start[s].cursor.release_records();
        }
    }
    file->start_writeback();
    h.index_offset = done;  // as compressed
    total = done + index_bytes;
    sources = start;
    std::string entry;
    for (Merge m(sources); !m.done();) {
        auto key = m.next(ids);
        if (!key) return std::unexpected(std::move(key.error()));
        entry.resize(fmt::entry_size(key->size()));
        fmt::encode_entry(reinterpret_cast<unsigned char*>(entry.data()), *key, offset[settle(ids, policy_).id]);
        if (auto st = write(entry, true); !st) return std::unexpected(std::move(st.error()));
    }
    if (auto st = file->flush(); !st) return std::unexpected(std::move(st.error()));
    h.file_crc32 = crc;
    const auto header = h.encode();
    if (auto st = file->write_at(0, {reinterpret_cast<const char*>(header.data()), header.size()}); !st)
        return std::unexpected(std::move(st.error()));
    if (auto st = file->sync(); !st) return std::unexpected(std::move(st.error()));
    if (progress && !progress(total, total)) return cancel();
    if (auto st = file->publish(path); !st) return std::unexpected(std::move(st.error()));

    SpillBuildInfo out{{kept_objects, keys, 0}, dropped, idle, repeated};
    struct stat st;
    if (::stat(std::string(path).c_str(), &st) == 0) out.info.file_size = static_cast<std::uint64_t>(st.st_size);
    return out;
}

}  // namespace tarnkv
