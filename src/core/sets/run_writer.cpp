#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <format>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include "core/format/batch.hpp"
#include "core/format/layout.hpp"
#include "core/sets/runs.hpp"
#include "core/writer/file_writer.hpp"

namespace tarnkv::sets {

namespace fmt = format;

namespace {

constexpr std::size_t kWriteBuffer = std::size_t{1} << 20;
// What one buffered entry costs besides its key, for the spill threshold.
constexpr std::uint64_t kPendingCost = sizeof(std::uint64_t) * 4;

}  // namespace

RunWriter::RunWriter(int fd, std::string tmp, std::uint32_t shards, std::uint64_t spill_bytes, bool reject)
    : fd_(fd),
      tmp_(std::move(tmp)),
      shards_(shards),
      spill_bytes_(spill_bytes),
      reject_duplicates_(reject),
      pending_(shards),
      per_shard_(shards) {
    out_.reserve(kWriteBuffer);
}

Result<RunWriter> RunWriter::create(std::string tmp, std::uint32_t shards, std::uint64_t spill_bytes,
                                    bool reject_duplicates) {
    if (shards == 0) return std::unexpected(StoreError::general("a set needs at least one shard"));
    auto fd = create_new_file(tmp, "open run: ");
    if (!fd) return std::unexpected(std::move(fd.error()));
    return RunWriter(*fd, std::move(tmp), shards, spill_bytes, reject_duplicates);
}

RunWriter::RunWriter(RunWriter&& o) noexcept
    : fd_(std::exchange(o.fd_, -1)),
      tmp_(std::move(o.tmp_)),
      shards_(o.shards_),
      spill_bytes_(o.spill_bytes_),
      reject_duplicates_(o.reject_duplicates_),
      out_(std::move(o.out_)),
      written_(o.written_),
      section_crc_(o.section_crc_),
      crc_from_(o.crc_from_),
      keys_(std::move(o.keys_)),
      entries_(std::move(o.entries_)),
      pending_(std::move(o.pending_)),
      buffered_(o.buffered_),
      sections_(std::move(o.sections_)),
      per_shard_(std::move(o.per_shard_)),
      spills_(o.spills_),
      records_(o.records_),
      next_seq_(o.next_seq_),
      duplicate_(std::move(o.duplicate_)),
      failed_(o.failed_) {}

RunWriter::~RunWriter() { discard(); }

void RunWriter::discard() noexcept {
    if (fd_ < 0) return;
    ::unlink(tmp_.c_str());
    ::close(std::exchange(fd_, -1));
}

Status RunWriter::give_up(Status st) {
    if (!st) {
        discard();
        failed_ = true;
    }
    return st;
}

Status RunWriter::usable() const {
    if (failed_) return std::unexpected(StoreError::general("the run failed and was removed"));
    if (fd_ < 0) return std::unexpected(StoreError::general("the run was finished"));
    return {};
}

std::uint64_t RunWriter::buffered_bytes() const noexcept { return buffered_; }

std::string_view RunWriter::key_of(const Pending& p) const noexcept {
    return std::string_view(keys_).substr(p.key_pos, p.key_len);
}

Status RunWriter::add(std::uint64_t seq, std::span<const std::string_view> keys, std::string_view object) {
    if (auto st = usable(); !st) return st;
    if (keys.empty()) return std::unexpected(StoreError::general("a record needs a key"));
    if (object.size() > fmt::kMaxObjectLen)
        return std::unexpected(StoreError::general(
            std::format("object of {} bytes exceeds the {}-byte limit", object.size(), fmt::kMaxObjectLen)));
    for (const auto& k : keys)
        if (k.size() > fmt::kMaxKeyLen)
            return std::unexpected(StoreError::general(
                std::format("key of {} bytes exceeds the {}-byte limit", k.size(), fmt::kMaxKeyLen)));
    if (seq < next_seq_) return std::unexpected(StoreError::general("record numbers must grow"));
    next_seq_ = seq + 1;

    unsigned char head[fmt::kRecordHeaderSize];
    fmt::encode_record_head(head, object);
    const std::string_view head_bytes(reinterpret_cast<const char*>(head), sizeof head);
    // Keys of one record are few: pairwise work is cheaper than any table. A shard gets the
    // record once, at its first key there; a key named twice in one record counts once.
    constexpr std::size_t kInline = 16;
    std::uint32_t shard_buf[kInline];
    std::uint64_t at_buf[kInline];
    std::vector<std::uint32_t> shard_heap;
    std::vector<std::uint64_t> at_heap;
    std::uint32_t* shard = shard_buf;
    std::uint64_t* at = at_buf;
    if (keys.size() > kInline) {
        shard_heap.resize(keys.size());
        at_heap.resize(keys.size());
        shard = shard_heap.data();
        at = at_heap.data();
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        shard[i] = shard_of(keys[i], shards_);
        std::size_t first = i;
        bool repeat = false;
        for (std::size_t j = 0; j < i; ++j)
            if (shard[j] == shard[i]) {
                if (first == i) first = j;
                repeat = repeat || keys[j] == keys[i];
            }
        if (repeat) continue;
        Shard& sh = pending_[shard[i]];
        if (first == i) {  // the record's first key in this shard: the record goes in its block
            at[i] = sh.records.size();
            sh.records.append(head_bytes);
            sh.records.append(object);
            ++sh.count;
            buffered_ += head_bytes.size() + object.size();
        } else {
            at[i] = at[first];
        }
        sh.entries.push_back({keys_.size(), at[i], seq, static_cast<std::uint32_t>(keys[i].size())});
        keys_.append(keys[i]);
        buffered_ += keys[i].size() + kPendingCost;
    }
    ++records_;
    // A spill that failed has written part of a section, or found a duplicate the caller
    // must hear of: the run cannot be finished any more, and its file goes at once.
    if (buffered_ >= spill_bytes_) return give_up(spill());
    return {};
}

Status RunWriter::add_object(std::string_view object) {
    if (auto st = usable(); !st) return st;
    if (object.size() > fmt::kMaxObjectLen)
        return std::unexpected(StoreError::general(
            std::format("object of {} bytes exceeds the {}-byte limit", object.size(), fmt::kMaxObjectLen)));
    unsigned char head[fmt::kRecordHeaderSize];
    fmt::encode_record_head(head, object);
    Shard& sh = pending_[0];
    sh.records.append(reinterpret_cast<const char*>(head), sizeof head);
    sh.records.append(object);
    ++sh.count;
    ++records_;
    buffered_ += sizeof head + object.size();
    if (buffered_ >= spill_bytes_) return give_up(spill());
    return {};
}

Status RunWriter::add_name(std::uint64_t seq, std::string_view key, std::uint64_t id) {
    if (auto st = usable(); !st) return st;
    if (key.size() > fmt::kMaxKeyLen)
        return std::unexpected(StoreError::general(
            std::format("key of {} bytes exceeds the {}-byte limit", key.size(), fmt::kMaxKeyLen)));
    if (seq < next_seq_) return std::unexpected(StoreError::general("record numbers must grow"));
    next_seq_ = seq + 1;
    pending_[0].entries.push_back({keys_.size(), id, seq, static_cast<std::uint32_t>(key.size())});
    keys_.append(key);
    buffered_ += key.size() + kPendingCost;
    if (buffered_ >= spill_bytes_) return give_up(spill());
    return {};
}

Result<RunWriter::BatchStop> RunWriter::add_batch(std::string_view batch, std::uint64_t first_seq, std::size_t skip) {
    batch::Reader in{batch.data(), batch.data() + batch.size()};
    batch::Parts parts;
    std::array<std::string_view, batch::kMaxKeys> keys;
    std::size_t i = 0;
    for (; !in.at_end(); ++i) {
        std::size_t nkeys;
        if (!in.record(parts, nkeys)) return BatchStop{i, true};
        if (i < skip) continue;
        keys[0] = parts[0];
        for (std::size_t k = 1; k < nkeys; ++k) keys[k] = parts[k + 1];
        const std::span<const std::string_view> rec_keys(keys.data(), nkeys);
        const std::string_view object = parts[1];
        const std::uint64_t seq = first_seq + i;
        if (seq < next_seq_) return std::unexpected(StoreError::general("record numbers must grow"));
        bool fits = object.size() <= fmt::kMaxObjectLen;
        for (const auto& k : rec_keys) fits = fits && k.size() <= fmt::kMaxKeyLen;
        if (!fits) break;
        if (auto st = add(seq, rec_keys, object); !st) return std::unexpected(std::move(st.error()));
    }
    return BatchStop{i, false};
}

void RunWriter::fold_crc() noexcept {
    section_crc_ = fmt::crc32(std::string_view(out_).substr(crc_from_), section_crc_);
    crc_from_ = out_.size();
}

Status RunWriter::flush() {
    fold_crc();
    crc_from_ = 0;
    if (auto st = write_fully(fd_, out_, "write run: ", "write run: no progress"); !st) return st;
    written_ += out_.size();
    out_.clear();
    return {};
}

Status RunWriter::write(std::string_view bytes) {
    // The section's CRC is taken over the buffer as it is flushed, not piece by piece.
    if (out_.size() + bytes.size() > kWriteBuffer)
        if (auto st = flush(); !st) return st;
    if (bytes.size() >= kWriteBuffer) {  // a block: written as it is, not through the buffer
        section_crc_ = fmt::crc32(bytes, section_crc_);
        if (auto st = write_fully(fd_, bytes, "write run: ", "write run: no progress"); !st) return st;
        written_ += bytes.size();
        return {};
    }
    out_.append(bytes);
    return {};
}

Status RunWriter::spill() {
    // Entries are sorted by key, then record number: each carries its key's first sixteen bytes
    // as two numbers, which settle most comparisons without touching the key arena.
    struct Ranked {
        std::uint64_t head, next;
        std::uint32_t at;
    };
    std::vector<Ranked> order;
    for (std::uint32_t shard = 0; shard < shards_; ++shard) {
        Shard& sh = pending_[shard];
        std::vector<Pending>& list = sh.entries;
        if (list.empty() && sh.count == 0) continue;  // records without entries: add_object()
        order.resize(list.size());
        for (std::uint32_t i = 0; i < list.size(); ++i) {
            unsigned char prefix[16] = {};
            const std::string_view key = key_of(list[i]);
            std::copy_n(key.data(), std::min<std::size_t>(key.size(), 16), prefix);
            order[i] = {fmt::load_be64(prefix), fmt::load_be64(prefix + 8), i};
        }
        std::sort(order.begin(), order.end(), [&](const Ranked& a, const Ranked& b) {
            if (a.head != b.head) return a.head < b.head;
            if (a.next != b.next) return a.next < b.next;
            const std::string_view ka = key_of(list[a.at]), kb = key_of(list[b.at]);
            if (ka != kb) return fmt::key_less(ka, kb);
            return list[a.at].seq < list[b.at].seq;
        });
        if (reject_duplicates_) {
            for (std::size_t i = 1; i < order.size(); ++i) {
                const Pending& a = list[order[i - 1].at];
                const Pending& b = list[order[i].at];
                if (key_of(a) == key_of(b)) {
                    duplicate_ = Duplicate{std::string(key_of(a)), a.seq, b.seq};
                    return std::unexpected(StoreError::general("duplicate key"));
                }
            }
        }

        const std::uint64_t start = written_ + out_.size();
        section_crc_ = 0;
        crc_from_ = out_.size();
        if (auto st = write(sh.records); !st) return st;
        // The entries are laid out in one buffer, then written at once.
        std::size_t bytes = 0;
        for (const Pending& p : list) bytes += run_entry_size(p.key_len);
        entries_.resize(bytes);
        auto* e = reinterpret_cast<unsigned char*>(entries_.data());
        for (const Ranked& r : order) {
            const Pending& p = list[r.at];
            const RunEntry entry{key_of(p), p.seq, p.record};
            entry.encode(e);
            e += run_entry_size(p.key_len);
        }
        if (auto st = write(entries_); !st) return st;
        fold_crc();
        const std::uint64_t length = written_ + out_.size() - start;
        sections_.push_back({spills_, shard, start, length, sh.records.size(), sh.count, list.size(), section_crc_});
        per_shard_[shard] += list.size();
        list.clear();
        sh.records.clear();
        sh.count = 0;
    }
    ++spills_;
    buffered_ = 0;
    keys_.clear();
    return {};
}

Result<RunInfo> RunWriter::finish(const std::string& path) {
    if (auto st = usable(); !st) return std::unexpected(std::move(st.error()));
    if (auto st = give_up(write_out(path)); !st) return std::unexpected(std::move(st.error()));
    ::close(std::exchange(fd_, -1));
    return RunInfo{written_, records_, static_cast<std::uint32_t>(sections_.size()), per_shard_};
}

Status RunWriter::write_out(const std::string& path) {
    if (auto st = spill(); !st) return st;
    const std::uint64_t table_at = written_ + out_.size();
    std::string table(sections_.size() * kTableEntrySize, '\0');
    auto* p = reinterpret_cast<unsigned char*>(table.data());
    for (const SectionEntry& s : sections_) {
        s.encode(p);
        p += kTableEntrySize;
    }
    const auto trailer =
        RunTrailer{shards_, static_cast<std::uint32_t>(sections_.size()), table_at, fmt::crc32(table)}.encode();
    if (auto st = write(table); !st) return st;
    if (auto st = write({reinterpret_cast<const char*>(trailer.data()), trailer.size()}); !st) return st;
    if (auto st = flush(); !st) return st;
    if (auto st = check_path(path, "rename run: "); !st) return st;
    if (::rename(tmp_.c_str(), path.c_str()) != 0) return std::unexpected(io_error("rename run: ", errno));
    return {};
}

}  // namespace tarnkv::sets
