// StreamBuilder writes a store file front to back without holding its objects: each record goes
// to the file as it comes, keys come already in key order, and only the index section (the keys
// and their record offsets) stays in memory until finish() appends it, writes the header and
// publishes the file. It serves merges, whose inputs are sorted already; StoreBuilder serves
// everything else.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/format/compression.hpp"
#include "core/format/error.hpp"

namespace tarnkv {

// What finish() published.
struct StreamInfo {
    std::uint64_t num_keys;
    std::uint64_t num_objects;
    std::uint64_t file_size;
    std::uint32_t file_crc32;
};

class StreamBuilder {
public:
    // Creates `tmp` exclusively (it must not exist; a symbolic link there is refused), mode
    // 0666 less the umask, and reserves the header's 40 bytes. The caller picks a name no
    // other writer uses (several attempts at one shard may run at once).
    static Result<StreamBuilder> create(std::string tmp);

    StreamBuilder(StreamBuilder&& other) noexcept;
    StreamBuilder& operator=(StreamBuilder&&) = delete;
    StreamBuilder(const StreamBuilder&) = delete;
    // An unpublished file is closed and removed: a failed or abandoned merge leaves nothing.
    ~StreamBuilder();

    // Makes the store a compressed one (core/format/compression.hpp): `dictionary` becomes the
    // record at offset 40 and every object given to add_object() is stored compressed with it
    // at `level`. Only before the first record. Records copied verbatim are refused from then
    // on: they hold objects as put, which a reader of a compressed store would take for stored
    // forms.
    Status compress(std::string_view dictionary, int level);
    bool compressed() const noexcept { return encoder_.has_value(); }

    // Appends an object record (length, CRC, bytes) copied verbatim from another file; its CRC
    // is trusted. Returns the record's offset in this file.
    Result<std::uint64_t> add_record(std::string_view record);
    // Appends `count` whole records back to back, copied verbatim (their CRCs trusted); returns
    // the offset of the first.
    Result<std::uint64_t> add_records(std::string_view records, std::uint64_t count);
    // Appends the record holding `bytes` (compressed first in a compressed store), making its
    // length and CRC.
    Result<std::uint64_t> add_object(std::string_view bytes);
    // Appends the record holding `stored` as it is: an object's stored form, which in a
    // compressed store the caller made (or copied from a store) with this store's dictionary.
    Result<std::uint64_t> add_stored(std::string_view stored);
    // Maps `key` to the record at `offset`. Keys must come in strictly increasing key order:
    // anything else is a general error (the caller's inputs were not sorted).
    Status add_key(std::string_view key, std::uint64_t offset);

    std::uint64_t num_keys() const noexcept { return num_keys_; }
    std::uint64_t num_objects() const noexcept { return num_objects_; }
    // Bytes of the file so far: header, records and (in memory) the index.
    std::uint64_t size() const noexcept { return data_end_ + index_.size(); }

    // Appends the index, writes the header, fsyncs, renames the file over `path` and syncs the
    // directory. The builder is spent afterwards, whatever the outcome.
    Result<StreamInfo> finish(std::string_view path);

private:
    static constexpr std::size_t kBuffer = std::size_t{1} << 20;
    static constexpr std::uint64_t kWritebackStep = std::uint64_t{16} << 20;

    StreamBuilder(int fd, std::string tmp);
    Status append(std::string_view bytes);
    Status copyable() const;
    Status flush();
    Status write_out(std::string_view bytes);
    void discard() noexcept;

    int fd_ = -1;
    std::string tmp_;
    std::string buf_;            // bytes not yet written, which follow the file's written part
    std::uint64_t data_end_;     // file offset after the last record appended
    std::uint32_t crc_ = 0;      // CRC-32 of the bytes from offset 40 up to buf_[crc_from_]
    std::size_t crc_from_ = 0;   // where the bytes of buf_ that crc_ lacks begin
    std::uint64_t flushed_ = 0;  // bytes handed to the file so far
    std::uint64_t kicked_ = 0;   // bytes whose writeback was started
    std::string index_;          // the index section, entry after entry
    std::string last_key_;
    bool has_key_ = false;
    std::uint64_t num_keys_ = 0;
    std::uint64_t num_objects_ = 0;
    std::optional<format::ObjectEncoder> encoder_;  // set when the objects are stored compressed
    std::string scratch_;                           // the stored form of the object being added
};

}  // namespace tarnkv
