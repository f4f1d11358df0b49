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
    const auto trailer = RunTrailer::decode(file.base_ + size - kTrailerSize);
    if (!trailer) {
        switch (trailer.error()) {
            case RunTrailer::Fault::NoMagic: return std::unexpected(bad_run(path, "no run trailer"));
            case RunTrailer::Fault::Version: return std::unexpected(bad_run(path, "unknown run version"));
        }
    }
    if (trailer->shards != shards)
        return std::unexpected(bad_run(path, std::format("written for {} shards, not {}", trailer->shards, shards)));
    const std::uint64_t count = trailer->sections;
    const std::uint64_t table_at = trailer->table_offset;
    if (table_at > size - kTrailerSize || (size - kTrailerSize - table_at) != count * kTableEntrySize)
        return std::unexpected(bad_run(path, "table out of place"));
    const unsigned char* p = file.base_ + table_at;
    if (fmt::crc32(p, count * kTableEntrySize) != trailer->table_crc)
        return std::unexpected(bad_run(path, "table CRC-32 mismatch"));
    file.table_.reserve(count);
    for (std::uint64_t i = 0; i < count; ++i, p += kTableEntrySize) {
        const SectionEntry s = SectionEntry::decode(p);
        if (s.shard >= shards || s.offset > table_at || s.length > table_at - s.offset || s.records_length > s.length)
            return std::unexpected(bad_run(path, "section out of place"));
        file.table_.push_back(s);
    }
    return file;
}

std::vector<RunFile::SectionRef> RunFile::sections_of(std::uint32_t shard) const {
    std::vector<SectionRef> out;
    for (const SectionEntry& s : table_)
        if (s.shard == shard) out.push_back(s);
    std::stable_sort(out.begin(), out.end(), [](const SectionRef& a, const SectionRef& b) { return a.spill < b.spill; });
    return out;
}

void RunFile::release(std::uint64_t from, std::uint64_t to) const noexcept {
    const std::uint64_t start = (from + kPage - 1) / kPage * kPage;
    const std::uint64_t end = to / kPage * kPage;
    if (end > start) ::madvise(const_cast<unsigned char*>(base_) + start, end - start, MADV_DONTNEED);
}

Result<RunCursor> RunCursor::open(const RunFile& file, const RunFile::SectionRef& section, RecordRefs refs) {
    const auto image = file.image();
    if (fmt::crc32(image.data() + section.offset, section.length) != section.crc)
        return std::unexpected(bad_run(file.path(), std::format("section at {} fails its CRC-32", section.offset)));
    RunCursor c(file, section.offset, section.offset + section.records_length, section.offset + section.length,
                section.records);
    c.refs_ = refs;
    if (!c.done())
        if (auto st = c.read_entry(); !st) return std::unexpected(std::move(st.error()));
    return c;
}

Status RunCursor::read_entry() {
    const auto image = file_->image();
    const auto entry = RunEntry::decode(image.data() + pos_, end_ - pos_);
    if (!entry) return std::unexpected(bad_run(file_->path(), "entry runs past its section"));
    if (pos_ != records_end_ && !(key_ < entry->key || (key_ == entry->key && seq_ < entry->seq)))
        return std::unexpected(bad_run(file_->path(), "entries out of order"));
    key_ = entry->key;
    seq_ = entry->seq;
    record_ = entry->record;
    // The record's head must lie in the block; the block itself was checked whole by its CRC.
    if (refs_ == RecordRefs::InBlock &&
        (record_ > records_end_ - begin_ || records_end_ - begin_ - record_ < fmt::kRecordHeaderSize))
        return std::unexpected(bad_run(file_->path(), "entry names a record outside its block"));
    return {};
}

Status RunCursor::next() {
    pos_ += run_entry_size(key_.size());
    if (done()) return {};
    return read_entry();
}

std::string_view RunCursor::records() const noexcept {
    return {reinterpret_cast<const char*>(file_->image().data() + begin_), records_end_ - begin_};
}

void RunCursor::release_records() const noexcept { file_->release(begin_, records_end_); }

void RunCursor::release_records(std::uint64_t from, std::uint64_t to) const noexcept {
    to = std::min(to, records_end_ - begin_);
    if (from < to) file_->release(begin_ + from, begin_ + to);
}

void RunCursor::release_entries() noexcept {
    file_->release(released_, pos_);
    released_ = pos_;
}

}  // namespace tarnkv::sets
