// An in-memory file with a path, so fuzz inputs reach the reader through open/fstat/mmap like
// real files do, without touching the disk.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

class MemFile {
public:
    MemFile() : fd_(::memfd_create("tarnkv-fuzz", MFD_CLOEXEC)) {
        if (fd_ < 0) std::abort();
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemFile() { ::close(fd_); }

    const std::string& fill(const void* data, std::size_t size) {
        if (::ftruncate(fd_, 0) != 0) std::abort();
        if (size && ::pwrite(fd_, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
        return path_;
    }

private:
    int fd_;
    std::string path_;
};
