#include <algorithm>
#include <cerrno>
#include <format>
#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/format/layout.hpp"
#include "core/sets/runs.hpp"

namespace tarnkv::sets {

namespace fmt = format;

namespace {

// Closes a descriptor on every path out.
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

StoreError bad_run(const std::string& path, std::string_view what) {
    return StoreError::corrupt(std::format("run file {}: {}", path, what));
}

const std::size_t kPage = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));

}  // namespace

RunFile::RunFile(std::string path, const unsigned char* base, std::size_t size) noexcept
    : path_(std::move(path)), base_(base), size_(size) {}

RunFile::RunFile(RunFile&& o) noexcept
    : path_(std::move(o.path_)),
      base_(std::exchange(o.base_, nullptr)),
      size_(std::exchange(o.size_, 0)),
      table_(std::move(o.table_)) {}

RunFile::~RunFile() {
    if (base_) ::munmap(const_cast<unsigned char*>(base_), size_);
}

Result<RunFile> RunFile::open(const std::string& path, std::uint32_t shards) {
    if (auto st = check_path(path, "open run: "); !st) return std::unexpected(std::move(st.error()));
    Fd fd{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (fd.fd < 0) return std::unexpected(io_error("open run " + path + ": ", errno));
    struct stat st;
    if (::fstat(fd.fd, &st) != 0) return std::unexpected(io_error("stat run " + path + ": ", errno));
    const auto size = static_cast<std::size_t>(st.st_size);
    if (size < kTrailerSize) return std::unexpected(bad_run(path, "too small for its trailer"));
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.fd, 0);
    if (map == MAP_FAILED) return std::unexpected(io_error("map run " + path + ": ", errno));
    RunFile file(path, static_cast<const unsigned char*>(map), size);
    const unsigned char* t = file.base_ + size - kTrailerSize;
    if (!std::equal(kRunMagic, kRunMagic + 4, t)) return std::unexpected(bad_run(path, "no run trailer"));
    if (fmt::load_be32(t + 4) != kRunVersion) return std::unexpected(bad_run(path, "unknown run version"));
    if (fmt::load_be32(t + 8) != shards)
        return std::unexpected(bad_run(path, std::format("written for {} shards, not {}", fmt::load_be32(t + 8), shards)));
    const std::uint64_t count = fmt::load_be32(t + 12);
    const std::uint64_t table_at = fmt::load_be64(t + 16);
    if (table_at > size - kTrailerSize || (size - kTrailerSize - table_at) != count * kTableEntrySize)
        return std::unexpected(bad_run(path, "table out of place"));
    const unsigned char* p = file.base_ + table_at;
    if (fmt::crc32(p, count * kTableEntrySize) != fmt::load_be32(t + 24))
        return std::unexpected(bad_run(path, "table CRC-32 mismatch"));
    file.table_.reserve(count);
    for (std::uint64_t i = 0; i < count; ++i, p += kTableEntrySize) {
        SectionRef s{fmt::load_be32(p),      fmt::load_be64(p + 8),  fmt::load_be64(p + 16), fmt::load_be64(p + 24),
                     fmt::load_be64(p + 32), fmt::load_be64(p + 40), fmt::load_be32(p + 48)};
        const std::uint32_t shard = fmt::load_be32(p + 4);
        if (shard >= shards || s.offset > table_at || s.length > table_at - s.offset || s.records_length > s.length)
            return std::unexpected(bad_run(path, "section out of place"));
        file.table_.emplace_back(shard, s);
    }
    return file;
}

std::vector<RunFile::SectionRef> RunFile::sections_of(std::uint32_t shard) const {
    std::vector<SectionRef> out;
    for (const auto& [s, ref] : table_)
        if (s == shard) out.push_back(ref);
    std::stable_sort(out.begin(), out.end(), [](const SectionRef& a, const SectionRef& b) { return a.spill < b.spill; });
    return out;
}

void RunFile::release(std::uint64_t from, std::uint64_t to) const noexcept {
    const std::uint64_t start = (from + kPage - 1) / kPage * kPage;
    const std::uint64_t end = to / kPage * kPage;
    if (end > start) ::madvise(const_cast<unsigned char*>(base_) + start, end - start, MADV_DONTNEED);
}

Result<RunCursor> RunCursor::open(const RunFile& file, const RunFile::SectionRef& section) {
    const auto image = file.image();
    if (fmt::crc32(image.data() + section.offset, section.length) != section.crc)
        return std::unexpected(bad_run(file.path(), std::format("section at {} fails its CRC-32", section.offset)));
    RunCursor c(file, section.offset, section.offset + section.records_length, section.offset + section.length,
                section.records);
    if (!c.done())
        if (auto st = c.read_entry(); !st) return std::unexpected(std::move(st.error()));
    return c;
}

Status RunCursor::read_entry() {
    const auto image = file_->image();
    const unsigned char* p = image.data() + pos_;
    const std::uint64_t left = end_ - pos_;
    if (left < 2) return std::unexpected(bad_run(file_->path(), "entry runs past its section"));
    const std::size_t key_len = fmt::load_be16(p);
    if (left < kEntryFixed + key_len) return std::unexpected(bad_run(file_->path(), "entry runs past its section"));
    const std::string_view key(reinterpret_cast<const char*>(p + 2), key_len);
    const std::uint64_t seq = fmt::load_be64(p + 2 + key_len);
    if (pos_ != records_end_ && !(key_ < key || (key_ == key && seq_ < seq)))
        return std::unexpected(bad_run(file_->path(), "entries out of order"));
    key_ = key;
    seq_ = seq;
    record_ = fmt::load_be64(p + 10 + key_len);
    // The record's head must lie in the block; the block itself was checked whole by its CRC.
    if (record_ > records_end_ - begin_ || records_end_ - begin_ - record_ < fmt::kRecordHeaderSize)
        return std::unexpected(bad_run(file_->path(), "entry names a record outside its block"));
    return {};
}

Status RunCursor::next() {
    pos_ += kEntryFixed + key_.size();
    if (done()) return {};
    return read_entry();
}

std::string_view RunCursor::records() const noexcept {
    return {reinterpret_cast<const char*>(file_->image().data() + begin_), records_end_ - begin_};
}

void RunCursor::release_records() const noexcept { file_->release(begin_, records_end_); }

}  // namespace tarnkv::sets
