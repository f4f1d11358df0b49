// Runs: the files that carry a sharded build's records from the tasks that read the input to
// the tasks that write the shards.
//
// Each input partition writes one run file. Records are buffered in memory, each in the block
// of every shard one of its keys routes to; when the buffer is full (and at the end) it is
// "spilled": one section per shard is appended, holding that shard's records as they came and
// its entries sorted by (key, record number). A shard's task later merges the sorted entries of
// its sections of every run and copies their record blocks whole into the shard store
// (core/sets/merge.hpp): no record is ever moved one by one.
//
// The bytes of a run file are drawn, encoded and decoded in core/sets/run_layout.hpp.
//
// `seq` numbers the record within its partition (the caller's line or record number); among
// equal keys it says which came first. A record with several keys in one shard is stored once
// there and named by each. Integers are big-endian. A run file is published by rename once
// complete, and every section and the table carry a CRC, so a run that a dead task left
// half-written is never read, and one damaged on its way is caught.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/format/error.hpp"
#include "core/sets/routing.hpp"
#include "core/sets/run_layout.hpp"

namespace tarnkv::sets {

// Two records of one run under one key when duplicates are errors: the key and their numbers.
struct Duplicate {
    std::string key;
    std::uint64_t first_seq;
    std::uint64_t second_seq;
    // Which runs they came from, when a merge found them (indexes into its list of runs).
    std::size_t first_run = 0;
    std::size_t second_run = 0;
};

struct RunInfo {
    std::uint64_t file_size;
    std::uint64_t records;
    std::uint32_t sections;
    std::vector<std::uint64_t> entries_per_shard;
};

class RunWriter {
public:
    // Writes to `tmp` (created exclusively), which finish() renames into place. A buffer of
    // about `spill_bytes` is spilled as it fills. With `reject_duplicates`, two records under
    // one key fail the spill that sorts them together (see duplicate()).
    static Result<RunWriter> create(std::string tmp, std::uint32_t shards, std::uint64_t spill_bytes,
                                    bool reject_duplicates);

    RunWriter(RunWriter&&) noexcept;
    RunWriter& operator=(RunWriter&&) = delete;
    // Removes the temporary file unless it was published.
    ~RunWriter();

    // One record: its object and its keys (at least one, distinct), numbered `seq`; record
    // numbers must grow from call to call ("record numbers must grow" otherwise). Keys over
    // 65535 bytes and objects of 4 GiB or more fail with the general kind and change nothing.
    // A spill that fails (a write, or a duplicate) removes the file at once; every later call
    // then fails.
    Status add(std::uint64_t seq, std::span<const std::string_view> keys, std::string_view object);

    // How far add_batch() went: the position of the first record it did not add (the batch's
    // record count when it added them all), and whether it stopped there because the batch is
    // malformed from that record on.
    struct BatchStop {
        std::size_t index;
        bool malformed;
    };
    // add() for each record of a packed batch (core/format/batch.hpp) from the `skip`-th on,
    // numbered `first_seq` + its position; the record's key comes first, then its aliases.
    // Stops in front of a record whose key or object is too large for a store, leaving it to
    // the caller to report in its own words, and in front of a malformed record. An error of
    // add() ends the batch with that error.
    Result<BatchStop> add_batch(std::string_view batch, std::uint64_t first_seq, std::size_t skip);

    // A single store's spill uses one shard and names objects by number instead: add_object()
    // appends a record to shard 0's block with no entry, and add_name() an entry of shard 0
    // whose `record` is the caller's object ID, which may lie in an earlier spill. Such runs are
    // read with RunCursor::open(..., RecordRefs::ById). Keys over 65535 bytes and objects of
    // 4 GiB or more fail with the general kind and change nothing; a failed spill removes the
    // file as for add().
    Status add_object(std::string_view object);
    Status add_name(std::uint64_t seq, std::string_view key, std::uint64_t id);

    // The smallest record number add() accepts next.
    std::uint64_t next_seq() const noexcept { return next_seq_; }

    // Spills what is buffered, writes the table and trailer and renames the file to `path`.
    // Not synced: runs live only as long as the build, and their CRCs catch damage. On
    // failure the temporary file is removed.
    Result<RunInfo> finish(const std::string& path);

    // After a failure with the general kind "duplicate key": the two records.
    const std::optional<Duplicate>& duplicate() const noexcept { return duplicate_; }
    std::uint64_t buffered_bytes() const noexcept;

private:
    struct Pending {
        std::uint64_t key_pos;  // in keys_
        std::uint64_t record;   // offset of its record in its shard's block
        std::uint64_t seq;
        std::uint32_t key_len;
    };
    struct Shard {
        std::string records;  // the block: this shard's records as they came
        std::uint64_t count = 0;
        std::vector<Pending> entries;
    };

    RunWriter(int fd, std::string tmp, std::uint32_t shards, std::uint64_t spill_bytes, bool reject);
    // Fails once finished ("the run was finished") or failed ("the run failed and was removed").
    Status usable() const;
    // `st`, after removing the file when it is a failure: a run that failed to spill or to
    // finish holds part of a section and can never be completed.
    Status give_up(Status st);
    void discard() noexcept;
    // finish() up to and including the rename.
    Status write_out(const std::string& path);
    Status spill();
    Status write(std::string_view bytes);
    Status flush();
    void fold_crc() noexcept;
    std::string_view key_of(const Pending& p) const noexcept;

    int fd_ = -1;
    std::string tmp_;
    std::uint32_t shards_;
    std::uint64_t spill_bytes_;
    bool reject_duplicates_;
    std::string out_;           // write buffer
    std::uint64_t written_ = 0; // file offset of out_'s first byte
    std::uint32_t section_crc_ = 0;
    std::size_t crc_from_ = 0;  // where the bytes of out_ that section_crc_ lacks begin
    std::string keys_;          // buffered keys
    std::string entries_;       // a section's entries as they are written
    std::vector<Shard> pending_;
    std::uint64_t buffered_ = 0;
    std::vector<SectionEntry> sections_;
    std::vector<std::uint64_t> per_shard_;
    std::uint32_t spills_ = 0;
    std::uint64_t records_ = 0;
    std::uint64_t next_seq_ = 0;
    std::optional<Duplicate> duplicate_;
    bool failed_ = false;
};

// A run file open for reading, its trailer and table checked. Record blocks are read through a
// mapping of the file; the entries, through each cursor's own buffer (Reader).
class RunFile {
public:
    // Opens and maps `path` and checks its trailer and table. Failures name the file.
    static Result<RunFile> open(const std::string& path, std::uint32_t shards);
    RunFile(RunFile&&) noexcept;
    RunFile& operator=(RunFile&&) = delete;
    ~RunFile();

    const std::string& path() const noexcept { return path_; }
    std::span<const unsigned char> image() const noexcept { return {base_, size_}; }
    // The file open for reads with pread, not through the mapping, for as long as the Reader
    // lives. A shard merge reads the runs of every partition at once, which may be more files
    // than a process may hold open: a run is opened for each stretch of reading instead of for
    // as long as it is mapped. A file no longer the one open() checked is refused.
    class Reader {
    public:
        Reader(Reader&& o) noexcept : file_(o.file_), fd_(std::exchange(o.fd_, -1)) {}
        Reader& operator=(Reader&&) = delete;
        ~Reader();
        // Reads out.size() bytes at `offset`.
        Status read(std::uint64_t offset, std::span<char> out) const;

    private:
        friend class RunFile;
        Reader(const RunFile& file, int fd) noexcept : file_(&file), fd_(fd) {}
        const RunFile* file_;
        int fd_;
    };
    Result<Reader> reader() const;

    using SectionRef = SectionEntry;
    // The sections of `shard`, in spill order.
    std::vector<SectionRef> sections_of(std::uint32_t shard) const;
    // Gives the pages of [from, to) back to the kernel (they are read again if touched): a
    // merge walks its runs once, so what it has passed need not stay resident.
    void release(std::uint64_t from, std::uint64_t to) const noexcept;

private:
    RunFile(std::string path, const unsigned char* base, std::size_t size, std::uint64_t device,
            std::uint64_t inode) noexcept;
    std::string path_;
    const unsigned char* base_;
    std::size_t size_;
    std::uint64_t device_, inode_;  // which file open() checked
    std::vector<SectionEntry> table_;
};

// What an entry's `record` is: an offset in its section's block (a set build's runs), or an
// object ID the caller checks itself (RunWriter::add_name).
enum class RecordRefs : std::uint8_t { InBlock, ById };

// A walk over the sorted entries of one section of a run file.
//
// A merge keeps one cursor per section, hundreds of them in a build much larger than memory.
// Walking the entries through the mapping would keep a page-cache folio (megabytes) mapped, and
// counted in the process's RSS, per cursor; instead each cursor reads its entries with pread
// into one buffer of its own, so that a merge's memory is its cursors' buffers whatever the
// page cache does.
class RunCursor {
public:
    // A cursor's read buffer unless open() is told otherwise. Measured on merges of 4 to 250
    // sections, 64 KiB to 1 MiB read equally fast (larger was slower, if anything): the
    // smallest that holds an entry of the longest key it is.
    static constexpr std::size_t kBufferBytes = std::size_t{64} << 10;

    // Checks the section's CRC first, reading it through the buffer: a run damaged since it
    // was written fails here. The buffer holds `buffer_bytes`, or one entry of the longest key
    // if that is more.
    static Result<RunCursor> open(const RunFile& file, const RunFile::SectionRef& section,
                                  RecordRefs refs = RecordRefs::InBlock, std::size_t buffer_bytes = kBufferBytes);

    RunCursor(RunCursor&&) noexcept = default;
    RunCursor& operator=(RunCursor&&) noexcept = default;

    bool done() const noexcept { return pos_ >= end_; }
    // The current entry. The key is valid only until the cursor moves (next() or restart()).
    std::string_view key() const noexcept { return key_; }
    std::uint64_t seq() const noexcept { return seq_; }
    // The offset of the entry's record in the section's record block.
    std::uint64_t record() const noexcept { return record_; }
    // Moves to the next entry, checking that it lies inside the section and follows in order.
    Status next();
    // Goes back to the first entry, for another walk; the entries are checked again as read.
    Status restart();

    // The section's record block, in the file's mapping, and how many records it holds.
    std::string_view records() const noexcept;
    std::uint64_t record_count() const noexcept { return count_; }
    // Gives the block's pages back to the kernel once it is copied.
    void release_records() const noexcept;
    // The same for the block's bytes [from, to) alone (offsets in the block), for a walk that
    // lets go of what it has passed as it goes.
    void release_records(std::uint64_t from, std::uint64_t to) const noexcept;

private:
    RunCursor(const RunFile& file, const RunFile::SectionRef& section, RecordRefs refs, std::size_t capacity);
    Status check_crc(std::uint32_t want);
    // The bytes from pos_ on that the buffer holds.
    std::uint64_t buffered() const noexcept {
        return pos_ >= buf_at_ && pos_ < buf_at_ + buf_len_ ? buf_at_ + buf_len_ - pos_ : 0;
    }
    // Fills the buffer from pos_ on, as far as it holds or the section goes.
    Status refill();
    Status read_entry();
    unsigned char* held() const noexcept { return buf_.get() + capacity_; }

    const RunFile* file_;
    std::uint64_t begin_, records_end_, pos_, end_, count_;
    RecordRefs refs_;
    std::size_t capacity_;
    // The buffer: capacity_ bytes of the file from buf_at_ (buf_len_ of them read), then room
    // for one key, where the previous entry's key is kept while the buffer is refilled (the
    // next entry is checked against it).
    std::unique_ptr<unsigned char[]> buf_;
    std::uint64_t buf_at_ = 0, buf_len_ = 0;
    bool first_ = true;
    std::string_view key_;
    std::uint64_t seq_ = 0;
    std::uint64_t record_ = 0;
};

}  // namespace tarnkv::sets
