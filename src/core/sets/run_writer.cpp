#include <algorithm>
#include <cerrno>
#include <format>
#include <utility>

#include <boost/unordered/unordered_flat_map.hpp>
#include <fcntl.h>
#include <unistd.h>
#include <xxhash.h>

#include "core/format/layout.hpp"
#include "core/sets/runs.hpp"
#include "core/writer/file_writer.hpp"

namespace tarnkv::sets {

namespace fmt = format;

namespace {

constexpr std::size_t kWriteBuffer = std::size_t{1} << 20;
// What one buffered key costs besides its bytes, for the spill threshold.
constexpr std::uint64_t kPendingCost = 48;

}  // namespace

std::uint32_t shard_of(std::string_view key, std::uint32_t shards) noexcept {
    return static_cast<std::uint32_t>(XXH3_64bits_withSeed(key.data(), key.size(), 0) % shards);
}

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
    if (auto st = check_path(tmp, "open run: "); !st) return std::unexpected(std::move(st.error()));
    int fd;
    do {
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(io_error("open run: ", errno));
    return RunWriter(fd, std::move(tmp), shards, spill_bytes, reject_duplicates);
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
      objects_(std::move(o.objects_)),
      keys_(std::move(o.keys_)),
      pending_(std::move(o.pending_)),
      pending_count_(o.pending_count_),
      sections_(std::move(o.sections_)),
      per_shard_(std::move(o.per_shard_)),
      spills_(o.spills_),
      records_(o.records_),
      duplicate_(std::move(o.duplicate_)) {}

RunWriter::~RunWriter() {
    if (fd_ < 0) return;
    ::unlink(tmp_.c_str());
    ::close(fd_);
}

std::uint64_t RunWriter::buffered_bytes() const noexcept {
    return objects_.size() + keys_.size() + pending_count_ * kPendingCost;
}

std::string_view RunWriter::key_of(const Pending& p) const noexcept {
    return std::string_view(keys_).substr(p.key_pos, p.key_len);
}

Status RunWriter::add(std::uint64_t seq, std::span<const std::string_view> keys, std::string_view object) {
    if (fd_ < 0) return std::unexpected(StoreError::general("the run was finished"));
    if (keys.empty()) return std::unexpected(StoreError::general("a record needs a key"));
    if (object.size() > fmt::kMaxObjectLen)
        return std::unexpected(StoreError::general(
            std::format("object of {} bytes exceeds the {}-byte limit", object.size(), fmt::kMaxObjectLen)));
    for (const auto& k : keys)
        if (k.size() > fmt::kMaxKeyLen)
            return std::unexpected(StoreError::general(
                std::format("key of {} bytes exceeds the {}-byte limit", k.size(), fmt::kMaxKeyLen)));

    const std::uint64_t obj_pos = objects_.size();
    unsigned char head[fmt::kRecordHeaderSize];
    fmt::encode_record_head(head, object);
    objects_.append(reinterpret_cast<const char*>(head), sizeof head);
    objects_.append(object);

    // Keys of one record are few: pairwise work is cheaper than any table.
    constexpr std::size_t kInline = 16;
    std::uint32_t shard_buf[kInline];
    std::vector<std::uint32_t> shard_heap;
    std::uint32_t* shard = shard_buf;
    if (keys.size() > kInline) {
        shard_heap.resize(keys.size());
        shard = shard_heap.data();
    }
    // A key named twice in one record counts once: its shard is marked kRepeat.
    constexpr std::uint32_t kRepeat = 0xFFFF'FFFF;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        shard[i] = shard_of(keys[i], shards_);
        for (std::size_t j = 0; j < i; ++j)
            if (shard[j] == shard[i] && keys[j] == keys[i]) shard[i] = kRepeat;
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (shard[i] == kRepeat) continue;
        std::uint32_t refs = 0;
        bool carrier = true;
        for (std::size_t j = 0; j < keys.size(); ++j) {
            if (shard[j] != shard[i]) continue;
            ++refs;
            if (j != i && fmt::key_less(keys[j], keys[i])) carrier = false;
        }
        pending_[shard[i]].push_back({keys_.size(), obj_pos, seq, static_cast<std::uint32_t>(keys[i].size()), refs,
                                      carrier});
        keys_.append(keys[i]);
        ++pending_count_;
    }
    ++records_;
    if (buffered_bytes() >= spill_bytes_) return spill();
    return {};
}

void RunWriter::fold_crc() noexcept {
    section_crc_ = fmt::crc32(std::string_view(out_).substr(crc_from_), section_crc_);
    crc_from_ = out_.size();
}

Status RunWriter::flush() {
    fold_crc();
    crc_from_ = 0;
    std::string_view rest(out_);
    while (!rest.empty()) {
        const ssize_t n = ::write(fd_, rest.data(), rest.size());
        if (n > 0) rest.remove_prefix(static_cast<std::size_t>(n));
        else if (n == 0) return std::unexpected(StoreError::io("write run: no progress"));
        else if (errno != EINTR) return std::unexpected(io_error("write run: ", errno));
    }
    written_ += out_.size();
    out_.clear();
    return {};
}

Status RunWriter::write(std::string_view bytes) {
    // The section's CRC is taken over the buffer as it is flushed, not piece by piece: entries
    // come in pieces of a few bytes, and each call costs more than the bytes.
    if (out_.size() + bytes.size() > kWriteBuffer)
        if (auto st = flush(); !st) return st;
    out_.append(bytes);
    if (out_.size() >= kWriteBuffer) return flush();
    return {};
}

Status RunWriter::spill() {
    if (pending_count_ == 0) return {};
    // Sorted by key, then record number: each entry carries its key's first sixteen bytes as
    // two numbers, which settle most comparisons without touching the key arena.
    struct Ranked {
        std::uint64_t head, next;
        std::uint32_t at;
    };
    std::vector<Ranked> order;
    boost::unordered_flat_map<std::uint64_t, std::uint64_t> carried;  // object -> its record's offset
    for (std::uint32_t shard = 0; shard < shards_; ++shard) {
        std::vector<Pending>& list = pending_[shard];
        if (list.empty()) continue;
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
        carried.clear();
        // Records are read in key order, not in the order they came: the loads of those a few
        // entries ahead are started early, so that the misses overlap.
        constexpr std::size_t kAhead = 8;
        for (std::size_t n = 0; n < order.size(); ++n) {
            if (n + kAhead < order.size()) {
                const Pending& ahead = list[order[n + kAhead].at];
                const char* rec = objects_.data() + ahead.obj_pos;
                __builtin_prefetch(rec);
                __builtin_prefetch(rec + 64);
            }
            const Ranked& r = order[n];
            const Pending& p = list[r.at];
            const std::string_view key = key_of(p);
            unsigned char fixed[kEntryFixed];
            const std::uint64_t here = written_ + out_.size();
            std::uint64_t object = here + 2 + key.size() + 20;  // carried: right after the entry
            if (!p.carrier) {
                const auto it = carried.find(p.obj_pos);
                if (it == carried.end()) return std::unexpected(StoreError::general("run: object before its carrier"));
                object = it->second;
            } else if (p.refs > 1) {
                carried.emplace(p.obj_pos, object);
            }
            fmt::store_be16(fixed, static_cast<std::uint16_t>(key.size()));
            if (auto st = write({reinterpret_cast<const char*>(fixed), 2}); !st) return st;
            if (auto st = write(key); !st) return st;
            fmt::store_be64(fixed, p.seq);
            fmt::store_be32(fixed + 8, p.refs);
            fmt::store_be64(fixed + 12, object);
            if (auto st = write({reinterpret_cast<const char*>(fixed), 20}); !st) return st;
            if (p.carrier) {
                const auto len = fmt::load_be32(reinterpret_cast<const unsigned char*>(objects_.data() + p.obj_pos));
                if (auto st = write(std::string_view(objects_).substr(p.obj_pos, fmt::kRecordHeaderSize + len)); !st)
                    return st;
            }
        }
        fold_crc();
        const std::uint64_t length = written_ + out_.size() - start;
        sections_.push_back({spills_, shard, start, length, list.size(), section_crc_});
        per_shard_[shard] += list.size();
        list.clear();
    }
    ++spills_;
    pending_count_ = 0;
    objects_.clear();
    keys_.clear();
    return {};
}

Result<RunInfo> RunWriter::finish(const std::string& path) {
    if (fd_ < 0) return std::unexpected(StoreError::general("the run was finished"));
    if (auto st = spill(); !st) return std::unexpected(std::move(st.error()));
    const std::uint64_t table_at = written_ + out_.size();
    std::string table(sections_.size() * kTableEntrySize, '\0');
    auto* p = reinterpret_cast<unsigned char*>(table.data());
    for (const Section& s : sections_) {
        fmt::store_be32(p, s.spill);
        fmt::store_be32(p + 4, s.shard);
        fmt::store_be64(p + 8, s.offset);
        fmt::store_be64(p + 16, s.length);
        fmt::store_be64(p + 24, s.entries);
        fmt::store_be32(p + 32, s.crc);
        p += kTableEntrySize;
    }
    unsigned char trailer[kTrailerSize] = {};
    std::copy_n(kRunMagic, 4, trailer);
    fmt::store_be32(trailer + 4, kRunVersion);
    fmt::store_be32(trailer + 8, shards_);
    fmt::store_be32(trailer + 12, static_cast<std::uint32_t>(sections_.size()));
    fmt::store_be64(trailer + 16, table_at);
    fmt::store_be32(trailer + 24, fmt::crc32(table));
    if (auto st = write(table); !st) return std::unexpected(std::move(st.error()));
    if (auto st = write({reinterpret_cast<const char*>(trailer), kTrailerSize}); !st)
        return std::unexpected(std::move(st.error()));
    if (auto st = flush(); !st) return std::unexpected(std::move(st.error()));
    if (auto st = check_path(path, "rename run: "); !st) return std::unexpected(std::move(st.error()));
    if (::rename(tmp_.c_str(), path.c_str()) != 0) return std::unexpected(io_error("rename run: ", errno));
    ::close(std::exchange(fd_, -1));
    return RunInfo{written_, records_, static_cast<std::uint32_t>(sections_.size()), per_shard_};
}

}  // namespace tarnkv::sets
