#include "core/writer/file_writer.hpp"

#include "core/format/layout.hpp"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarnkv {

namespace {

// The directory that holds the final component of `path`, for syncing after a rename.
std::string parent_dir(std::string_view path) {
    const auto comp = final_component(path);
    std::size_t end = comp ? comp->start : path.size();
    while (end > 1 && path[end - 1] == '/') --end;
    if (end == 0) return ".";
    return std::string(path.substr(0, end));
}

// What a build meets when another live build is writing the same temporary file. Carries
// EWOULDBLOCK, which is what the lock reported.
StoreError busy_error(const std::string& tmp) {
    return StoreError::io("open tmp: another build is writing " + tmp, EWOULDBLOCK, IoReason::Busy);
}

}  // namespace

Status write_fully(int fd, std::string_view bytes, std::string_view prefix, std::string_view zero_text) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
        } else if (n == 0) {
            return std::unexpected(StoreError::io(std::string(zero_text)));
        } else if (errno != EINTR) {
            return std::unexpected(io_error(prefix, errno));
        }
    }
    return {};
}

Status write_fully_at(int fd, std::uint64_t offset, std::string_view bytes, std::string_view prefix,
                      std::string_view zero_text) {
    while (!bytes.empty()) {
        const ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            offset += static_cast<std::uint64_t>(n);
        } else if (n == 0) {
            return std::unexpected(StoreError::io(std::string(zero_text)));
        } else if (errno != EINTR) {
            return std::unexpected(io_error(prefix, errno));
        }
    }
    return {};
}

Status read_fully_at(int fd, std::uint64_t offset, std::span<char> out, std::string_view prefix,
                     std::string_view short_text) {
    while (!out.empty()) {
        const ssize_t n = ::pread(fd, out.data(), out.size(), static_cast<off_t>(offset));
        if (n > 0) {
            out = out.subspan(static_cast<std::size_t>(n));
            offset += static_cast<std::uint64_t>(n);
        } else if (n == 0) {
            return std::unexpected(StoreError::io(std::string(short_text)));
        } else if (errno != EINTR) {
            return std::unexpected(io_error(prefix, errno));
        }
    }
    return {};
}

Result<int> create_new_file(const std::string& path, std::string_view prefix) {
    if (auto st = check_path(path, prefix); !st) return std::unexpected(std::move(st.error()));
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(io_error(prefix, errno));
    return fd;
}

namespace {

// What create() does next after finding something at the temporary path.
enum class Cleared { Retry, Busy };

// Deals with what is at `path` when creating it failed with EEXIST: a live build's locked
// temporary (Busy), or something to be removed or refused. Retry once the path may be free.
Result<Cleared> clear_leftover(const std::string& path) {
    struct stat named;
    if (::lstat(path.c_str(), &named) != 0) {
        if (errno == ENOENT) return Cleared::Retry;  // gone since: try creating again
        return std::unexpected(io_error("open tmp: ", errno));
    }
    // Nothing but a regular file can be a build's temporary. Whatever else is there was put
    // there on purpose: it is neither opened (a FIFO would block, a device would be
    // written) nor removed.
    if (S_ISLNK(named.st_mode)) return std::unexpected(io_error("open tmp: ", ELOOP));
    if (S_ISDIR(named.st_mode)) return std::unexpected(io_error("open tmp: ", EISDIR));
    if (!S_ISREG(named.st_mode))
        return std::unexpected(StoreError::io("open tmp: " + path + " is not a regular file"));

    // Opened only to learn whether a live build holds it: never written, whoever owns it.
    // O_NONBLOCK: should it have been swapped for a FIFO since the lstat, the open must not
    // wait for a reader (the identity check below then sees the swap). Read-only when it is
    // not writable by this process: a lock needs no particular access on Linux.
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && (errno == EACCES || errno == EPERM)) {
        do {
            fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
    }
    if (fd < 0) {
        if (errno == ENOENT || errno == ELOOP) return Cleared::Retry;  // replaced since the lstat
        return std::unexpected(io_error("open tmp: ", errno));
    }
    struct Close {
        int fd;
        ~Close() { ::close(fd); }
    } closer{fd};

    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0 && errno == EWOULDBLOCK) return Cleared::Busy;
    if (rc != 0) return std::unexpected(io_error("open tmp: ", errno));

    // Locked, and still the file at the path: nobody writes it. Removed under that lock, so
    // that no other build can have taken the name over in between; the caller then creates
    // its own file afresh instead of inheriting this one's owner, mode and links.
    struct stat held;
    if (::fstat(fd, &held) != 0) return std::unexpected(io_error("open tmp: ", errno));
    if (::lstat(path.c_str(), &named) != 0) {
        if (errno == ENOENT) return Cleared::Retry;
        return std::unexpected(io_error("open tmp: ", errno));
    }
    if (held.st_dev != named.st_dev || held.st_ino != named.st_ino || !S_ISREG(held.st_mode)) return Cleared::Retry;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return std::unexpected(io_error("open tmp: ", errno));
    return Cleared::Retry;
}

}  // namespace

Result<FileWriter> FileWriter::create(const std::string& path) {
    if (auto st = check_path(path, "open tmp: "); !st) return std::unexpected(std::move(st.error()));
    // A live build holds an exclusive lock on the temporary it writes, from right after
    // creating it until after renaming it. So: create the file exclusively, lock it without
    // waiting, and make sure the locked file is still the one at the path (between our create
    // and our lock, another build may have found it unlocked and removed it as a leftover).
    // Whatever was at the path before is cleared first (clear_leftover).
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        int fd;
        do {
            fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            if (errno != EEXIST) return std::unexpected(io_error("open tmp: ", errno));
            auto cleared = clear_leftover(path);
            if (!cleared) return std::unexpected(std::move(cleared.error()));
            if (*cleared == Cleared::Busy) return std::unexpected(busy_error(path));
            continue;
        }
        FileWriter file(fd, path);  // closes, and so unlocks, on every path out; removes nothing yet

        int rc;
        do {
            rc = ::flock(fd, LOCK_EX | LOCK_NB);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0 && errno == EWOULDBLOCK) return std::unexpected(busy_error(path));
        if (rc != 0) return std::unexpected(io_error("open tmp: ", errno));

        struct stat held, named;
        if (::fstat(fd, &held) != 0) return std::unexpected(io_error("open tmp: ", errno));
        // lstat: a symbolic link put at the path since our create is not the file we hold.
        if (::lstat(path.c_str(), &named) != 0) {
            if (errno == ENOENT) continue;  // removed by another build before we locked it
            return std::unexpected(io_error("open tmp: ", errno));
        }
        if (held.st_dev != named.st_dev || held.st_ino != named.st_ino) continue;
        file.owned_ = true;
        return file;
    }
    // Every turn found the path changed again: other builds keep working through it.
    return std::unexpected(busy_error(path));
}

// The writing thread's side of write_behind(): full blocks go from the caller to the thread
// through `queued`, and come back empty through `spare`.
struct FileWriter::Behind {
    static constexpr std::size_t kBlock = std::size_t{1} << 20;
    // Blocks in all: the one the caller fills, the one being written, and some waiting.
    static constexpr std::size_t kBlocks = 4;
    // Writeback of what the thread wrote is started every this many bytes.
    static constexpr std::uint64_t kWritebackStep = std::uint64_t{8} << 20;

    explicit Behind(int fd) : fd(fd) {}

    const int fd;
    std::mutex mutex;
    std::condition_variable changed;
    struct Block {
        std::string bytes;
        bool checksummed;
    };
    std::deque<Block> queued;         // full blocks, in file order
    std::vector<std::string> spare;   // blocks written, to be filled again
    std::size_t blocks = 1;           // made so far, `filling` included
    bool writing = false;             // the thread holds a block
    bool ending = false;              // the thread is to end once the queue is empty
    std::optional<StoreError> failed; // the first failure; nothing is written after it
    std::uint32_t crc = 0;            // of the checksummed blocks written so far
    std::string filling;              // the caller's block (touched by the caller only)
    bool checksumming = false;        // whether `filling` is to be checksummed (caller only)
    std::jthread thread;

    void run() {
        std::uint64_t written = 0, started = 0;
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return !queued.empty() || ending; });
            if (queued.empty()) return;
            std::string block = std::move(queued.front().bytes);
            const bool checksummed = queued.front().checksummed;
            queued.pop_front();
            writing = true;
            const bool skip = failed.has_value();
            std::uint32_t sum = crc;
            lock.unlock();
            std::optional<StoreError> error;
            if (!skip) {
                if (checksummed) sum = format::crc32(block, sum);
                if (auto st = write_fully(fd, block, "", "failed to write whole buffer"); !st) {
                    error = std::move(st.error());
                } else {
                    written += block.size();
                    if (written - started >= kWritebackStep) {
                        // Only a hint: the final sync is what makes the data durable.
                        ::sync_file_range(fd, static_cast<off_t>(started), static_cast<off_t>(written - started),
                                          SYNC_FILE_RANGE_WRITE);
                        started = written;
                    }
                }
            }
            block.clear();
            lock.lock();
            crc = sum;
            if (error && !failed) failed = std::move(error);
            spare.push_back(std::move(block));
            writing = false;
            changed.notify_all();
        }
    }

    // Queues the caller's block and gives it an empty one: a spare, a new one while there are
    // fewer than kBlocks, or else the next one the thread is done with.
    Status hand_over() {
        std::unique_lock lock(mutex);
        if (failed) return std::unexpected(*failed);
        queued.push_back({std::move(filling), checksumming});
        changed.notify_all();
        if (spare.empty() && blocks < kBlocks) {
            ++blocks;
            lock.unlock();
            filling = std::string();
            filling.reserve(kBlock);
            return {};
        }
        changed.wait(lock, [&] { return !spare.empty() || failed.has_value(); });
        if (failed) return std::unexpected(*failed);
        filling = std::move(spare.back());
        spare.pop_back();
        return {};
    }

    // Waits until every block handed over is written.
    Status drain() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return (queued.empty() && !writing) || failed.has_value(); });
        if (failed) return std::unexpected(*failed);
        return {};
    }

    void end() noexcept {
        {
            std::lock_guard lock(mutex);
            ending = true;
        }
        changed.notify_all();
        if (thread.joinable()) thread.join();
    }
};

FileWriter::FileWriter(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

FileWriter::FileWriter(FileWriter&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      owned_(std::exchange(other.owned_, false)),
      path_(std::move(other.path_)),
      used_(other.used_),
      behind_(std::move(other.behind_)) {
    std::memcpy(buf_, other.buf_, used_);
}

FileWriter::~FileWriter() { discard(); }

void FileWriter::write_behind() noexcept {
    if (behind_ || fd_ < 0) return;
    try {
        auto behind = std::make_unique<Behind>(fd_);
        behind->filling.reserve(Behind::kBlock);
        Behind* b = behind.get();
        behind->thread = std::jthread([b] { b->run(); });
        behind_ = std::move(behind);
    } catch (...) {
        // No memory or no thread: the caller's thread writes.
    }
}

Status FileWriter::join_behind() noexcept {
    if (!behind_) return {};
    behind_->end();
    std::optional<StoreError> failed = std::move(behind_->failed);
    behind_.reset();
    if (failed) return std::unexpected(std::move(*failed));
    return {};
}

void FileWriter::close() noexcept {
    // The thread goes first: it writes through the descriptor.
    (void)join_behind();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    owned_ = false;
}

void FileWriter::discard() noexcept {
    if (behind_) {
        // Whatever it has left is of no use now.
        {
            std::lock_guard lock(behind_->mutex);
            if (!behind_->failed) behind_->failed = StoreError::general("discarded");
        }
        (void)join_behind();
    }
    if (fd_ >= 0 && owned_) ::unlink(path_.c_str());
    close();
}

namespace {

// Lets go of the descriptor `fd` on a thread of its own (on this one when none can be had).
void close_later(int fd) noexcept {
    try {
        std::thread([fd] { ::close(fd); }).detach();
    } catch (...) {
        ::close(fd);
    }
}

}  // namespace

Status FileWriter::publish(std::string_view target) {
    if (auto st = join_behind(); !st) return st;
    // The file the rename replaces, held open (O_PATH: no access needed, nothing followed),
    // is freed only when that hold goes, after this build is done with.
    int replaced = -1;
    if (check_path(target, "rename: ")) {
        const std::string t(target);
        replaced = ::open(t.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    }
    struct Release {
        int fd;
        ~Release() {
            if (fd >= 0) close_later(fd);
        }
    } release{replaced};
    if (auto st = rename_over(path_, target); !st) {
        close();  // complete and synced: it stays at the temporary path
        return st;
    }
    close();  // the lock was held through the rename: now the file is the target's
    return sync_parent(target);
}

Status FileWriter::flush() {
    const std::size_t n = used_;
    used_ = 0;
    if (behind_) {
        if (!behind_->filling.empty())
            if (auto st = behind_->hand_over(); !st) return st;
        return behind_->drain();
    }
    return write_fully(fd_, std::string_view(buf_, n), "", "failed to write the buffered data");
}

Status FileWriter::take(std::string& piece) {
    Status st;
    if (behind_ && behind_->filling.empty() && piece.size() >= Behind::kBlock / 2) {
        // The piece becomes the block, and the empty block the caller's next piece.
        std::swap(behind_->filling, piece);
        st = behind_->hand_over();
    } else {
        st = write(piece);
    }
    piece.clear();
    return st;
}

Status FileWriter::checksum_from_here() {
    if (behind_) {
        // Blocks are checksummed whole: the one begun so far goes out as it is.
        if (!behind_->filling.empty())
            if (auto st = behind_->hand_over(); !st) return st;
        behind_->checksumming = true;
    }
    checksumming_ = true;
    return {};
}

std::uint32_t FileWriter::checksum() const noexcept {
    if (behind_) {
        std::lock_guard lock(behind_->mutex);
        return behind_->crc;
    }
    return crc_;
}

Status FileWriter::write(std::string_view bytes) {
    if (checksumming_ && !behind_) crc_ = format::crc32(bytes, crc_);
    if (behind_) {
        Behind& b = *behind_;
        while (!bytes.empty()) {
            const std::size_t take = std::min(bytes.size(), Behind::kBlock - b.filling.size());
            b.filling.append(bytes.data(), take);
            bytes.remove_prefix(take);
            if (b.filling.size() == Behind::kBlock)
                if (auto st = b.hand_over(); !st) return st;
        }
        return {};
    }
    if (used_ + bytes.size() > kBufferSize)
        if (auto st = flush(); !st) return st;
    if (bytes.size() >= kBufferSize) return write_fully(fd_, bytes, "", "failed to write whole buffer");
    std::memcpy(buf_ + used_, bytes.data(), bytes.size());
    used_ += bytes.size();
    return {};
}

Status FileWriter::write_at(std::uint64_t offset, std::string_view bytes) {
    if (behind_)
        if (auto st = flush(); !st) return st;  // what it patches is written first
    return write_fully_at(fd_, offset, bytes, "", "failed to write whole buffer");
}

void FileWriter::start_writeback() noexcept {
    // Writing behind, the thread starts writeback as it goes.
    if (!behind_) ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
}

Status FileWriter::sync() {
    if (behind_)
        if (auto st = flush(); !st) return st;
    if (::fsync(fd_) != 0) return std::unexpected(io_error("", errno));
    return {};
}

std::optional<Component> final_component(std::string_view path) {
    std::size_t end = path.size();
    for (;;) {
        while (end > 0 && path[end - 1] == '/') --end;
        if (end == 0) return std::nullopt;
        const std::size_t slash = path.rfind('/', end - 1);
        const std::size_t start = slash == std::string_view::npos ? 0 : slash + 1;
        const std::string_view comp = path.substr(start, end - start);
        if (comp == "..") return std::nullopt;
        if (comp != ".") return Component{start, end};
        end = start;
    }
}

Status rename_over(const std::string& tmp, std::string_view path) {
    if (auto st = check_path(path, "rename: "); !st) return st;
    if (::rename(tmp.c_str(), std::string(path).c_str()) != 0) return std::unexpected(io_error("rename: ", errno));
    return {};
}

Status sync_parent(std::string_view path) {
    const std::string dir = parent_dir(path);
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return std::unexpected(io_error("", errno));
    const int rc = ::fsync(dfd);
    const int err = errno;
    ::close(dfd);
    if (rc != 0 && err != EINVAL) return std::unexpected(io_error("", err));
    return {};
}

}  // namespace tarnkv
