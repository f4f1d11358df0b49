// The file side of a build: a locked, write-only descriptor behind an 8 KiB buffer (or, for a
// large file, a second thread that writes it behind the caller), and the rename that publishes
// the finished file. Every failure comes back as a TarnIOError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "core/format/error.hpp"

namespace tarnkv {

class FileWriter {
public:
    static constexpr std::size_t kBufferSize = 8192;

    // Creates `path` afresh for writing (O_EXCL: mode 0666 less the umask, owned by this
    // process, close-on-exec) and holds an exclusive lock on it for as long as this object
    // lives: two builds that share a temporary path (out/db, out/db.bin and out/db.trnk all
    // write out/db.trnk.tmp) never write into one file. What is already at `path` is never
    // written through:
    //  - a regular file another live build holds locked is left alone:
    //    "open tmp: another build is writing <path>" (EWOULDBLOCK);
    //  - an unlocked regular file (a dead build's leftover, or a file someone put there, with
    //    whatever owner, mode or links) is removed, and the new file created in its place;
    //    "open tmp: " + system error text when it cannot be opened to check its lock or
    //    cannot be removed;
    //  - anything else is refused without being opened or removed: a symbolic link
    //    ("open tmp: " + the text of ELOOP), a directory (EISDIR), a FIFO, socket or device
    //    ("open tmp: <path> is not a regular file", no system error number).
    // Other failures: "open tmp: " + system error text.
    static Result<FileWriter> create(const std::string& path);

    FileWriter(FileWriter&& other) noexcept;
    FileWriter& operator=(FileWriter&&) = delete;
    // An unpublished file is removed (see discard()).
    ~FileWriter();

    // From now on the file is written by a second thread, in order, while the caller makes
    // what comes next: write() only copies into one of a few blocks of a megabyte, which the
    // thread writes, starting each few megabytes' writeback as soon as they are written, so
    // that the copy into the system's cache and the final sync() mostly overlap the caller's
    // own work. A failed write is reported by a later write() or by flush(); nothing after it
    // is written. Without a thread to be had, writing stays on the caller's thread. Only
    // before anything is written.
    void write_behind() noexcept;
    // The size from which a build's file is worth a thread of its own.
    static constexpr std::uint64_t kWriteBehindFrom = std::uint64_t{4} << 20;

    // Small pieces gather in the buffer; a piece at least as large as the buffer goes straight
    // to the file after what is buffered. Interrupted and short writes are continued.
    Status write(std::string_view bytes);
    // Writes `piece` like write() and leaves it empty: writing behind, a piece of a block's
    // size is handed to the thread as it is, in exchange for an empty block, rather than
    // copied.
    Status take(std::string& piece);
    // Writes what is buffered and, writing behind, waits until the thread has written it all.
    Status flush();
    // Everything written from now on is checksummed (CRC-32), by the thread that writes it.
    Status checksum_from_here();
    // The checksum of what was written since checksum_from_here(), once flushed.
    std::uint32_t checksum() const noexcept;
    // Writes `bytes` at `offset` of the file, over what is there; for patching bytes already
    // written (and flushed). Failures as for write().
    Status write_at(std::uint64_t offset, std::string_view bytes);
    // Asks the system to start putting what was written so far on storage, without waiting;
    // a later sync() then has less left to wait for. Only a hint.
    void start_writeback() noexcept;
    Status sync();  // fsync: data and metadata reach storage

    // Renames the file over `target` while it is still locked, syncs the directory holding
    // `target` and closes the file. A failed rename ("rename: " + system error text) moves
    // nothing and leaves the file, complete, at its temporary path; a failure to sync the
    // directory comes after the rename, so the file is published all the same. A file the
    // rename replaces is let go on a thread of its own: freeing a large file's cached pages
    // and blocks takes a while, and nothing of this build waits for it.
    Status publish(std::string_view target);
    // Removes the file and closes it: unlinked first, while still locked, so that the name
    // cannot belong to another build by then. Nothing once published or discarded.
    void discard() noexcept;

private:
    // How often create() clears the path or takes a lock only to find that the path has moved
    // on to another file before it gives up: each such turn means another build created,
    // removed or published a file there in between.
    static constexpr int kOpenAttempts = 16;

    FileWriter(int fd, std::string path);
    void close() noexcept;
    struct Behind;
    // Ends the writing thread (after what it has), when there is one; its failure, if any.
    Status join_behind() noexcept;

    int fd_ = -1;
    bool owned_ = false;  // locked and still at path_: discard() may remove it
    std::string path_;
    std::size_t used_ = 0;
    bool checksumming_ = false;
    std::uint32_t crc_ = 0;           // written without a thread
    std::unique_ptr<Behind> behind_;  // writing behind the caller, when it does
    char buf_[kBufferSize];
};

// Where the final component of `path` lies, once trailing separators and "." components are
// disregarded (out/db/ and out/db/. both end in db): [start, end) in `path`. Nothing for an
// empty path, a root, a lone "." or a path ending in "..".
struct Component {
    std::size_t start;
    std::size_t end;
};
std::optional<Component> final_component(std::string_view path);

// Writes all of `bytes` to `fd` (at `offset` of the file, for the second), continuing
// interrupted and short writes. Failures: `prefix` + system error text, or the I/O error
// `zero_text` when a write completes with nothing written.
Status write_fully(int fd, std::string_view bytes, std::string_view prefix, std::string_view zero_text);
Status write_fully_at(int fd, std::uint64_t offset, std::string_view bytes, std::string_view prefix,
                      std::string_view zero_text);
// Reads exactly `out.size()` bytes of `fd` at `offset` into `out`, continuing interrupted and
// short reads. Failures: `prefix` + system error text, or the I/O error `short_text` when the
// file ends first.
Status read_fully_at(int fd, std::uint64_t offset, std::span<char> out, std::string_view prefix,
                     std::string_view short_text);

// Creates `path`, which must not exist yet, for writing: a new descriptor, mode 0666 less the
// umask, close-on-exec; a symbolic link at `path` is refused rather than followed. Failures:
// `prefix` + kNulInPathText, or `prefix` + system error text.
Result<int> create_new_file(const std::string& path, std::string_view prefix);

// Renames `tmp` over `path`: "rename: " + system error text on failure, and nothing moved.
Status rename_over(const std::string& tmp, std::string_view path);
// Syncs the directory holding `path`, so that a name just given there survives a power cut.
// Directories that cannot be synced (EINVAL) are accepted as they are. Failure: the system
// error text alone.
Status sync_parent(std::string_view path);

}  // namespace tarnkv
