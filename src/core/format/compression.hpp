// Compressed stores: objects compressed with zstd and one dictionary trained at build time.
// Like layout.hpp, this is the one place that knows these byte shapes, writing side beside
// reading side.
//
// A compressed store is an ordinary store file (layout.hpp) in every byte, so anything that
// reads stores opens, verifies and reads it, getting the stored bytes. Three things differ:
//
//   header byte 5        compression: 0 none, 1 zstd with a dictionary. Writers that do not
//                        compress write 0 there (the byte was always written as zero), so a
//                        store written without compression is never taken for a compressed one,
//                        whatever keys and objects it holds. Other values are refused.
//   record at offset 40  the dictionary: a record like any other (length, crc, bytes) that no
//                        index entry names, so the whole-file CRC covers it. It may be empty
//                        (too few samples to train on): objects are then compressed without one.
//   each stored object   one tag byte, then the object:
//                          0         the object's bytes as put (objects that do not shrink);
//                          1..255    a zstd frame of the object made with this store's
//                                    dictionary; the tag is the dictionary's check byte
//                                    (1 + crc32(dictionary) % 255), so a frame copied from a
//                                    store with another dictionary is refused, not decoded into
//                                    wrong bytes (unless the two check bytes collide, 1 in 255).
//                        The frame is the magicless format (no 4-byte magic), without the
//                        dictionary ID and without a checksum (the record's CRC covers the
//                        stored bytes), and always records its content size. Writers store
//                        its literals raw (faster to decode); readers decode any valid frame
//                        made with the dictionary, Huffman-coded literals included.
//
// The record CRC covers the stored bytes, so verifying a store needs no decompression.
// Decoding trusts nothing: the tag, the frame header, the recorded content size (at most the
// object size limit, and at most what the frame's length can hold), and the size the frame
// decompresses to are all checked before and after decompressing into a buffer of exactly the
// recorded size.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "core/format/error.hpp"
#include "core/format/layout.hpp"

namespace tarnkv::format {

// Header byte kCompressionByteAt (layout.hpp) holds one of these.
enum class Compression : std::uint8_t { None = 0, Zstd = 1 };

inline constexpr unsigned char kRawTag = 0;
// Where a compressed store's dictionary record lies: the first record, right after the header.
inline constexpr std::uint64_t kDictionaryAt = kHeaderSize;

// The tag of objects compressed with `dictionary`.
unsigned char dictionary_tag(std::string_view dictionary) noexcept;

// Sample and dictionary sizes for training: a uniform sample of at most 20,000 objects (or about
// 3 MiB of them, for large objects; see detail::SampleReservoir) and a 256 KiB dictionary (never
// more than a tenth of the sample, nor a 64th of the objects: dictionary_size_for). Objects keep
// their literals raw (ObjectEncoder), which decodes in less than half the time but stores
// larger; the large dictionary wins most of that back by holding more of what records share:
// the Debian package index as MessagePack (76,808 records, mean 830 bytes) stores its data
// section at 0.39x (0.44x with a 16 KiB dictionary, 0.35x with Huffman-coded literals and
// 16 KiB); one million ~40-byte user records at about 0.74x. bench/zstd_choices.cpp measures
// the choices. Training takes time in proportion to the sample, and a build waits for it:
// 3 MiB trains the package index's dictionary in 0.035 s where 8 MiB took 0.155 s, for 0.5%
// more stored bytes. A smaller sample would make a smaller dictionary, which zstd matches with
// shorter minimum matches (under 256 KiB): that stores a little smaller but decodes a fifth
// slower (2 MiB: 0.389x, and 1.58 us against 1.27 us to decode a record at random). A sample
// of the first objects instead fits inputs whose records drift along the way (IDs growing
// wider) badly: the user records came to 1.00x their size with it.
inline constexpr std::size_t kSampleObjects = 20'000;
inline constexpr std::size_t kSampleBytes = 3u << 20;
inline constexpr std::size_t kDictionarySize = 256u << 10;
// The dictionary a store's objects pay for: it is stored once in the file, so it is kept to a
// 64th of the objects' bytes (a large dictionary in a small store costs more than it saves),
// between 16 KiB and kDictionarySize.
inline constexpr std::size_t dictionary_size_for(std::uint64_t object_bytes) noexcept {
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(object_bytes / 64, 16u << 10, kDictionarySize));
}

// A dictionary trained on `samples`; empty when they are too few or too small to train on.
std::string train_dictionary(std::span<const std::string_view> samples, std::size_t max_size = kDictionarySize);

// Compresses objects with one dictionary. Not for two threads at once (one context).
class ObjectEncoder {
public:
    static Result<ObjectEncoder> create(std::string_view dictionary, int level);
    ObjectEncoder(ObjectEncoder&&) noexcept;
    ObjectEncoder& operator=(ObjectEncoder&&) noexcept;
    ~ObjectEncoder();

    // Replaces `out` with the stored form of `object` (tag and frame, or tag and the bytes).
    // Fails when that form is over the object size limit (the tag on an object at the limit).
    Status encode(std::string_view object, std::string& out);

private:
    struct Impl;
    explicit ObjectEncoder(std::unique_ptr<Impl> impl) noexcept;
    std::unique_ptr<Impl> impl_;
};

// Decodes stored objects. Shared by any number of threads: each thread decompresses with its
// own context.
// Whether a header's compression byte (kCompressionByteAt) says the objects are compressed; a
// kind this reader does not know is an error.
Result<bool> compressed_by_header(std::uint8_t kind);

class ObjectDecoder {
public:
    // A decoder for `dictionary`. A dictionary zstd refuses does not fail here: every compressed
    // object then fails to decode, naming the fault, while raw ones still read.
    static Result<ObjectDecoder> create(std::string_view dictionary);
    // A decoder whose every compressed object fails with `why` (a dictionary record that is
    // damaged); raw objects still read.
    static Result<ObjectDecoder> unusable(std::string why);
    // The decoder for the dictionary record at `at` in `file` (a store's image, or the bytes
    // fetched from its offset 40 with `at` 0). The record is checked whatever a reader's
    // options, since every compressed object depends on it; one that does not fit or fails its
    // CRC gives an unusable() decoder that says so.
    static Result<ObjectDecoder> from_record(Image file, std::uint64_t at);
    ObjectDecoder(ObjectDecoder&&) noexcept;
    ObjectDecoder& operator=(ObjectDecoder&&) noexcept;
    ~ObjectDecoder();

    // The object's bytes as put, from its stored bytes: a view into `stored` for a raw object,
    // else into `scratch`, which is resized to the object (valid until it is changed).
    // Every fault is a Corrupt error; nothing larger than the recorded size is ever allocated.
    Result<std::string_view> decode(std::string_view stored, std::string& scratch) const;

    std::size_t dictionary_size() const noexcept;

private:
    struct Impl;
    explicit ObjectDecoder(std::unique_ptr<Impl> impl) noexcept;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarnkv::format
