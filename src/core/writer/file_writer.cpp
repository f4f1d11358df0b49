#include "core/writer/file_writer.hpp"

#include <cerrno>
#include <cstring>

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

Result<FileWriter> FileWriter::create(const std::string& path) {
    if (auto st = check_path(path, "open tmp: "); !st) return std::unexpected(std::move(st.error()));
    // A live build holds an exclusive lock on the temporary it writes, from before truncating
    // it until after renaming it. So: open without truncating, take the lock without waiting,
    // make sure the locked file is still the one at the path (its holder may have renamed it
    // away between our open and our lock, and it is then someone's published store), and only
    // then truncate. A file left by a dead build is unlocked and simply taken over.
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        int fd;
        do {
            fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) return std::unexpected(io_error("open tmp: ", errno));
        FileWriter file(fd);  // closes, and so unlocks, on every path out

        int rc;
        do {
            rc = ::flock(fd, LOCK_EX | LOCK_NB);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0 && errno == EWOULDBLOCK) return std::unexpected(busy_error(path));
        if (rc != 0) return std::unexpected(io_error("open tmp: ", errno));

        struct stat held, named;
        if (::fstat(fd, &held) != 0) return std::unexpected(io_error("open tmp: ", errno));
        // lstat: a symbolic link put at the path since our open is not the file we hold.
        if (::lstat(path.c_str(), &named) != 0) {
            if (errno == ENOENT) continue;  // renamed away and not yet replaced
            return std::unexpected(io_error("open tmp: ", errno));
        }
        if (held.st_dev != named.st_dev || held.st_ino != named.st_ino) continue;
        if (::ftruncate(fd, 0) != 0) return std::unexpected(io_error("open tmp: ", errno));
        return file;
    }
    // Every file we locked had moved on: other builds keep publishing through this path.
    return std::unexpected(busy_error(path));
}

FileWriter::FileWriter(FileWriter&& other) noexcept : fd_(other.fd_), used_(other.used_) {
    std::memcpy(buf_, other.buf_, used_);
    other.fd_ = -1;
}

FileWriter::~FileWriter() { close(); }

void FileWriter::close() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
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

Status publish(const std::string& tmp, std::string_view path) {
    if (auto st = check_path(path, "rename: "); !st) return st;
    if (::rename(tmp.c_str(), std::string(path).c_str()) != 0) return std::unexpected(io_error("rename: ", errno));
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
