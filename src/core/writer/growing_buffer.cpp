#include "core/writer/growing_buffer.hpp"

#include <algorithm>
#include <new>

#include <sys/mman.h>
#include <unistd.h>

namespace tarnkv::detail {

namespace {

constexpr std::size_t kFirstCapacity = std::size_t{64} << 10;

}  // namespace

GrowingBuffer::~GrowingBuffer() {
    if (data_) ::munmap(data_, capacity_);
}

void GrowingBuffer::grow(std::size_t need) {
    static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    if (need < size_) throw std::bad_alloc();  // the sum wrapped
    std::size_t capacity = std::max({need, capacity_ * 2, kFirstCapacity});
    capacity = (capacity + page - 1) / page * page;
    void* p;
    if (!data_) {
        p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        // The advice stays with the mapping as it grows and moves.
        ::madvise(p, capacity, MADV_HUGEPAGE);
    } else {
        p = ::mremap(data_, capacity_, capacity, MREMAP_MAYMOVE);
        if (p == MAP_FAILED) throw std::bad_alloc();
    }
    data_ = static_cast<char*>(p);
    capacity_ = capacity;
}

}  // namespace tarnkv::detail
