// Append-only storage for the builder that grows without copying. A builder holds its whole data
// section and key arena in memory; grown the usual way (allocate twice the size, copy, free),
// every doubling copies everything so far and faults in fresh pages for all of it, which for a
// large store costs more than the appends themselves. Here the bytes live in their own private
// mapping, which the kernel enlarges in place or moves by remapping its pages (mremap), so
// nothing is copied, and its whole 2 MiB pieces are advised into huge pages, so a buffer of many
// megabytes is faulted in a few times rather than once per 4 KiB page.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>

namespace tarnkv::detail {

class GrowingBuffer {
public:
    GrowingBuffer() = default;
    GrowingBuffer(GrowingBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    GrowingBuffer& operator=(GrowingBuffer&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        return *this;
    }
    ~GrowingBuffer();

    std::size_t size() const noexcept { return size_; }
    char* data() noexcept { return data_; }
    const char* data() const noexcept { return data_; }
    std::string_view view() const noexcept { return {data_, size_}; }

    // Makes room for `extra` more bytes, so that appending them cannot fail; throws
    // std::bad_alloc when the system has no memory for them. Room never written is zero.
    void reserve_more(std::size_t extra) {
        if (capacity_ - size_ < extra) grow(size_ + extra);
    }
    // Appends `n` bytes; throws std::bad_alloc, leaving the buffer as it was.
    void append(const void* bytes, std::size_t n) {
        reserve_more(n);
        if (n) std::memcpy(data_ + size_, bytes, n);
        size_ += n;
    }
    void append(std::string_view bytes) { append(bytes.data(), bytes.size()); }
    // Drops the bytes from `n` on.
    void truncate(std::size_t n) noexcept {
        if (n < size_) size_ = n;
    }

private:
    void grow(std::size_t need);

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// A GrowingBuffer of trivially copyable values.
template <class T>
class PodVector {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    std::size_t size() const noexcept { return bytes_.size() / sizeof(T); }
    bool empty() const noexcept { return bytes_.size() == 0; }
    T* data() noexcept { return reinterpret_cast<T*>(bytes_.data()); }
    const T* data() const noexcept { return reinterpret_cast<const T*>(bytes_.data()); }
    T& operator[](std::size_t i) noexcept { return data()[i]; }
    const T& operator[](std::size_t i) const noexcept { return data()[i]; }
    const T& back() const noexcept { return data()[size() - 1]; }
    const T* begin() const noexcept { return data(); }
    const T* end() const noexcept { return data() + size(); }

    void reserve_more(std::size_t extra) { bytes_.reserve_more(extra * sizeof(T)); }
    void push_back(const T& v) { bytes_.append(&v, sizeof v); }
    void pop_back() noexcept { bytes_.truncate(bytes_.size() - sizeof(T)); }

private:
    GrowingBuffer bytes_;
};

}  // namespace tarnkv::detail
