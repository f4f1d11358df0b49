// The builder's set of distinct keys: slot numbers found by their keys' hashes.
//
// A bucket is one cache line: seven tags (a byte of the key's hash; 0 marks an empty slot), a
// byte of overflow marks, the seven slot numbers and the upper halves of their keys' hashes. A
// key lives in the first bucket with room from its home bucket on, and a full bucket it passed
// over gets the key's overflow bit, so a lookup stops at the first bucket without it. An insert
// or a lookup of an absent key reads one line (rarely two) and no key; growing reads no key
// either, since each slot keeps what placing it again needs.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "core/writer/growing_buffer.hpp"

namespace tarnkv::detail {

class KeySet {
public:
    static constexpr unsigned kSlots = 7;

    // What a key's 64-bit hash gives the set.
    struct Hash {
        std::uint32_t upper;  // places the key: its home bucket and overflow bit
        std::uint8_t tag;     // tells keys in a bucket apart before their bytes are compared
    };
    static Hash split(std::uint64_t h) noexcept {
        const auto t = static_cast<std::uint8_t>(h);
        return {static_cast<std::uint32_t>(h >> 32), t ? t : std::uint8_t{1}};
    }

    std::size_t size() const noexcept { return size_; }

    // The slot whose key `same(slot)` accepts, among those with the hash's tag.
    template <class Same>
    std::optional<std::uint32_t> find(Hash h, Same&& same) const noexcept {
        if (count_ == 0) return std::nullopt;
        const Bucket* b = &buckets()[home(h.upper, count_)];
        for (std::size_t probes = 0; probes < count_; ++probes) {
            for (std::uint64_t m = zero_bytes(tag_word(*b) ^ (kLows * h.tag)); m; m &= m - 1) {
                const unsigned j = slot_of(m);
                if (same(b->slot[j])) return b->slot[j];
            }
            if (!(b->tags[7] & overflow_bit(h.upper))) return std::nullopt;
            b = next(b, buckets(), count_);
        }
        return std::nullopt;
    }

    // Adds `slot`, whose key the set does not have; throws std::bad_alloc (leaving the set as
    // it was) when it must grow and cannot.
    void insert(Hash h, std::uint32_t slot) {
        if (size_ + 1 > capacity()) grow();
        place(buckets(), count_, h, slot);
        ++size_;
    }

    // A hint that `h` will be looked up soon.
    void prefetch(Hash h) const noexcept {
        if (count_) __builtin_prefetch(&buckets()[home(h.upper, count_)]);
    }

private:
    struct alignas(64) Bucket {
        std::uint8_t tags[8];  // [0, kSlots): slots in order of filling; [7]: overflow marks
        std::uint32_t slot[kSlots];
        std::uint32_t upper[kSlots];
    };
    static_assert(sizeof(Bucket) == 64);

    static constexpr std::uint64_t kLows = 0x0001'0101'0101'0101ull;  // the tags' low bits
    static std::uint64_t tag_word(const Bucket& b) noexcept {
        std::uint64_t w;
        std::memcpy(&w, b.tags, sizeof w);
        return w;
    }
    // The high bit of each tag byte that is zero in `x`: exact for the lowest, possibly also
    // set above it (a borrow), so every candidate is checked.
    static std::uint64_t zero_bytes(std::uint64_t x) noexcept { return (x - kLows) & ~x & (kLows << 7); }
    static unsigned slot_of(std::uint64_t m) noexcept { return static_cast<unsigned>(std::countr_zero(m)) / 8; }
    static std::size_t home(std::uint32_t upper, std::size_t count) noexcept {
        return static_cast<std::size_t>((std::uint64_t{upper} * count) >> 32);
    }
    static std::uint8_t overflow_bit(std::uint32_t upper) noexcept { return static_cast<std::uint8_t>(1u << (upper & 7)); }
    static const Bucket* next(const Bucket* b, const Bucket* first, std::size_t count) noexcept {
        return b + 1 == first + count ? first : b + 1;
    }
    std::size_t capacity() const noexcept { return count_ * kSlots * 7 / 8; }

    static void place(Bucket* buckets, std::size_t count, Hash h, std::uint32_t slot) noexcept {
        Bucket* b = &buckets[home(h.upper, count)];
        for (;;) {
            const std::uint64_t empty = zero_bytes(tag_word(*b));
            if (empty) {
                const unsigned j = slot_of(empty);
                b->tags[j] = h.tag;
                b->slot[j] = slot;
                b->upper[j] = h.upper;
                return;
            }
            b->tags[7] |= overflow_bit(h.upper);
            b = const_cast<Bucket*>(next(b, buckets, count));
        }
    }

    Bucket* buckets() const noexcept { return reinterpret_cast<Bucket*>(const_cast<char*>(memory_.data())); }

    // Twice the buckets, in fresh memory (which comes zeroed: every tag empty). The home bucket
    // grows with the hash, so walking the old buckets in order writes the new ones nearly in
    // order too.
    void grow() {
        const std::size_t count = count_ ? count_ * 2 : 16;
        GrowingBuffer memory;
        memory.reserve_more(count * sizeof(Bucket));
        auto* fresh = reinterpret_cast<Bucket*>(memory.data());
        for (std::size_t i = 0; i < count_; ++i) {
            const Bucket& b = buckets()[i];
            for (unsigned j = 0; j < kSlots && b.tags[j]; ++j) place(fresh, count, {b.upper[j], b.tags[j]}, b.slot[j]);
        }
        memory_ = std::move(memory);
        count_ = count;
    }

    GrowingBuffer memory_;  // only its room is used: count_ buckets
    std::size_t count_ = 0;  // buckets
    std::size_t size_ = 0;   // slots in use
};

}  // namespace tarnkv::detail
