#include "core/writer/file_writer.hpp"

#include <cerrno>
#include <cstring>
#include <utility>

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
    return StoreError::io("open tmp: another build is writing " + tmp, EWOULDBLOCK);
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

FileWriter::FileWriter(FileWriter&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      owned_(std::exchange(other.owned_, false)),
      path_(std::move(other.path_)),
      used_(other.used_) {
    std::memcpy(buf_, other.buf_, used_);
}

FileWriter::~FileWriter() { discard(); }

void FileWriter::close() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    owned_ = false;
}

void FileWriter::discard() noexcept {
    if (fd_ >= 0 && owned_) ::unlink(path_.c_str());
    close();
}

Status FileWriter::publish(std::string_view target) {
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
    return write_fully(fd_, std::string_view(buf_, n), "", "failed to write the buffered data");
}

Status FileWriter::write(std::string_view bytes) {
    if (used_ + bytes.size() > kBufferSize)
        if (auto st = flush(); !st) return st;
    if (bytes.size() >= kBufferSize) return write_fully(fd_, bytes, "", "failed to write whole buffer");
    std::memcpy(buf_ + used_, bytes.data(), bytes.size());
    used_ += bytes.size();
    return {};
}

Status FileWriter::write_at(std::uint64_t offset, std::string_view bytes) {
    return write_fully_at(fd_, offset, bytes, "", "failed to write whole buffer");
}

void FileWriter::start_writeback() noexcept { ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE); }

Status FileWriter::sync() {
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
