// The reader's hash table from keys to index entries: built once at open, read-only after.
//
// A bucket is one cache line: a tag byte per slot (eight bits of the key's hash, 0 for an empty
// slot), a byte of overflow marks, and the slots, each holding an index entry's position and its
// object's record offset. A key lives in the first bucket with room from its home bucket on; a
// bucket that was full when a key passed over it sets that key's overflow bit, so a lookup stops
// at the first bucket without it. A lookup reads one line (rarely two), and a candidate carries
// both where its key lies and where its object lies: the key comparison and the object's read
// then go out to memory together instead of one after the other.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <utility>

namespace tarnkv::detail {

// Zeroed memory for the index, mapped privately. A lookup touches it at a random place, so its
// whole 2 MiB pieces are advised into huge pages: with small pages nearly every lookup also
// misses the TLB, and under virtualisation each such miss is a two-level page walk. The tail
// stays in small pages, so the resident size is about what is used. Only advice: where the
// kernel has no huge pages nothing changes.
class IndexMemory {
public:
    IndexMemory() = default;
    IndexMemory(IndexMemory&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
    IndexMemory& operator=(IndexMemory&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(bytes_, other.bytes_);
        return *this;
    }
    ~IndexMemory();

    // Maps `bytes` of zeroed memory, faulted in at once (one call instead of a fault per
    // page); throws std::bad_alloc when the system has none.
    void* allocate(std::size_t bytes);
    void* data() const noexcept { return data_; }

private:
    void* data_ = nullptr;
    std::size_t bytes_ = 0;  // as mapped, a whole number of pages
};

// Word: std::uint32_t while every entry position and object offset of the file fits in it,
// std::uint64_t otherwise (files beyond 4 GiB).
template <class Word>
class KeyTable {
public:
    static constexpr unsigned kSlots = sizeof(Word) == 4 ? 7 : 3;
    // Keys per slot the table is sized for. Lower costs memory; higher makes more lookups
    // read a second bucket (at 0.7, about one hit in thirteen).
    static constexpr double kLoad = 0.7;

    struct alignas(64) Bucket {
        std::uint8_t tags[8];  // [0, kSlots): slots in order of filling; [7]: overflow marks
        Word entry[kSlots];
        Word offset[kSlots];
    };
    static_assert(sizeof(Bucket) == 64);

    struct Slot {
        Word entry;
        Word offset;
    };

    // Makes room for `keys` keys; throws std::bad_alloc.
    void allocate(std::size_t keys) {
        count_ = keys == 0 ? 0 : static_cast<std::size_t>(static_cast<double>(keys) / (kSlots * kLoad)) + 1;
        buckets_ = count_ ? static_cast<Bucket*>(memory_.allocate(count_ * sizeof(Bucket))) : nullptr;
    }

    // The bucket where a lookup of `hash` starts.
    const Bucket& home(std::uint64_t hash) const noexcept {
        return buckets_[static_cast<std::size_t>((static_cast<unsigned __int128>(hash) * count_) >> 64)];
    }
    void prefetch(std::uint64_t hash) const noexcept {
        if (count_) __builtin_prefetch(&home(hash));
    }

    // Bit j * 8 + 7 set for each slot j whose tag is `hash`'s; may also flag a slot above a
    // true match, so every candidate is checked.
    static std::uint64_t candidates(const Bucket& b, std::uint64_t hash) noexcept {
        return zero_bytes(tag_word(b) ^ (kLows * tag_of(hash)));
    }
    static unsigned slot_of(std::uint64_t candidates) noexcept {
        return static_cast<unsigned>(std::countr_zero(candidates)) / 8;
    }
    static bool overflowed(const Bucket& b, std::uint64_t hash) noexcept { return b.tags[7] & overflow_bit(hash); }

    // The slot whose entry `same(entry, offset)` accepts, among those with `hash`'s tag.
    template <class Same>
    std::optional<Slot> find(std::uint64_t hash, Same&& same) const noexcept {
        if (count_ == 0) return std::nullopt;
        const Bucket* b = &home(hash);
        for (std::size_t probes = 0; probes < count_; ++probes) {
            for (std::uint64_t m = candidates(*b, hash); m; m &= m - 1) {
                const unsigned j = slot_of(m);
                if (same(b->entry[j], b->offset[j])) return Slot{b->entry[j], b->offset[j]};
            }
            if (!overflowed(*b, hash)) return std::nullopt;
            b = next(b);
        }
        return std::nullopt;
    }

    // Adds an entry, or, when `same(entry)` finds the key there already, points it at this
    // later entry: the last entry with a key wins. Never fails: the table has room to spare.
    template <class Same>
    void insert(std::uint64_t hash, Word entry, Word offset, Same&& same) noexcept {
        Bucket* b = const_cast<Bucket*>(&home(hash));
        for (;;) {
            for (std::uint64_t m = candidates(*b, hash); m; m &= m - 1) {
                const unsigned j = slot_of(m);
                if (same(b->entry[j])) {
                    b->entry[j] = entry;
                    b->offset[j] = offset;
                    return;
                }
            }
            // Slots fill in order, so the first empty tag is the first free slot.
            const std::uint64_t empty = zero_bytes(tag_word(*b));
            if (empty) {
                const unsigned j = slot_of(empty);
                b->tags[j] = tag_of(hash);
                b->entry[j] = entry;
                b->offset[j] = offset;
                return;
            }
            b->tags[7] |= overflow_bit(hash);
            b = const_cast<Bucket*>(next(b));
        }
    }

private:
    // The low byte of each slot's tag; the overflow byte and unused tags are left out.
    static constexpr std::uint64_t kLows = 0x0101'0101'0101'0101ull & ((std::uint64_t{1} << (8 * kSlots)) - 1);

    static std::uint64_t tag_word(const Bucket& b) noexcept {
        std::uint64_t w;
        std::memcpy(&w, b.tags, sizeof w);
        return w;
    }
    // The high bit of each byte among the slots' that is zero in `x`; exact for the lowest such
    // byte, possibly also set above it (a borrow).
    static std::uint64_t zero_bytes(std::uint64_t x) noexcept { return (x - kLows) & ~x & (kLows << 7); }
    static std::uint8_t tag_of(std::uint64_t hash) noexcept {
        const auto t = static_cast<std::uint8_t>(hash);
        return t ? t : 1;
    }
    static std::uint8_t overflow_bit(std::uint64_t hash) noexcept {
        return static_cast<std::uint8_t>(1u << ((hash >> 8) & 7));
    }
    const Bucket* next(const Bucket* b) const noexcept { return b + 1 == buckets_ + count_ ? buckets_ : b + 1; }

    IndexMemory memory_;
    Bucket* buckets_ = nullptr;
    std::size_t count_ = 0;
};

}  // namespace tarnkv::detail
