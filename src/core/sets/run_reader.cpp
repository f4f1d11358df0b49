#include <algorithm>
#include <cerrno>
#include <cstring>
#include <format>
#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/format/layout.hpp"
#include "core/sets/runs.hpp"
#include "core/writer/file_writer.hpp"

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

RunFile::RunFile(std::string path, const unsigned char* base, std::size_t size, std::uint64_t device,
                 std::uint64_t inode) noexcept
    : path_(std::move(path)), base_(base), size_(size), device_(device), inode_(inode) {}

RunFile::RunFile(RunFile&& o) noexcept
    : path_(std::move(o.path_)),
      base_(std::exchange(o.base_, nullptr)),
      size_(std::exchange(o.size_, 0)),
      device_(o.device_),
      inode_(o.inode_),
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
    RunFile file(path, static_cast<const unsigned char*>(map), size, st.st_dev, st.st_ino);
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

Result<RunFile::Reader> RunFile::reader() const {
    Fd fd{::open(path_.c_str(), O_RDONLY | O_CLOEXEC)};
    if (fd.fd < 0) return std::unexpected(io_error("open run " + path_ + ": ", errno));
    struct stat st;
    if (::fstat(fd.fd, &st) != 0) return std::unexpected(io_error("stat run " + path_ + ": ", errno));
    if (st.st_dev != device_ || st.st_ino != inode_) return std::unexpected(bad_run(path_, "replaced while it was read"));
    return Reader(*this, std::exchange(fd.fd, -1));
}

RunFile::Reader::~Reader() {
    if (fd_ >= 0) ::close(fd_);
}

Status RunFile::Reader::read(std::uint64_t offset, std::span<char> out) const {
    return read_fully_at(fd_, offset, out, "read run " + file_->path_ + ": ",
                         std::format("run file {}: ends before its table says", file_->path_));
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

RunCursor::RunCursor(const RunFile& file, const RunFile::SectionRef& section, RecordRefs refs, std::size_t capacity)
    : file_(&file),
      begin_(section.offset),
      records_end_(section.offset + section.records_length),
      pos_(records_end_),
      end_(section.offset + section.length),
      count_(section.records),
      refs_(refs),
      capacity_(capacity),
      buf_(std::make_unique_for_overwrite<unsigned char[]>(capacity + fmt::kMaxKeyLen)) {}

Result<RunCursor> RunCursor::open(const RunFile& file, const RunFile::SectionRef& section, RecordRefs refs,
                                  std::size_t buffer_bytes) {
    RunCursor c(file, section, refs, std::max(buffer_bytes, run_entry_size(fmt::kMaxKeyLen)));
    if (auto st = c.check_crc(section.crc); !st) return std::unexpected(std::move(st.error()));
    if (!c.done())
        if (auto st = c.read_entry(); !st) return std::unexpected(std::move(st.error()));
    return c;
}

Status RunCursor::check_crc(std::uint32_t want) {
    auto reader = file_->reader();
    if (!reader) return std::unexpected(std::move(reader.error()));
    std::uint32_t crc = 0;
    for (std::uint64_t at = begin_; at < end_;) {
        const std::uint64_t n = std::min<std::uint64_t>(capacity_, end_ - at);
        if (auto st = reader->read(at, {reinterpret_cast<char*>(buf_.get()), n}); !st) return st;
        crc = fmt::crc32(buf_.get(), n, crc);
        // What was read last stays: in a small section it holds every entry.
        buf_at_ = at;
        buf_len_ = n;
        at += n;
    }
    if (crc != want)
        return std::unexpected(bad_run(file_->path(), std::format("section at {} fails its CRC-32", begin_)));
    return {};
}

Status RunCursor::refill() {
    // The previous key moves aside before the buffer is overwritten.
    if (!key_.empty() && key_.data() != reinterpret_cast<const char*>(held())) {
        std::memcpy(held(), key_.data(), key_.size());
        key_ = {reinterpret_cast<const char*>(held()), key_.size()};
    }
    // What the buffer holds from pos_ on moves to its front; the rest is read after it.
    const std::uint64_t kept = buffered();
    if (kept) std::memmove(buf_.get(), buf_.get() + (pos_ - buf_at_), kept);
    const std::uint64_t want = std::min<std::uint64_t>(capacity_, end_ - pos_);
    buf_at_ = pos_;
    buf_len_ = 0;
    auto reader = file_->reader();
    if (!reader) return std::unexpected(std::move(reader.error()));
    if (auto st = reader->read(pos_ + kept, {reinterpret_cast<char*>(buf_.get()) + kept, want - kept}); !st) return st;
    buf_len_ = want;
    return {};
}

Status RunCursor::read_entry() {
    // The buffer never reaches past the section. Unless it holds the rest of the section, it is
    // refilled from pos_ when it lacks the entry's key length or the entry itself: once, as it
    // holds an entry of any length.
    std::uint64_t have = buffered();
    if (have < end_ - pos_ &&
        (have < 2 || have < run_entry_size(fmt::load_be16(buf_.get() + (pos_ - buf_at_))))) {
        if (auto st = refill(); !st) return st;
        have = buf_len_;
    }
    const auto entry = RunEntry::decode(buf_.get() + (pos_ - buf_at_), have);
    if (!entry) return std::unexpected(bad_run(file_->path(), "entry runs past its section"));
    if (!first_ && !(key_ < entry->key || (key_ == entry->key && seq_ < entry->seq)))
        return std::unexpected(bad_run(file_->path(), "entries out of order"));
    first_ = false;
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

Status RunCursor::restart() {
    pos_ = records_end_;
    first_ = true;
    key_ = {};
    if (done()) return {};
    return read_entry();
}

std::string_view RunCursor::records() const noexcept {
    return {reinterpret_cast<const char*>(file_->image().data() + begin_), records_end_ - begin_};
}

void RunCursor::release_records() const noexcept {
    // A fault maps the whole page-cache folio around it, which may reach past the block into
    // the entries or a neighbouring section; nothing else is read through the mapping, so all
    // of it can go.
    file_->release(0, file_->image().size());
}

void RunCursor::release_records(std::uint64_t from, std::uint64_t to) const noexcept {
    to = std::min(to, records_end_ - begin_);
    if (from < to) file_->release(begin_ + from, begin_ + to);
}

}  // namespace tarnkv::sets
