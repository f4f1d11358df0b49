// Internals of StoreReader shared by its source files: the owned mapping, the packed index
// arrays and the reader state itself. Not part of the public interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include <boost/unordered/unordered_flat_set.hpp>

#include "core/reader/store_reader.hpp"

namespace tarnkv::detail {

// A read-only mapping, unmapped when the owner goes away.
class FileMapping {
public:
    FileMapping() = default;
    FileMapping(void* addr, std::size_t length) noexcept : addr_(addr), length_(length) {}
    FileMapping(FileMapping&& other) noexcept : addr_(other.addr_), length_(other.length_) { other.addr_ = nullptr; }
    FileMapping& operator=(FileMapping&&) = delete;
    ~FileMapping();

    const unsigned char* data() const noexcept { return static_cast<const unsigned char*>(addr_); }

private:
    void* addr_ = nullptr;
    std::size_t length_ = 0;
};

// An array of unsigned values that takes four bytes per element when every value fits in 32
// bits, eight otherwise. Index positions and key boundaries nearly always fit, and halving
// them is most of what keeps the index compact.
class PackedArray {
public:
    void allocate(std::size_t n, bool wide);
    void set(std::size_t i, std::uint64_t v) noexcept {
        if (wide_)
            wide_values_[i] = v;
        else
            narrow_values_[i] = static_cast<std::uint32_t>(v);
    }
    std::uint64_t operator[](std::size_t i) const noexcept { return wide_ ? wide_values_[i] : narrow_values_[i]; }

private:
    bool wide_ = false;
    std::unique_ptr<std::uint32_t[]> narrow_values_;
    std::unique_ptr<std::uint64_t[]> wide_values_;
};

// Hashes an object offset with the reader's seed, for the per-call sets of offsets already
// seen. Offsets come from the file, so an unseeded hash would let a crafted file collide them.
struct OffsetHash {
    using is_avalanching = std::true_type;
    std::uint64_t seed;
    std::size_t operator()(std::uint64_t offset) const noexcept;
};
using OffsetSet = boost::unordered_flat_set<std::uint64_t, OffsetHash>;

}  // namespace tarnkv::detail

namespace tarnkv {

struct StoreReader::Impl {
    // Entry numbers hash and compare by their key bytes; string_views look them up directly.
    struct EntryHash {
        using is_transparent = void;
        using is_avalanching = std::true_type;  // XXH3 output needs no extra mixing
        const Impl* owner;
        std::size_t operator()(std::string_view key) const noexcept;
        std::size_t operator()(std::uint32_t entry) const noexcept { return (*this)(owner->key_at(entry)); }
    };
    struct EntryEq {
        using is_transparent = void;
        const Impl* owner;
        std::string_view key(std::string_view k) const noexcept { return k; }
        std::string_view key(std::uint32_t entry) const noexcept { return owner->key_at(entry); }
        template <class A, class B>
        bool operator()(const A& a, const B& b) const noexcept {
            return key(a) == key(b);
        }
    };

    Impl(std::string p, detail::FileMapping m, std::uint64_t size, std::uint64_t hash_seed)
        : path(std::move(p)), mapping(std::move(m)), base(mapping.data()), file_size(size), seed(hash_seed),
          by_key(0, EntryHash{this}, EntryEq{this}) {}
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // Fills the arena, offsets and hash set from an index already checked to lie in the file.
    void load_index(std::uint64_t key_bytes, std::uint64_t max_offset);

    std::string_view key_at(std::size_t i) const noexcept {
        const std::uint64_t begin = key_bounds[i];
        return {arena.get() + begin, static_cast<std::size_t>(key_bounds[i + 1] - begin)};
    }

    std::string path;
    detail::FileMapping mapping;
    const unsigned char* base;  // the mapping's first byte
    std::uint64_t file_size;
    std::uint64_t seed;  // random per reader; keys and offsets from a file cannot aim at it

    std::uint32_t num_keys = 0;
    std::uint32_t num_objects = 0;
    std::uint64_t index_offset = 0;
    std::uint32_t file_crc32 = 0;

    // Every entry's key back to back in file order, one copy each; entry i's key is
    // arena[key_bounds[i], key_bounds[i + 1]).
    std::unique_ptr<char[]> arena;
    detail::PackedArray key_bounds;  // entries + 1 values
    detail::PackedArray offsets;     // entries values
    std::size_t entries = 0;
    // One entry number per distinct key: the last entry with that key.
    boost::unordered_flat_set<std::uint32_t, EntryHash, EntryEq> by_key;
};

}  // namespace tarnkv
