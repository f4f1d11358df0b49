#include "core/writer/spill_builder.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <format>
#include <span>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/format/layout.hpp"
#include "core/format/compression.hpp"
#include "core/writer/chunk_compressor.hpp"
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
    // The next key and the IDs of its entries in the order given; the key stays valid until
    // the next call (a cursor's key goes as soon as it moves on, so the merge keeps a copy).
    Result<std::string_view> next(std::vector<std::uint64_t>& ids) {
        ids.clear();
        key_.assign(sources_[heap_.front()].cursor.key());
        const std::string_view key = key_;
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
        return key;
    }

private:
    void push(std::uint32_t i) {
        heap_.push_back(i);
        std::push_heap(heap_.begin(), heap_.end(), after());
    }
    std::vector<Source>& sources_;
    std::vector<std::uint32_t> heap_;
    std::string key_;
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

// A walk down a block that gives back the pages it has passed every few MiB: mapped pages of
// the runs count in the process's RSS for as long as they stay mapped.
class BehindWalk {
public:
    explicit BehindWalk(const sets::RunCursor& cursor) noexcept : cursor_(cursor) {}
    void passed(std::uint64_t at) noexcept {
        if (at - released_ < kStep) return;
        cursor_.release_records(released_, at);
        released_ = at;
    }

private:
    static constexpr std::uint64_t kStep = std::uint64_t{8} << 20;
    const sets::RunCursor& cursor_;
    std::uint64_t released_ = 0;
};

// Kept objects in key order, gathered from blocks that hold them in ID order.
//
// Fetching each record from its block at random would map pages of the runs all over the
// process (a fault maps the whole page-cache folio around it, and mapped file pages count in
// its RSS until let go) and cost a fault or a system call per record. Instead, the objects are
// cut by their place in key order into parts of about `budget` bytes each; one walk down the
// blocks copies each kept record to its part (the first part stays in memory, the others go to
// a nameless scratch file at offsets known in advance), and the parts are then read back one at
// a time, put in order in memory and written out. Every read of the runs goes front to back.
//
// A part holds, for each of its records: the object's ID (u32, native order), then the record
// as the run holds it (length, CRC-32, bytes).
class KeyOrderParts {
public:
    KeyOrderParts(std::string path, std::uint64_t budget) : path_(std::move(path)), budget_(budget) {}
    KeyOrderParts(const KeyOrderParts&) = delete;
    KeyOrderParts& operator=(const KeyOrderParts&) = delete;
    ~KeyOrderParts() {
        if (fd_ >= 0) ::close(fd_);
    }

    // Cuts `placed` (kept IDs in key order) into parts. On entry slot[id] is each kept
    // object's record size; on return its place in key order.
    void plan(std::span<const std::uint32_t> placed, std::vector<std::uint64_t>& slot) {
        std::uint64_t bytes = 0, cost = 0;
        for (std::uint64_t rank = 0; rank < placed.size(); ++rank) {
            const std::uint64_t size = slot[placed[rank]];
            // What a record costs in memory when its part is put in order: its ID, the
            // record, and its place in the order.
            const std::uint64_t need = kIdSize + size + sizeof(std::uint64_t);
            if (first_.empty() || (cost != 0 && cost + need > budget_)) {
                if (!first_.empty()) bytes_.push_back(bytes);
                first_.push_back(rank);
                bytes = cost = 0;
            }
            bytes += kIdSize + size;
            cost += need;
            slot[placed[rank]] = rank;
        }
        if (!first_.empty()) bytes_.push_back(bytes);
        first_.push_back(placed.size());
        std::uint64_t at = 0, largest = 0;
        for (std::size_t p = 0; p < parts(); ++p) {
            at_.push_back(p == 0 ? 0 : at);  // the first part is never in the file
            if (p != 0) at += bytes_[p];
            largest = std::max(largest, bytes_[p]);
        }
        if (parts() != 0) memory_.reserve(largest);
        // Each part in the file gathers its records in a buffer of its own; together they
        // take about half the budget.
        if (parts() > 1) {
            pending_.resize(parts());
            flush_at_ = std::clamp<std::uint64_t>(budget_ / 2 / (parts() - 1), 4096, 1 << 20);
        }
    }

    std::size_t parts() const noexcept { return bytes_.size(); }

    // The next kept record, in ID order, whose place in key order is `rank`.
    Status add(std::uint32_t id, std::uint64_t rank, std::string_view record) {
        const auto p = static_cast<std::size_t>(std::upper_bound(first_.begin(), first_.end(), rank) - first_.begin() - 1);
        char head[kIdSize];
        std::memcpy(head, &id, kIdSize);
        if (p == 0) {
            memory_.append(head, kIdSize);
            memory_.append(record);
            return {};
        }
        if (fd_ < 0)
            if (auto st = open(); !st) return st;
        std::string& out = pending_[p];
        out.append(head, kIdSize);
        if (record.size() >= flush_at_) {  // a large record goes to the file as it is
            if (auto st = flush(p); !st) return st;
            return put(p, record);
        }
        out.append(record);
        if (out.size() >= flush_at_) return flush(p);
        return {};
    }

    // After the last add(): everything reaches the file.
    Status finish_adding() {
        for (std::size_t p = 1; p < pending_.size(); ++p)
            if (auto st = flush(p); !st) return st;
        std::vector<std::string>().swap(pending_);
        bool whole = parts() == 0 || memory_.size() == bytes_[0];
        for (std::size_t p = 1; p < parts() && whole; ++p) whole = fd_ >= 0 && written_[p] == bytes_[p];
        if (!whole) return std::unexpected(StoreError::corrupt("a part of the objects in key order came out short"));
        return {};
    }

    // Calls out(id, record) for each record of part `p`, in key order. slot[id] must still
    // hold each object's place in key order as plan() left it.
    template <class Emit>
    Status emit(std::size_t p, const std::vector<std::uint64_t>& slot, Emit&& out) {
        if (p != 0)
            if (auto st = read_back(p); !st) return st;
        const std::uint64_t first = first_[p], count = first_[p + 1] - first_[p];
        constexpr std::uint64_t kUnset = ~std::uint64_t{0};
        order_.assign(count, kUnset);
        const auto* base = reinterpret_cast<const unsigned char*>(memory_.data());
        const std::uint64_t size = memory_.size();
        std::uint64_t filled = 0;
        for (std::uint64_t pos = 0; pos < size;) {
            if (size - pos < kIdSize + fmt::kRecordHeaderSize) return bad();
            std::uint32_t id;
            std::memcpy(&id, base + pos, kIdSize);
            const std::uint64_t len = fmt::load_be32(base + pos + kIdSize);
            if (size - pos - kIdSize - fmt::kRecordHeaderSize < len || id >= slot.size()) return bad();
            const std::uint64_t rank = slot[id];
            if (rank < first || rank - first >= count || order_[rank - first] != kUnset) return bad();
            order_[rank - first] = pos;
            ++filled;
            pos += kIdSize + fmt::kRecordHeaderSize + len;
        }
        if (filled != count) return bad();
        constexpr std::size_t kAhead = 8;  // records fetched ahead: they lie all over the part
        for (std::size_t i = 0; i < order_.size(); ++i) {
            if (i + kAhead < order_.size()) __builtin_prefetch(base + order_[i + kAhead]);
            const std::uint64_t pos = order_[i];
            std::uint32_t id;
            std::memcpy(&id, base + pos, kIdSize);
            const std::uint64_t len = fmt::load_be32(base + pos + kIdSize);
            if (auto st = out(id, std::string_view(memory_).substr(pos + kIdSize, fmt::kRecordHeaderSize + len)); !st) return st;
        }
        memory_.clear();
        return {};
    }

private:
    static constexpr std::size_t kIdSize = sizeof(std::uint32_t);

    static Status bad() { return std::unexpected(StoreError::corrupt("a part of the objects in key order is damaged")); }

    Status open() {
        if (auto st = check_path(path_, "spill: "); !st) return st;
        do {
            fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        } while (fd_ < 0 && errno == EINTR);
        if (fd_ < 0) return std::unexpected(io_error("spill " + path_ + ": ", errno));
        // Nameless from the start: the scratch file goes with its descriptor, however the
        // build ends (a killed process included).
        ::unlink(path_.c_str());
        written_.assign(parts(), 0);
        return {};
    }

    Status put(std::size_t p, std::string_view bytes) {
        if (written_[p] + bytes.size() > bytes_[p])
            return std::unexpected(StoreError::corrupt("a part of the objects in key order outgrew its plan"));
        if (auto st = write_fully_at(fd_, at_[p] + written_[p], bytes, "spill: ", "spill: no progress"); !st) return st;
        written_[p] += bytes.size();
        return {};
    }

    Status flush(std::size_t p) {
        if (pending_[p].empty()) return {};
        if (auto st = put(p, pending_[p]); !st) return st;
        pending_[p].clear();
        return {};
    }

    Status read_back(std::size_t p) {
        memory_.resize(bytes_[p]);
        return read_fully_at(fd_, at_[p], memory_, "spill: ", "spill: a part of the objects in key order came back short");
    }

    std::string path_;
    std::uint64_t budget_;
    int fd_ = -1;
    std::vector<std::uint64_t> first_;    // each part's first place in key order; then the count
    std::vector<std::uint64_t> bytes_;    // each part's bytes
    std::vector<std::uint64_t> at_;       // where each part lies in the file
    std::vector<std::uint64_t> written_;  // what each part has in the file so far
    std::vector<std::string> pending_;    // what each part gathers before it is written
    std::uint64_t flush_at_ = 0;
    std::string memory_;                  // the part in memory
    std::vector<std::uint64_t> order_;    // offsets in memory_, in key order
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
            sources.push_back({std::move(*cursor), next_id});
            next_id += section.records;
        }
    }
    if (next_id != objects_) return std::unexpected(StoreError::corrupt("the spilled runs lost objects"));

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
    // order, its record's size until the parts are planned, then its place in key order until
    // it is written.
    std::vector<std::uint64_t> offset(objects_);
    std::uint64_t data_bytes = 0, kept_objects = 0, dropped = 0, idle = 0;
    std::vector<bool> whole(sources.size());
    // A compressed store's dictionary learns from the objects stored, in ID order: what an
    // in-memory build of the same calls samples.
    std::optional<detail::SampleReservoir> sample;
    if (level_) sample.emplace();
    for (std::size_t s = 0; s < sources.size(); ++s) {
        const std::string_view block = sources[s].cursor.records();
        const fmt::Image image(reinterpret_cast<const unsigned char*>(block.data()), block.size());
        std::uint64_t at = 0;
        bool all = true;
        BehindWalk release(sources[s].cursor);
        for (std::uint64_t id = sources[s].first_id; id < sources[s].first_id + sources[s].cursor.record_count(); ++id) {
            const auto rec = fmt::RecordView::at(image, at);
            if (!rec) return std::unexpected(StoreError::corrupt("a spilled record runs past its block"));
            const std::uint64_t size = fmt::kRecordHeaderSize + rec->bytes().size();
            if (kept.test(id)) {
                if (sample) sample->offer(rec->bytes());
                offset[id] = by_key_ ? size : fmt::kHeaderSize + data_bytes;
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
            release.passed(at);
        }
        if (at != block.size()) return std::unexpected(StoreError::corrupt("a spilled block holds more than its records"));
        whole[s] = all;
        sources[s].cursor.release_records();
    }

    std::string dictionary;
    if (sample) {
        dictionary = detail::train_on(*sample);
        sample.reset();
        // Until the records are out, the sizes assume each object stored as given, with its
        // tag byte, after the dictionary.
        data_bytes += kept_objects + fmt::kRecordHeaderSize + dictionary.size();
    }

    // In key order, each kept record goes to its part, the blocks walked once more front to
    // back; the parts hold about half the run buffer's bytes each.
    std::optional<KeyOrderParts> parts;
    if (by_key_) {
        parts.emplace(dir_ + "/key-order", std::max<std::uint64_t>(spill_bytes_ / 2, 1));
        parts->plan(placed, offset);
        std::vector<std::uint32_t>().swap(placed);
        for (const Source& src : sources) {
            const std::string_view block = src.cursor.records();
            const fmt::Image image(reinterpret_cast<const unsigned char*>(block.data()), block.size());
            BehindWalk release(src.cursor);
            std::uint64_t at = 0;
            for (std::uint64_t id = src.first_id; id < src.first_id + src.cursor.record_count(); ++id) {
                const std::uint64_t size = fmt::kRecordHeaderSize + fmt::RecordView::at(image, at)->bytes().size();
                if (kept.test(id))
                    if (auto st = parts->add(static_cast<std::uint32_t>(id), offset[id], block.substr(at, size)); !st)
                        return std::unexpected(std::move(st.error()));
                at += size;
                release.passed(at);
            }
            src.cursor.release_records();
        }
        if (auto st = parts->finish_adding(); !st) return std::unexpected(std::move(st.error()));
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
    if (total >= FileWriter::kWriteBehindFrom) file->write_behind();
    std::uint64_t done = 0, reported = 0;
    const auto write = [&](std::string_view piece) -> Status {
        while (!piece.empty()) {
            const std::string_view step = piece.substr(0, kProgressStep);
            if (auto st = file->write(step); !st) return st;
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
    if (auto st = write({reinterpret_cast<const char*>(draft.data()), draft.size()}); !st)
        return std::unexpected(std::move(st.error()));
    // Everything after the header is checksummed as it is written (behind, by the thread that
    // writes it).
    if (auto st = file->checksum_from_here(); !st) return std::unexpected(std::move(st.error()));
    // Records and index entries are small: they gather here first, so that the checksum and the
    // file take them a MiB at a time. The next byte lands at done + batch.size().
    constexpr std::size_t kBatch = std::size_t{1} << 20;
    std::string batch;
    batch.reserve(kBatch);
    const auto drain = [&]() -> Status {
        auto st = write(batch);
        batch.clear();
        return st;
    };
    const auto put_bytes = [&](std::string_view piece) -> Status {
        if (batch.size() + piece.size() > kBatch)
            if (auto st = drain(); !st) return st;
        if (piece.size() >= kBatch) return write(piece);
        batch.append(piece);
        return {};
    };
    if (by_key_) {
        // Compressed, the objects go to every core a chunk at a time and come back in order
        // (chunk_compressor.hpp), as in the in-memory build. A part's buffer is reused for the
        // next part, so the chunks take copies; together they hold about a quarter of the run
        // buffer's bytes, as given and as compressed.
        std::unique_ptr<detail::ChunkCompressor> compressor;
        if (level_) {
            const std::string head = detail::ChunkCompressor::dictionary_record(dictionary);
            if (auto st = write(head); !st) return std::unexpected(std::move(st.error()));
            auto made = detail::ChunkCompressor::create(
                dictionary, *level_, kept_objects, detail::ChunkCompressor::Input::Copies,
                static_cast<std::size_t>(std::max<std::uint64_t>(spill_bytes_ / 8 / detail::ChunkCompressor::kRing, 4096)),
                [&](std::string_view records, std::span<const detail::ChunkCompressor::Placed> placed) -> Status {
                    std::uint64_t at = done + batch.size();  // the header, then every record written so far
                    for (const auto& p : placed) {
                        offset[p.id] = at;
                        at += p.size;
                    }
                    return put_bytes(records);
                });
            if (!made) return std::unexpected(std::move(made.error()));
            compressor = std::move(*made);
        }
        const auto put = [&](std::uint32_t id, std::string_view record) -> Status {
            if (compressor) return compressor->add(id, record.substr(fmt::kRecordHeaderSize));
            offset[id] = done + batch.size();  // the header, then every record written so far
            return put_bytes(record);
        };
        for (std::size_t p = 0; p < parts->parts(); ++p)
            if (auto st = parts->emit(p, offset, put); !st) return std::unexpected(std::move(st.error()));
        if (compressor)
            if (auto st = compressor->finish(); !st) return std::unexpected(std::move(st.error()));
        parts.reset();  // the scratch file goes before the index is written
    } else {
        for (std::size_t s = 0; s < sources.size(); ++s) {
            const std::string_view block = sources[s].cursor.records();
            if (whole[s]) {
                if (auto st = put_bytes(block); !st) return std::unexpected(std::move(st.error()));
            } else {
                const fmt::Image image(reinterpret_cast<const unsigned char*>(block.data()), block.size());
                std::uint64_t at = 0;
                for (std::uint64_t id = sources[s].first_id; id < sources[s].first_id + sources[s].cursor.record_count(); ++id) {
                    const std::uint64_t size = fmt::kRecordHeaderSize + fmt::RecordView::at(image, at)->bytes().size();
                    if (kept.test(id))
                        if (auto st = put_bytes(block.substr(at, size)); !st) return std::unexpected(std::move(st.error()));
                    at += size;
                }
            }
            sources[s].cursor.release_records();
        }
    }
    if (auto st = drain(); !st) return std::unexpected(std::move(st.error()));
    file->start_writeback();
    h.index_offset = done;  // as compressed
    total = done + index_bytes;
    for (Source& src : sources)
        if (auto st = src.cursor.restart(); !st) return std::unexpected(std::move(st.error()));
    // The IDs come in no order: each key's offset is fetched a few keys ahead of its entry, so
    // that the fetches overlap instead of waiting one by one. The keys wait in one buffer.
    constexpr std::size_t kAhead = 16;
    struct Named {
        std::size_t key_at;  // in waiting_keys
        std::size_t key_len;
        std::uint64_t id;
    };
    std::array<Named, kAhead> ahead;
    std::size_t waiting = 0;
    std::string entry, waiting_keys;
    const auto put_entries = [&]() -> Status {
        for (std::size_t i = 0; i < waiting; ++i) {
            const std::string_view key = std::string_view(waiting_keys).substr(ahead[i].key_at, ahead[i].key_len);
            entry.resize(fmt::entry_size(key.size()));
            fmt::encode_entry(reinterpret_cast<unsigned char*>(entry.data()), key, offset[ahead[i].id]);
            if (auto st = put_bytes(entry); !st) return st;
        }
        waiting = 0;
        waiting_keys.clear();
        return {};
    };
    for (Merge m(sources); !m.done();) {
        auto key = m.next(ids);
        if (!key) return std::unexpected(std::move(key.error()));
        const std::uint64_t id = settle(ids, policy_).id;
        __builtin_prefetch(&offset[id]);
        ahead[waiting++] = {waiting_keys.size(), key->size(), id};
        waiting_keys.append(*key);
        if (waiting == kAhead)
            if (auto st = put_entries(); !st) return std::unexpected(std::move(st.error()));
    }
    if (auto st = put_entries(); !st) return std::unexpected(std::move(st.error()));
    if (auto st = drain(); !st) return std::unexpected(std::move(st.error()));
    if (auto st = file->flush(); !st) return std::unexpected(std::move(st.error()));
    h.file_crc32 = file->checksum();
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
