// SampleReservoir: the objects a compression dictionary is trained on, drawn from a stream of
// any length in bounded memory.
//
// Every object offered has the same chance to be in the sample (reservoir sampling), so records
// whose shape drifts along the input are all represented, not just the first ones. The sample
// holds at most kSampleObjects objects and about kSampleBytes of their bytes: an object counts
// with at most its first kSampleBytes / 64 bytes (a dictionary learns from what objects share,
// and that is mostly near their start), and when the bytes outgrow the budget a random member
// goes and the sample stays that much smaller, which keeps it a uniform one. The choices come
// from a fixed seed: the same objects offered in the same order give the same sample, so two
// builders that see the same objects (one in memory, one spilling) train the same dictionary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/format/compression.hpp"

namespace tarnkv::detail {

// The choices of reservoir sampling (algorithm R) from a fixed seed: for the n-th item offered
// to a reservoir of `capacity` holding `filled`, the place it takes or none. Kept apart from the
// objects so that a sample of other things (references to objects) is drawn the same way.
class ReservoirChoice {
public:
    std::optional<std::size_t> offer(std::size_t filled, std::size_t capacity) noexcept {
        ++seen_;
        if (filled < capacity) return filled;
        const std::uint64_t j = next() % seen_;
        if (j >= capacity) return std::nullopt;
        return static_cast<std::size_t>(j);
    }
    // A uniform choice among `n` (> 0).
    std::size_t pick(std::size_t n) noexcept { return static_cast<std::size_t>(next() % n); }
    std::uint64_t seen() const noexcept { return seen_; }

private:
    // splitmix64: small, fast, and the same sequence everywhere.
    std::uint64_t next() noexcept {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    std::uint64_t seen_ = 0;
    std::uint64_t state_ = 0x7461726E6B76ull;
};

// The sample itself, holding each drawn object's piece as a Piece: a copy (std::string) where
// the objects go away as they are offered, a view (std::string_view) where they stay in memory
// until training is done, which saves copying them. Both draw the same sample from the same
// objects.
template <class Piece>
class BasicSampleReservoir {
public:
    static constexpr std::size_t kMaxPiece = format::kSampleBytes / 64;

    void offer(std::string_view object) {
        const std::string_view piece = object.substr(0, kMaxPiece);
        offered_bytes_ += object.size();
        const auto slot = choice_.offer(slots_.size(), capacity_);
        if (!slot) return;
        if (*slot == slots_.size()) {
            slots_.emplace_back(piece);
        } else {
            bytes_ -= slots_[*slot].size();
            slots_[*slot] = piece;  // a copy reuses the slot's buffer
        }
        bytes_ += piece.size();
        while (bytes_ > format::kSampleBytes) {
            const std::size_t k = choice_.pick(slots_.size());
            bytes_ -= slots_[k].size();
            slots_[k] = std::move(slots_.back());
            slots_.pop_back();
            capacity_ = slots_.size();
        }
    }

    // The sample, for the trainer; valid until the next offer() (and, for views, as long as
    // the objects offered).
    std::vector<std::string_view> samples() const { return {slots_.begin(), slots_.end()}; }
    std::uint64_t seen() const noexcept { return choice_.seen(); }
    // The bytes of every object offered, whole.
    std::uint64_t offered_bytes() const noexcept { return offered_bytes_; }

private:
    ReservoirChoice choice_;
    std::vector<Piece> slots_;
    std::size_t capacity_ = format::kSampleObjects;
    std::size_t bytes_ = 0;
    std::uint64_t offered_bytes_ = 0;
};

class SampleReservoir : public BasicSampleReservoir<std::string> {};
// Holds views: the objects offered must outlive it.
class SampleReservoirOfViews : public BasicSampleReservoir<std::string_view> {};

}  // namespace tarnkv::detail
