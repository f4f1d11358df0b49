#include "core/writer/stream_builder.hpp"

#include <cerrno>
#include <format>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include "core/format/layout.hpp"
#include "core/writer/file_writer.hpp"

namespace tarnkv {

namespace fmt = format;

StreamBuilder::StreamBuilder(int fd, std::string tmp)
    : fd_(fd), tmp_(std::move(tmp)), data_end_(fmt::kHeaderSize) {
    buf_.reserve(kBuffer);
    // The header is written last, over these zeros, once its counts and CRC are known.
    buf_.assign(fmt::kHeaderSize, '\0');
    crc_from_ = fmt::kHeaderSize;  // the CRC covers what follows the header
}

Result<StreamBuilder> StreamBuilder::create(std::string tmp) {
    auto fd = create_new_file(tmp, "open tmp: ");
    if (!fd) return std::unexpected(std::move(fd.error()));
    return StreamBuilder(*fd, std::move(tmp));
}

StreamBuilder::StreamBuilder(StreamBuilder&& o) noexcept
    : fd_(std::exchange(o.fd_, -1)),
      tmp_(std::move(o.tmp_)),
      buf_(std::move(o.buf_)),
      data_end_(o.data_end_),
      crc_(o.crc_),
      crc_from_(o.crc_from_),
      flushed_(o.flushed_),
      kicked_(o.kicked_),
      index_(std::move(o.index_)),
      last_key_(std::move(o.last_key_)),
      has_key_(o.has_key_),
      num_keys_(o.num_keys_),
      num_objects_(o.num_objects_),
      encoder_(std::move(o.encoder_)),
      scratch_(std::move(o.scratch_)) {}

StreamBuilder::~StreamBuilder() { discard(); }

void StreamBuilder::discard() noexcept {
    if (fd_ < 0) return;
    ::unlink(tmp_.c_str());
    ::close(fd_);
    fd_ = -1;
}

Status StreamBuilder::flush() {
    // The CRC is taken over whole buffers: records come a hundred bytes at a time, and a call
    // per record costs more than its bytes.
    crc_ = fmt::crc32(std::string_view(buf_).substr(crc_from_), crc_);
    crc_from_ = 0;
    auto st = write_out(buf_);
    buf_.clear();
    return st;
}

Status StreamBuilder::write_out(std::string_view bytes) {
    if (auto st = write_fully(fd_, bytes, "write: ", "write: no progress"); !st) return st;
    flushed_ += bytes.size();
    // Writeback starts as the file grows, so that the fsync at the end has little left to wait
    // for: a merge task's next shard, or another task, runs meanwhile.
    if (flushed_ - kicked_ >= kWritebackStep) {
        ::sync_file_range(fd_, static_cast<off_t>(kicked_), static_cast<off_t>(flushed_ - kicked_),
                          SYNC_FILE_RANGE_WRITE);
        kicked_ = flushed_;
    }
    return {};
}

Status StreamBuilder::append(std::string_view bytes) {
    if (buf_.size() + bytes.size() > kBuffer) {
        if (auto st = flush(); !st) return st;
        if (bytes.size() >= kBuffer) {
            crc_ = fmt::crc32(bytes, crc_);
            return write_out(bytes);
        }
    }
    buf_.append(bytes);
    return {};
}

Status StreamBuilder::copyable() const {
    if (fd_ < 0) return std::unexpected(StoreError::general("the store was finished"));
    if (encoder_) return std::unexpected(StoreError::general("records copied verbatim into a compressed store"));
    return {};
}

Status StreamBuilder::compress(std::string_view dictionary, int level) {
    if (fd_ < 0) return std::unexpected(StoreError::general("the store was finished"));
    if (data_end_ != fmt::kHeaderSize || encoder_)
        return std::unexpected(StoreError::general("compression must be chosen before any object"));
    auto encoder = fmt::ObjectEncoder::create(dictionary, level);
    if (!encoder) return std::unexpected(std::move(encoder.error()));
    unsigned char head[fmt::kRecordHeaderSize];
    fmt::encode_record_head(head, dictionary);
    if (auto st = append({reinterpret_cast<const char*>(head), sizeof head}); !st) return st;
    if (auto st = append(dictionary); !st) return st;
    data_end_ += sizeof head + dictionary.size();
    encoder_.emplace(std::move(*encoder));
    return {};
}

Result<std::uint64_t> StreamBuilder::add_record(std::string_view record) {
    if (auto st = copyable(); !st) return std::unexpected(std::move(st.error()));
    if (num_objects_ >= fmt::kMaxCount) return std::unexpected(StoreError::general("too many objects"));
    const std::uint64_t at = data_end_;
    if (auto st = append(record); !st) return std::unexpected(std::move(st.error()));
    data_end_ += record.size();
    ++num_objects_;
    return at;
}

Result<std::uint64_t> StreamBuilder::add_records(std::string_view records, std::uint64_t count) {
    if (auto st = copyable(); !st) return std::unexpected(std::move(st.error()));
    if (count > fmt::kMaxCount - num_objects_) return std::unexpected(StoreError::general("too many objects"));
    const std::uint64_t at = data_end_;
    if (auto st = append(records); !st) return std::unexpected(std::move(st.error()));
    data_end_ += records.size();
    num_objects_ += count;
    return at;
}

Result<std::uint64_t> StreamBuilder::add_object(std::string_view bytes) {
    if (bytes.size() > fmt::kMaxObjectLen)
        return std::unexpected(StoreError::general(
            std::format("object of {} bytes exceeds the {}-byte limit", bytes.size(), fmt::kMaxObjectLen)));
    if (!encoder_) return add_stored(bytes);
    if (auto st = encoder_->encode(bytes, scratch_); !st) return std::unexpected(std::move(st.error()));
    return add_stored(scratch_);
}

Result<std::uint64_t> StreamBuilder::add_stored(std::string_view bytes) {
    if (fd_ < 0) return std::unexpected(StoreError::general("the store was finished"));
    if (num_objects_ >= fmt::kMaxCount) return std::unexpected(StoreError::general("too many objects"));
    unsigned char head[fmt::kRecordHeaderSize];
    fmt::encode_record_head(head, bytes);
    const std::uint64_t at = data_end_;
    if (auto st = append({reinterpret_cast<const char*>(head), sizeof head}); !st)
        return std::unexpected(std::move(st.error()));
    if (auto st = append(bytes); !st) return std::unexpected(std::move(st.error()));
    data_end_ += sizeof head + bytes.size();
    ++num_objects_;
    return at;
}

Status StreamBuilder::add_key(std::string_view key, std::uint64_t offset) {
    if (key.size() > fmt::kMaxKeyLen)
        return std::unexpected(StoreError::general(
            std::format("key of {} bytes exceeds the {}-byte limit", key.size(), fmt::kMaxKeyLen)));
    if (has_key_ && !fmt::key_less(last_key_, key))
        return std::unexpected(StoreError::general("keys given out of key order"));
    if (num_keys_ >= fmt::kMaxCount) return std::unexpected(StoreError::general("too many keys"));
    const std::size_t at = index_.size();
    index_.resize(at + fmt::entry_size(key.size()));
    fmt::encode_entry(reinterpret_cast<unsigned char*>(index_.data() + at), key, offset);
    last_key_.assign(key);
    has_key_ = true;
    ++num_keys_;
    return {};
}

Result<StreamInfo> StreamBuilder::finish(std::string_view path) {
    if (fd_ < 0) return std::unexpected(StoreError::general("the store was finished"));
    const auto fail = [this](StoreError err) -> Result<StreamInfo> {
        discard();
        return std::unexpected(std::move(err));
    };
    for (std::size_t at = 0; at < index_.size(); at += kBuffer)
        if (auto st = append(std::string_view(index_).substr(at, kBuffer)); !st) return fail(std::move(st.error()));
    if (auto st = flush(); !st) return fail(std::move(st.error()));
    fmt::Header h;
    h.num_keys = static_cast<std::uint32_t>(num_keys_);
    h.num_objects = static_cast<std::uint32_t>(num_objects_);
    h.index_offset = data_end_;
    h.file_crc32 = crc_;
    if (encoder_) h.compression = static_cast<std::uint8_t>(fmt::Compression::Zstd);
    const auto header = h.encode();
    const std::string_view header_bytes(reinterpret_cast<const char*>(header.data()), header.size());
    if (auto st = write_fully_at(fd_, 0, header_bytes, "write header: ", "write header: no progress"); !st)
        return fail(std::move(st.error()));
    if (::fsync(fd_) != 0) return fail(io_error("fsync: ", errno));
    if (auto st = rename_over(tmp_, path); !st) return fail(std::move(st.error()));
    ::close(std::exchange(fd_, -1));  // published: nothing to remove any more
    // The directory is synced after the rename: a failure there leaves the file published,
    // and whatever is at the temporary name by then is someone else's.
    if (auto st = sync_parent(path); !st) return std::unexpected(std::move(st.error()));
    const std::uint64_t size = data_end_ + index_.size();
    std::string().swap(index_);
    return StreamInfo{num_keys_, num_objects_, size, h.file_crc32};
}

}  // namespace tarnkv
