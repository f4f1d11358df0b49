// A store whose bytes live elsewhere (a web server, object storage): the reader is built from
// the header and the index section alone, and each object's record is fetched on demand by the
// caller, which hands the fetched bytes back here to be checked and decoded.
//
// The header and the index are copied to their own offsets in a read-only image as large as the
// file, so the same StoreReader answers lookups, prefix ranges and entry walks as for a local
// file. The data section of the image is never read: object bytes come only from fetched
// records.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/format/compression.hpp"
#include "core/format/error.hpp"
#include "core/reader/store_reader.hpp"

namespace tarnkv {

class RemoteStore {
public:
    // A byte range of the file, [begin, end).
    struct Extent {
        std::uint64_t begin;
        std::uint64_t end;
    };

    // Bytes of the file fetched at `offset`.
    struct Piece {
        std::uint64_t offset;
        std::string_view bytes;
    };

    // `name` names the store in errors (its URL). The pieces must hold the file's header (its
    // first 40 bytes, or all of a shorter file) and its whole index section; anything else in
    // them is ignored.
    static Result<RemoteStore> open(std::string name, std::uint64_t file_size, std::span<const Piece> pieces);

    RemoteStore(RemoteStore&&) noexcept;
    RemoteStore& operator=(RemoteStore&&) noexcept;
    ~RemoteStore();

    const StoreReader& reader() const noexcept { return reader_; }

    // Whether the record at `offset` has to be fetched: one inside the data section. Any other
    // offset (an entry naming the header, the index or past the end) is answered from the image
    // through reader().checked_object_at(), exactly as a local file answers it.
    bool needs_fetch(std::uint64_t offset) const noexcept;
    // The bytes to fetch for the record at `offset` (needs_fetch() true): from its offset to the
    // next record any entry names, or to the index section.
    Extent extent(std::uint64_t offset) const noexcept;
    // The object in `fetched`, the bytes of extent(offset): its length field must fit in them,
    // and with `check` its CRC-32 must match. A view into `fetched`.
    Result<std::string_view> object(std::uint64_t offset, std::string_view fetched, bool check) const;

    // A compressed store's objects are stored packed (core/format/compression.hpp), against a
    // dictionary whose record opens the data section, where no entry names it. The caller
    // fetches dictionary_extent() once, hands it to use_dictionary() before the store is shared
    // between threads, and passes every object through decode(), as a local reader does.
    bool compressed() const noexcept { return compressed_; }
    Extent dictionary_extent() const noexcept { return extent(format::kDictionaryAt); }
    // A damaged dictionary record does not fail here: every compressed object then fails to
    // decode, naming the fault, while objects stored as they were put still read.
    Status use_dictionary(std::string_view fetched);
    // The object's bytes as put: `stored` itself for a store that is not compressed.
    Result<std::string_view> decode(std::string_view stored, std::string& scratch) const;

    // Ascending distinct offsets, bit-packed: per block of kBlock, the differences between
    // neighbours less the block's smallest difference, each in as many bits as the block's
    // largest needs; every kStep-th offset is also kept in full, where a search starts. Records
    // of a store are mostly of similar sizes, so a difference costs a few bits: the table stays
    // small next to the reader's own, and a search decodes at most kStep - 1 differences.
    class Starts {
    public:
        static constexpr std::size_t kBlock = 128;
        static constexpr std::size_t kStep = 32;
        static_assert(kBlock % kStep == 0);

        explicit Starts(std::span<const std::uint64_t> sorted);
        // The first offset greater than `x`, or nullopt when there is none.
        std::optional<std::uint64_t> after(std::uint64_t x) const noexcept;
        std::size_t size() const noexcept { return count_; }
        // Heap bytes the table holds.
        std::size_t footprint() const noexcept;

    private:
        struct Block {
            std::uint64_t bit;        // where its differences start in words_
            std::uint64_t min_delta;  // added back to every packed difference
            unsigned width;           // bits per packed difference, 0..64
        };

        std::vector<std::uint64_t> firsts_;  // every kStep-th offset
        std::vector<Block> blocks_;
        std::vector<std::uint64_t> words_;   // one word more than the bits need: see after()
        std::size_t count_ = 0;
    };

private:
    RemoteStore(StoreReader reader, Starts starts, bool compressed) noexcept;
    StoreReader reader_;
    Starts starts_;  // the offsets of the records entries name in the data section
    bool compressed_ = false;
    std::unique_ptr<format::ObjectDecoder> decoder_;  // set by use_dictionary()
};

}  // namespace tarnkv
