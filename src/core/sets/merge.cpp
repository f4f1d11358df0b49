#include "core/sets/merge.hpp"

#include <algorithm>
#include <format>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include <boost/container/small_vector.hpp>
#include <boost/unordered/unordered_flat_map.hpp>

#include "core/format/compression.hpp"
#include "core/format/layout.hpp"
#include "core/format/progress.hpp"
#include "core/reader/store_reader.hpp"
#include "core/writer/sample_reservoir.hpp"
#include "core/writer/store_builder.hpp"

#include <xxhash.h>

namespace tarnkv::sets {

namespace {

// Which offsets an input's index may name more than once: only the objects at those can be
// shared by several keys and need the merge's table of objects already copied, so the common
// case (every key its own object) costs a bit test instead of a table entry per key. Offsets
// are marked in cells of a few bytes, so two different offsets in one cell read as shared too;
// that costs a lookup, and the table tells them apart exactly. The cells grow with the file so
// that each bitmap stays under 32 MiB.
class SharedOffsets {
public:
    explicit SharedOffsets(const StoreReader& r) : size_(r.file_size()) {
        while ((size_ >> shift_) > (std::uint64_t{1} << 28)) ++shift_;
        const std::size_t words = static_cast<std::size_t>((size_ >> shift_) / 64 + 1);
        seen_.assign(words, 0);
        again_.assign(words, 0);
        const std::size_t n = r.entry_count();
        for (EntryCursor c = r.cursor(0); c.index() < n; c.next()) {
            const std::uint64_t offset = c.offset();
            if (offset >= size_) continue;  // no object there: its read fails, whatever this says
            const std::uint64_t cell = offset >> shift_;
            const std::uint64_t bit = std::uint64_t{1} << (cell % 64);
            std::uint64_t& seen = seen_[static_cast<std::size_t>(cell / 64)];
            if (seen & bit) again_[static_cast<std::size_t>(cell / 64)] |= bit;
            seen |= bit;
        }
    }
    bool may_be_shared(std::uint64_t offset) const noexcept {
        if (offset >= size_) return true;
        const std::uint64_t cell = offset >> shift_;
        return again_[static_cast<std::size_t>(cell / 64)] >> (cell % 64) & 1;
    }

private:
    std::uint64_t size_;
    unsigned shift_ = 3;  // a record's header alone is 8 bytes
    std::vector<std::uint64_t> seen_, again_;
};

// A min-heap of input numbers ordered by (current key, input number): among equal keys the
// earlier input comes out first, so a group of equal keys is in input order.
template <class KeyOf>
class MergeHeap {
public:
    explicit MergeHeap(KeyOf key_of) : key_of_(std::move(key_of)) {}
    bool empty() const noexcept { return heap_.empty(); }
    std::uint32_t top() const noexcept { return heap_.front(); }
    void push(std::uint32_t i) {
        heap_.push_back(i);
        std::push_heap(heap_.begin(), heap_.end(), after());
    }
    std::uint32_t pop() {
        std::pop_heap(heap_.begin(), heap_.end(), after());
        const std::uint32_t i = heap_.back();
        heap_.pop_back();
        return i;
    }

private:
    auto after() const {
        return [this](std::uint32_t a, std::uint32_t b) {
            const std::string_view ka = key_of_(a), kb = key_of_(b);
            if (ka != kb) return format::key_less(kb, ka);
            return a > b;
        };
    }
    KeyOf key_of_;
    std::vector<std::uint32_t> heap_;
};

// One section of a run that a shard merge reads, and the run's number.
struct RunSource {
    RunCursor cursor;
    std::size_t run;
};

// The dictionary of a shard merged from `sources`: trained on a uniform sample of all their
// records, so that every partition, and every stretch of each, has its say.
Result<std::string> sample_runs(const std::vector<RunSource>& sources, std::span<const std::string> runs) {
    detail::SampleReservoir sample;
    for (const RunSource& source : sources) {
        const std::string_view block = source.cursor.records();
        const format::Image image(reinterpret_cast<const unsigned char*>(block.data()), block.size());
        for (std::uint64_t at = 0; at < block.size();) {
            const auto rec = format::RecordView::at(image, at);
            if (!rec)
                return std::unexpected(StoreError::corrupt(
                    std::format("run file {}: a record runs past its block", runs[source.run])));
            sample.offer(rec->bytes());
            at += format::kRecordHeaderSize + rec->bytes().size();
        }
    }
    return detail::train_on(sample);
}

template <class T>
Result<T> with_path(const std::string& path, StoreError err) {
    if (err.kind() == ErrorKind::Version) return std::unexpected(std::move(err));
    std::string message = std::format("{}: {}", path, err.message());
    switch (err.kind()) {
        case ErrorKind::Corrupt: return std::unexpected(StoreError::corrupt(std::move(message)));
        case ErrorKind::IO: return std::unexpected(StoreError::io(std::move(message), err.os_errno()));
        default: return std::unexpected(StoreError::general(std::move(message)));
    }
}

// At most this many objects are named for sampling across all of a merge's outputs.
constexpr std::size_t kSampleRefs = std::size_t{4} << 20;

// The dictionaries of a merge's `targets` outputs, each trained on a uniform sample of the
// objects the merge routes to it, decoded. One walk of the inputs' indexes draws each output's
// sample as references, 16 bytes each and at most kSampleRefs in all, whatever the number of
// outputs; then the outputs are trained one at a time, so that only one output's sample is
// ever decoded and held.
Result<std::vector<std::string>> sample_stores(const std::vector<StoreReader>& readers, std::uint32_t targets,
                                               const std::function<bool()>& cancelled) {
    struct Ref {
        std::uint32_t input;
        std::uint64_t offset;
    };
    const std::size_t per_target = std::min(format::kSampleObjects, std::max<std::size_t>(1, kSampleRefs / targets));
    std::vector<std::vector<Ref>> refs(targets);
    std::vector<detail::ReservoirChoice> choices(targets);
    std::uint64_t walked = 0;
    for (std::uint32_t i = 0; i < readers.size(); ++i) {
        const StoreReader& r = readers[i];
        const std::size_t n = r.entry_count();
        for (EntryCursor c = r.cursor(0); c.index() < n; c.next()) {
            if (++walked % (1 << 16) == 0 && cancelled && cancelled())
                return std::unexpected(StoreError::general(std::string(kCancelled)));
            const std::uint32_t t = targets == 1 ? 0 : shard_of(c.key(), targets);
            const auto slot = choices[t].offer(refs[t].size(), per_target);
            if (!slot) continue;
            if (*slot == refs[t].size()) refs[t].push_back({i, c.offset()});
            else refs[t][*slot] = {i, c.offset()};
        }
    }
    std::vector<std::string> dictionaries(targets);
    std::string scratch;
    for (std::uint32_t t = 0; t < targets; ++t) {
        detail::SampleReservoir sample;  // holds the drawn objects within the byte budget
        for (const Ref& ref : refs[t]) {
            const StoreReader& r = readers[ref.input];
            auto stored = r.checked_object_at(ref.offset);
            if (!stored) return with_path<std::vector<std::string>>(r.path(), std::move(stored.error()));
            auto object = r.decode(*stored, scratch);
            if (!object) return with_path<std::vector<std::string>>(r.path(), std::move(object.error()));
            sample.offer(*object);
        }
        // The output's objects, estimated from the sample: the dictionary is sized for them.
        const double scale = refs[t].empty() ? 0.0 : static_cast<double>(choices[t].seen()) / static_cast<double>(refs[t].size());
        const auto object_bytes = static_cast<std::uint64_t>(static_cast<double>(sample.offered_bytes()) * scale);
        std::vector<Ref>().swap(refs[t]);
        dictionaries[t] = detail::train_on(sample, object_bytes);
    }
    return dictionaries;
}

}  // namespace

Result<RunMerge> merge_runs(std::span<const std::string> runs, std::uint32_t shards, std::uint32_t shard,
                            Policy policy, const std::string& tmp, const std::string& path,
                            std::optional<int> compression) {
    std::vector<RunFile> files;
    files.reserve(runs.size());  // cursors point at their file: no reallocation
    std::vector<RunSource> sources;
    std::uint64_t entries = 0, key_bytes = 0;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        auto file = RunFile::open(runs[i], shards);
        if (!file) return std::unexpected(std::move(file.error()));
        files.push_back(std::move(*file));
        for (const auto& section : files.back().sections_of(shard)) {
            auto cursor = RunCursor::open(files.back(), section);
            if (!cursor) return std::unexpected(std::move(cursor.error()));
            // What the table says only sizes buffers, so no more than the section can hold.
            const std::uint64_t entry_bytes = section.length - section.records_length;
            const std::uint64_t count = std::min(section.entries, entry_bytes / kEntryFixed);
            entries += count;
            key_bytes += entry_bytes - count * kEntryFixed;
            sources.push_back({std::move(*cursor), i});
        }
    }

    // First the keys: every section's sorted entries merged, the policy settling each key that
    // several records have. A cursor's key goes once it moves on: each key is copied first to
    // the end of one buffer of the keys kept, sized at once for every key of the sections (a
    // section's entries are their keys and a fixed part each, as its table entry says), and its
    // group is gathered against that copy.
    struct Chosen {
        std::uint64_t key_at;  // in `keys`
        std::uint64_t record;
        std::uint32_t source;
        std::uint32_t key_len;
    };
    std::vector<Chosen> chosen;
    chosen.reserve(entries);
    std::string keys;
    keys.reserve(key_bytes);
    bool dropped = false;  // whether some record lost a key, and may have lost them all
    MergeHeap heap([&](std::uint32_t i) { return sources[i].cursor.key(); });
    for (std::uint32_t i = 0; i < sources.size(); ++i)
        if (!sources[i].cursor.done()) heap.push(i);
    struct Seen {
        std::uint32_t source;
        std::uint64_t seq;
        std::uint64_t record;
    };
    boost::container::small_vector<Seen, 4> group;
    while (!heap.empty()) {
        const std::size_t key_at = keys.size();
        keys.append(sources[heap.top()].cursor.key());
        // Nothing more is appended until the next key: the view holds.
        const std::string_view key = std::string_view(keys).substr(key_at);
        group.clear();
        while (!heap.empty() && sources[heap.top()].cursor.key() == key) {
            const std::uint32_t s = heap.pop();
            RunCursor& c = sources[s].cursor;
            do {
                group.push_back({s, c.seq(), c.record()});
                if (auto st = c.next(); !st) return std::unexpected(std::move(st.error()));
            } while (!c.done() && c.key() == key);
            if (!c.done()) heap.push(s);
        }
        if (group.size() > 1) {
            if (policy == Policy::Error)
                return RunMerge{std::nullopt, Duplicate{std::string(key), group[0].seq, group[1].seq,
                                                        sources[group[0].source].run, sources[group[1].source].run}};
            dropped = true;
        }
        const Seen& win = policy == Policy::Last ? group.back() : group.front();
        chosen.push_back({key_at, win.record, win.source, static_cast<std::uint32_t>(key.size())});
    }

    // Then the records, block by block in run order: whole blocks when every record keeps a key
    // (always, unless duplicates were settled) and they are stored as they are, else the
    // records some key still names, one by one.
    auto out = StreamBuilder::create(tmp);
    if (!out) return std::unexpected(std::move(out.error()));
    if (compression) {
        auto dictionary = sample_runs(sources, runs);
        if (!dictionary) return std::unexpected(std::move(dictionary.error()));
        if (auto st = out->compress(*dictionary, *compression); !st) return std::unexpected(std::move(st.error()));
    }
    const bool one_by_one = dropped || compression.has_value();
    std::vector<std::uint64_t> base(sources.size());
    std::vector<std::vector<std::uint64_t>> wanted, moved;
    if (!one_by_one) {
        for (std::uint32_t s = 0; s < sources.size(); ++s) {
            const RunCursor& c = sources[s].cursor;
            auto at = out->add_records(c.records(), c.record_count());
            if (!at) return std::unexpected(std::move(at.error()));
            base[s] = *at;
            c.release_records();
        }
    } else {
        wanted.resize(sources.size());
        moved.resize(sources.size());
        for (const Chosen& c : chosen) wanted[c.source].push_back(c.record);
        for (std::uint32_t s = 0; s < sources.size(); ++s) {
            auto& w = wanted[s];
            std::sort(w.begin(), w.end());
            w.erase(std::unique(w.begin(), w.end()), w.end());
            const std::string_view block = sources[s].cursor.records();
            moved[s].reserve(w.size());
            for (const std::uint64_t at : w) {
                const auto rec = format::RecordView::at(
                    format::Image(reinterpret_cast<const unsigned char*>(block.data()), block.size()), at);
                if (!rec) return std::unexpected(StoreError::corrupt(std::format("run file {}: a record runs past its "
                                                                                 "block", runs[sources[s].run])));
                auto added = compression
                                 ? out->add_object(rec->bytes())
                                 : out->add_record(block.substr(at, format::kRecordHeaderSize + rec->bytes().size()));
                if (!added) return std::unexpected(std::move(added.error()));
                moved[s].push_back(*added);
            }
            sources[s].cursor.release_records();
        }
    }
    for (const Chosen& c : chosen) {
        std::uint64_t at;
        if (!one_by_one) {
            at = base[c.source] + c.record;
        } else {
            const auto& w = wanted[c.source];
            at = moved[c.source][static_cast<std::size_t>(std::lower_bound(w.begin(), w.end(), c.record) - w.begin())];
        }
        if (auto st = out->add_key(std::string_view(keys).substr(c.key_at, c.key_len), at); !st)
            return std::unexpected(std::move(st.error()));
    }
    auto info = out->finish(path);
    if (!info) return std::unexpected(std::move(info.error()));
    return RunMerge{*info, std::nullopt};
}

Result<std::vector<StreamInfo>> merge_stores(std::span<const std::string> inputs,
                                             std::span<const MergeTarget> targets,
                                             std::span<const std::uint32_t> groups,
                                             const std::function<bool(std::uint64_t, std::uint64_t)>& progress,
                                             std::optional<int> compression) {
    if (targets.empty()) return std::unexpected(StoreError::general("a merge needs an output"));
    if (!groups.empty() && groups.size() != inputs.size())
        return std::unexpected(StoreError::general("one group per input"));
    // Whether an input shares its group with another: only then can it hold a copy of an
    // object that another input holds too.
    std::vector<bool> grouped(inputs.size(), false);
    for (std::size_t i = 0; i < groups.size(); ++i)
        for (std::size_t j = 0; j < groups.size(); ++j)
            if (i != j && groups[i] == groups[j]) grouped[i] = true;
    std::vector<StoreReader> readers;
    std::vector<SharedOffsets> shared;
    readers.reserve(inputs.size());
    shared.reserve(inputs.size());
    std::uint64_t total = 0;
    for (const std::string& path : inputs) {
        auto r = StoreReader::open(path, false);
        if (!r) return with_path<std::vector<StreamInfo>>(path, std::move(r.error()));
        if (auto st = r->enable_decoding(); !st) return with_path<std::vector<StreamInfo>>(path, std::move(st.error()));
        total += r->entry_count();
        shared.emplace_back(*r);
        readers.push_back(std::move(*r));
    }
    std::vector<std::unique_ptr<StreamBuilder>> outs;
    for (const MergeTarget& t : targets) {
        auto b = StreamBuilder::create(t.tmp);
        if (!b) return std::unexpected(std::move(b.error()));
        outs.push_back(std::make_unique<StreamBuilder>(std::move(*b)));
    }
    // One compressed input keeps its dictionary in every output, and its objects are copied as
    // they are stored, neither decoded nor compressed again (the level is the input's).
    const bool keep_forms = compression && readers.size() == 1 && readers[0].compressed();
    if (keep_forms) {
        auto dictionary = readers[0].checked_object_at(format::kDictionaryAt);
        if (!dictionary) return with_path<std::vector<StreamInfo>>(readers[0].path(), std::move(dictionary.error()));
        for (auto& out : outs)
            if (auto st = out->compress(*dictionary, *compression); !st) return std::unexpected(std::move(st.error()));
    } else if (compression) {
        // Training is not counted as progress, but a cancellation is heard during the walk.
        const auto cancelled = [&] { return progress && !progress(0, total); };
        auto dictionaries = sample_stores(readers, static_cast<std::uint32_t>(outs.size()), cancelled);
        if (!dictionaries) return std::unexpected(std::move(dictionaries.error()));
        for (std::size_t t = 0; t < outs.size(); ++t)
            if (auto st = outs[t]->compress((*dictionaries)[t], *compression); !st)
                return std::unexpected(std::move(st.error()));
    }

    // One cursor per input: each step reads the next entry in place.
    std::vector<EntryCursor> pos;
    pos.reserve(readers.size());
    for (const StoreReader& r : readers) pos.push_back(r.cursor(0));
    MergeHeap heap([&](std::uint32_t i) { return pos[i].key(); });
    for (std::uint32_t i = 0; i < readers.size(); ++i)
        if (readers[i].entry_count() > 0) heap.push(i);

    struct Where {
        std::uint32_t input;
        std::uint32_t target;
        std::uint64_t offset;
        bool operator==(const Where&) const = default;
    };
    struct WhereHash {
        std::size_t operator()(const Where& w) const noexcept {
            return std::hash<std::uint64_t>{}(w.offset * 0x9E3779B97F4A7C15ull ^ (std::uint64_t{w.input} << 32 | w.target));
        }
    };
    // Objects already copied, so that keys sharing one in an input share it in the output.
    boost::unordered_flat_map<Where, std::uint64_t, WhereHash> copied;
    // Copies of one object in several shards of a set: found by their bytes.
    struct Content {
        std::uint32_t group;
        std::uint32_t target;
        std::uint64_t hash;
        bool operator==(const Content&) const = default;
    };
    struct ContentHash {
        std::size_t operator()(const Content& c) const noexcept {
            return c.hash ^ (std::uint64_t{c.group} << 32 | c.target) * 0x9E3779B97F4A7C15ull;
        }
    };
    struct Copy {
        std::uint32_t input;
        std::uint64_t offset;   // in the input
        std::uint64_t written;  // in the output
    };
    boost::unordered_flat_map<Content, Copy, ContentHash> by_content;
    std::uint64_t done = 0, reported = 0;
    constexpr std::uint64_t kReportEvery = 1 << 16;
    std::string scratch, earlier_scratch;  // objects of compressed inputs, decoded

    while (!heap.empty()) {
        const std::string_view key = pos[heap.top()].key();
        std::uint32_t win_input = 0;
        std::uint64_t win_offset = 0;
        while (!heap.empty() && pos[heap.top()].key() == key) {
            const std::uint32_t i = heap.pop();
            const StoreReader& r = readers[i];
            // An input's own repeats of a key: its lookups answer with the last, so does this.
            do {
                win_input = i;
                win_offset = pos[i].offset();
                pos[i].next();
                ++done;
            } while (pos[i].index() < r.entry_count() && pos[i].key() == key);
            if (pos[i].index() < r.entry_count()) {
                if (format::key_less(pos[i].key(), key))
                    return std::unexpected(StoreError::corrupt(
                        std::format("{}: index not in key order (a store no merge can read in order)", r.path())));
                heap.push(i);
            }
        }
        const auto target = static_cast<std::uint32_t>(outs.size() == 1 ? 0 : shard_of(key, outs.size()));
        // Where the key's object is in the output: found in the table when the input may name
        // it more than once, otherwise copied now.
        std::uint64_t* written = nullptr;
        std::uint64_t copy_at = 0;
        bool fresh = true;
        if (shared[win_input].may_be_shared(win_offset)) {
            const auto [it, inserted] = copied.try_emplace(Where{win_input, target, win_offset}, 0);
            written = &it->second;
            fresh = inserted;
        } else {
            written = &copy_at;
        }
        if (fresh) {
            const StoreReader& from = readers[win_input];
            auto stored = from.checked_object_at(win_offset);
            if (!stored) return with_path<std::vector<StreamInfo>>(from.path(), std::move(stored.error()));
            // The stored form itself when it is kept, else the object as put.
            auto object = keep_forms ? stored : from.decode(*stored, scratch);
            if (!object) return with_path<std::vector<StreamInfo>>(from.path(), std::move(object.error()));
            bool found = false;
            Content content{};
            if (grouped[win_input]) {
                content = {groups[win_input], target, XXH3_64bits(object->data(), object->size())};
                if (const auto c = by_content.find(content); c != by_content.end()) {
                    const StoreReader& other = readers[c->second.input];
                    auto earlier = other.object_at(c->second.offset);
                    if (earlier) earlier = other.decode(*earlier, earlier_scratch);
                    if (earlier && *earlier == *object) {
                        *written = c->second.written;
                        found = true;
                    }
                }
            }
            if (!found) {
                auto added = keep_forms ? outs[target]->add_stored(*object) : outs[target]->add_object(*object);
                if (!added) return std::unexpected(std::move(added.error()));
                *written = *added;
                if (grouped[win_input]) by_content.try_emplace(content, Copy{win_input, win_offset, *added});
            }
        }
        if (auto st = outs[target]->add_key(key, *written); !st) return std::unexpected(std::move(st.error()));
        if (progress && done - reported >= kReportEvery) {
            reported = done;
            if (!progress(done, total)) return std::unexpected(StoreError::general(std::string(kCancelled)));
        }
    }
    if (progress && !progress(total, total)) return std::unexpected(StoreError::general(std::string(kCancelled)));
    std::vector<StreamInfo> infos;
    for (std::size_t t = 0; t < outs.size(); ++t) {
        auto info = outs[t]->finish(targets[t].path);
        if (!info) return std::unexpected(std::move(info.error()));
        infos.push_back(*info);
    }
    return infos;
}

}  // namespace tarnkv::sets
