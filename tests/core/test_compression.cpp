// Compressed stores: what the builder writes, what the reader makes of it, and stored objects
// that lie (bad tags, frame headers claiming too much, frames that run past their size, other
// dictionaries, damaged dictionaries), which must fail as corrupt and never crash or allocate.
#include <algorithm>
#include <atomic>
#include <format>
#include <random>
#include <string>
#include <thread>
#include <vector>

#define ZSTD_STATIC_LINKING_ONLY  // frames of the magicless format, made here as other writers may
#include <zstd.h>

#include "core/format/compression.hpp"
#include "core/reader/remote_store.hpp"
#include "core/writer/sample_reservoir.hpp"
#include "test_util.hpp"

namespace tarnkv::testing {
namespace {

using format::ObjectDecoder;
using format::ObjectEncoder;

std::string random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

std::string dictionary_for(const std::vector<std::string>& records) {
    std::vector<std::string_view> views(records.begin(), records.end());
    return format::train_dictionary(views);
}

std::string encoded(std::string_view dictionary, std::string_view object) {
    auto enc = ObjectEncoder::create(dictionary, 3);
    EXPECT_TRUE(enc.has_value());
    std::string out;
    EXPECT_TRUE(enc->encode(object, out).has_value());
    return out;
}

std::string decode_error(const ObjectDecoder& d, std::string_view stored) {
    std::string scratch;
    return error_text(d.decode(stored, scratch));
}

// A compressed builder's image, every object mapped by key "k<id>" (so objects lie in ID order),
// the dictionary trained on a sample of them all.
std::string compressed_image(const std::vector<std::string>& objects) {
    StoreBuilder b;
    b.order_objects_by_key(true);
    EXPECT_TRUE(b.compress(3).has_value());
    for (std::size_t i = 0; i < objects.size(); ++i) {
        auto id = b.add_object(objects[i]);
        EXPECT_TRUE(id.has_value());
        EXPECT_TRUE(b.add_key(std::format("k{:05}", i), *id).has_value());
    }
    return b.image();
}

TEST(CompressedStore, RoundTripsEveryKindOfObjectAndVerifiesWithoutDecoding) {
    ScratchDir dir;
    std::vector<std::string> objects = similar_records(500);
    objects.push_back(random_bytes(3000, 7));  // does not shrink: stored raw
    objects.push_back("");
    objects.push_back("x");
    const std::string image = compressed_image(objects);
    EXPECT_EQ(image[format::kCompressionByteAt], 1);
    EXPECT_EQ(image[6], 0);
    EXPECT_EQ(image[7], 0);

    StoreReader r = open_ok(dir, image);
    ASSERT_TRUE(r.verify().has_value());
    // A reader that does not ask for decoding sees the stored bytes: tag first. An object that
    // does not shrink is stored as it is, one byte larger, and none is ever larger than that
    // (the random bytes may shrink a little: the dictionary learns from every object stored).
    auto stored = r.object_at(*r.lookup("k00502"));
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(*stored, std::string("\0x", 2));
    stored = r.object_at(*r.lookup("k00500"));
    ASSERT_TRUE(stored.has_value());
    EXPECT_LE(stored->size(), 3001u);
    EXPECT_FALSE(r.compressed());

    ASSERT_TRUE(r.enable_decoding().has_value());
    ASSERT_TRUE(r.compressed());
    EXPECT_GT(r.decoder()->dictionary_size(), 0u);
    std::uint64_t stored_total = 0;
    std::string scratch;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        auto raw = r.object_at(*r.lookup(std::format("k{:05}", i)));
        ASSERT_TRUE(raw.has_value());
        stored_total += raw->size();
        auto put = r.decode(*raw, scratch);
        ASSERT_TRUE(put.has_value()) << i << ": " << put.error().display();
        EXPECT_EQ(*put, objects[i]) << i;
    }
    std::uint64_t original = 0;
    for (const auto& o : objects) original += o.size();
    EXPECT_LT(stored_total, original / 2);  // similar records shrink with the dictionary
    auto sizes = r.compression_sizes();
    ASSERT_TRUE(sizes.has_value());
    EXPECT_EQ(sizes->original, original);
    EXPECT_EQ(sizes->stored, stored_total);
}

// A build trains its dictionary on what it stores, which only the key order gathers.
TEST(CompressedStore, CompressionComesWithTheKeyOrder) {
    StoreBuilder in_id_order;
    EXPECT_EQ(error_text(in_id_order.compress(3)),
              "TarnError: a compressed store keeps its objects in key order");
    StoreBuilder b;
    b.order_objects_by_key(true);
    ASSERT_TRUE(b.compress(3).has_value());
    b.order_objects_by_key(false);
    EXPECT_TRUE(b.objects_by_key());
}

TEST(CompressedStore, UncompressedStoresAreNeverDecodedWhateverTheyHold) {
    ScratchDir dir;
    // Objects that look like tagged frames, in a store written without compression.
    const std::string frame = encoded("", std::string(1000, 'a'));
    StoreBuilder b;
    ASSERT_TRUE(b.add_object(frame).has_value());
    ASSERT_TRUE(b.add_key("k", 0).has_value());
    const std::string image = b.image();
    EXPECT_EQ(image[format::kCompressionByteAt], 0);
    StoreReader r = open_ok(dir, image);
    ASSERT_TRUE(r.enable_decoding().has_value());
    EXPECT_FALSE(r.compressed());
    std::string scratch;
    auto put = r.decode(frame, scratch);
    ASSERT_TRUE(put.has_value());
    EXPECT_EQ(*put, frame);
}

TEST(CompressedStore, UnknownCompressionInTheHeaderIsRefusedByTheDecodingReaderOnly) {
    ScratchDir dir;
    std::string image = built({"a"}, {{"k", 0}});
    image[format::kCompressionByteAt] = 2;
    StoreReader r = open_ok(dir, sealed(image));  // the header byte is not the plain reader's business
    EXPECT_EQ(error_text(r.enable_decoding()), "TarnCorruptError: unknown compression 2 in the header");
}

// Records whose shape changes halfway through the input, as inputs drift (IDs grow wider,
// fields appear): the dictionary must learn from both halves, not from the first objects only.
TEST(CompressedStore, TheDictionaryLearnsFromTheWholeInputAndEveryObjectRoundTrips) {
    ScratchDir dir;
    const std::size_t half = format::kSampleObjects + 25;
    const std::vector<std::string> objects = drifting_records(half);
    StoreBuilder b;
    b.order_objects_by_key(true);  // as the package's writer builds
    ASSERT_TRUE(b.compress(3).has_value());
    for (std::size_t i = 0; i < objects.size(); ++i) {
        ASSERT_TRUE(b.add_object(objects[i]).has_value());
        ASSERT_TRUE(b.add_key(std::format("k{:06}", i), static_cast<std::uint32_t>(i)).has_value());
    }
    StoreReader r = open_ok(dir, b.image());
    ASSERT_TRUE(r.enable_decoding().has_value());
    std::string scratch;
    std::uint64_t late_raw = 0, late_stored = 0;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        const auto stored = r.object_at(*r.lookup(std::format("k{:06}", i)));
        ASSERT_TRUE(stored.has_value());
        auto put = r.decode(*stored, scratch);
        ASSERT_TRUE(put.has_value()) << i;
        ASSERT_EQ(*put, objects[i]) << i;
        if (i >= half) late_raw += objects[i].size(), late_stored += stored->size();
    }
    // Learned from the first objects only, these came to about nine tenths of their size.
    EXPECT_LT(late_stored * 10, late_raw * 6) << late_stored << " of " << late_raw;
}

// The in-memory builder samples views of the objects it holds, the spilling one copies: both
// must draw the same sample, or their files would differ. Objects longer than a piece count
// with their first bytes only, and the byte budget evicts members as the sample grows.
TEST(CompressedStore, SamplesOfViewsAndOfCopiesAreTheSame) {
    std::mt19937 rng(5);
    std::vector<std::string> objects;
    for (int i = 0; i < 30'000; ++i) {
        const std::size_t n = rng() % 16 == 0 ? detail::SampleReservoir::kMaxPiece + rng() % 5000 : rng() % 300;
        objects.push_back(std::string(n, static_cast<char>('a' + i % 26)) + std::to_string(i));
    }
    detail::SampleReservoir copies;
    detail::SampleReservoirOfViews views;
    for (const std::string& o : objects) {
        copies.offer(o);
        views.offer(o);
    }
    std::size_t bytes = 0;
    for (std::string_view s : copies.samples()) bytes += s.size();
    EXPECT_LT(copies.samples().size(), format::kSampleObjects);  // the byte budget evicted some
    EXPECT_LE(bytes, format::kSampleBytes);
    EXPECT_EQ(views.samples(), copies.samples());
    EXPECT_EQ(views.offered_bytes(), copies.offered_bytes());
    EXPECT_EQ(detail::train_on(views), detail::train_on(copies));
}

// The dictionary is stored once per file: a small store's stays small, a large one's may grow.
TEST(CompressedStore, TheDictionaryIsSizedForTheObjects) {
    const auto dictionary_size = [](std::size_t n) {
        StoreBuilder b;
        b.order_objects_by_key(true);
        EXPECT_TRUE(b.compress(3).has_value());
        const auto objects = similar_records(n);
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_TRUE(b.add_object(objects[i]).has_value());
            EXPECT_TRUE(b.add_key(std::format("k{:06}", i), static_cast<std::uint32_t>(i)).has_value());
        }
        const std::string image = b.image();
        return format::load_be32(reinterpret_cast<const unsigned char*>(image.data()) + format::kHeaderSize);
    };
    EXPECT_LE(dictionary_size(3'000), 16u << 10);  // ~400 KB of objects
    EXPECT_GT(dictionary_size(20'000), 16u << 10);  // ~2.7 MB
}

TEST(CompressedStore, LeavingOutUnreferencedObjectsKeepsTheDictionaryFirst) {
    ScratchDir dir;
    const auto objects = similar_records(300);
    StoreBuilder b;
    b.order_objects_by_key(true);
    ASSERT_TRUE(b.compress(3).has_value());
    for (const auto& o : objects) ASSERT_TRUE(b.add_object(o).has_value());
    ASSERT_TRUE(b.add_key("last", 299).has_value());
    ASSERT_TRUE(b.add_key("first", 0).has_value());
    auto compact = b.without_unreferenced();
    ASSERT_TRUE(compact.has_value());
    StoreReader r = open_ok(dir, (*compact)->image());
    ASSERT_TRUE(r.enable_decoding().has_value());
    std::string scratch;
    EXPECT_EQ(*r.decode(*r.object_at(*r.lookup("first")), scratch), objects[0]);
    EXPECT_EQ(*r.decode(*r.object_at(*r.lookup("last")), scratch), objects[299]);
    EXPECT_EQ(r.num_objects(), 2u);
}

TEST(CompressedStore, TinyStoresGetAnEmptyDictionaryAndStillRoundTrip) {
    ScratchDir dir;
    const std::vector<std::string> objects{std::string(500, 'z'), "short"};
    StoreReader r = open_ok(dir, compressed_image(objects));
    ASSERT_TRUE(r.enable_decoding().has_value());
    EXPECT_EQ(r.decoder()->dictionary_size(), 0u);
    std::string scratch;
    auto stored = r.object_at(*r.lookup("k00000"));
    EXPECT_LT(stored->size(), 100u);  // compressed without a dictionary
    EXPECT_EQ(*r.decode(*stored, scratch), objects[0]);
    EXPECT_EQ(*r.decode(*r.object_at(*r.lookup("k00001")), scratch), "short");
}

// ---- Hostile stored objects -------------------------------------------------------------------

class HostileObjects : public ::testing::Test {
protected:
    void SetUp() override {
        records_ = similar_records(400);
        dictionary_ = dictionary_for(records_);
        ASSERT_FALSE(dictionary_.empty());
        auto d = ObjectDecoder::create(dictionary_);
        ASSERT_TRUE(d.has_value());
        decoder_.emplace(std::move(*d));
    }
    // A frame of `n` zero bytes (compressed without a dictionary, with this store's tag), and
    // where its content size field starts and how wide it is.
    std::string zeros_frame(std::size_t n, std::size_t& fcs_at, std::size_t& fcs_width) const {
        std::string stored = encoded("", std::string(n, '\0'));
        stored[0] = static_cast<char>(format::dictionary_tag(dictionary_));
        const auto fhd = static_cast<unsigned char>(stored[1]);
        const bool single = fhd & 0x20;
        const int flag = fhd >> 6;
        fcs_width = flag == 0 ? (single ? 1 : 0) : std::size_t{1} << flag;
        fcs_at = 2 + (single ? 0 : 1) + ((fhd & 3) ? std::size_t{1} << ((fhd & 3) - 1) : 0);
        return stored;
    }
    std::vector<std::string> records_;
    std::string dictionary_;
    std::optional<ObjectDecoder> decoder_;
};

TEST_F(HostileObjects, TagsAndTruncationAreCaught) {
    EXPECT_EQ(decode_error(*decoder_, ""), "TarnCorruptError: compressed object: no tag byte");
    const std::string good = encoded(dictionary_, records_[0]);
    std::string scratch;
    ASSERT_EQ(*decoder_->decode(good, scratch), records_[0]);
    EXPECT_EQ(decode_error(*decoder_, good.substr(0, 1)), "TarnCorruptError: compressed object: damaged frame header");
    EXPECT_NE(decode_error(*decoder_, good.substr(0, good.size() - 2)), "<success>");
    std::string flipped = good;
    flipped.back() = static_cast<char>(flipped.back() ^ 0x55);
    const std::string text = decode_error(*decoder_, flipped);
    // Either zstd notices or the bytes come out wrong-sized; never the old bytes silently.
    if (text == "<success>") EXPECT_NE(*decoder_->decode(flipped, scratch), records_[0]);
}

TEST_F(HostileObjects, AFrameOfAnotherDictionaryIsRefusedByItsTag) {
    const std::string other = dictionary_for(similar_records(400, 99) /* different records */);
    ASSERT_NE(format::dictionary_tag(other), format::dictionary_tag(dictionary_));
    const std::string stored = encoded(other, records_[1]);
    EXPECT_EQ(decode_error(*decoder_, stored),
              std::format("TarnCorruptError: compressed object: tag {} is not this store's dictionary ({})",
                          static_cast<unsigned char>(stored[0]), format::dictionary_tag(dictionary_)));
}

TEST_F(HostileObjects, ContentSizesBeyondTheLimitOrBeyondWhatTheBytesHoldAreRefusedBeforeAllocating) {
    // A 4-byte frame header claiming 2^40 bytes (single segment, 8-byte size field).
    std::string huge(1, static_cast<char>(format::dictionary_tag(dictionary_)));
    huge += static_cast<char>(0xE0);
    for (int i = 0; i < 8; ++i) huge += static_cast<char>(i == 5 ? 1 : 0);  // little-endian 2^40
    huge += std::string(3, '\0');
    EXPECT_EQ(decode_error(*decoder_, huge),
              "TarnCorruptError: compressed object: records 1099511627776 bytes, over the object size limit");

    // 3 GiB claimed by a frame of a few bytes: under the limit, but no frame that short holds it.
    std::size_t at = 0, width = 0;
    std::string stored = zeros_frame(100'000, at, width);
    ASSERT_EQ(width, 4u);
    const std::uint32_t claim = 3u << 30;
    for (std::size_t i = 0; i < 4; ++i) stored[at + i] = static_cast<char>(claim >> (8 * i));
    EXPECT_EQ(decode_error(*decoder_, stored),
              std::format("TarnCorruptError: compressed object: records {} bytes, more than {} stored bytes can hold",
                          claim, stored.size() - 1));
}

TEST_F(HostileObjects, AFrameThatDecompressesPastItsRecordedSizeIsABombAndFails) {
    std::size_t at = 0, width = 0;
    std::string stored = zeros_frame(100'000, at, width);
    ASSERT_EQ(width, 4u);
    for (std::size_t i = 0; i < 4; ++i) stored[at + i] = static_cast<char>(i == 0 ? 100 : 0);  // claims 100
    EXPECT_EQ(decode_error(*decoder_, stored),
              "TarnCorruptError: compressed object: decompresses past its recorded 100 bytes");
}

TEST_F(HostileObjects, ADamagedDictionaryFailsEveryCompressedObjectButNotRawOnes) {
    std::string damaged = dictionary_;
    for (std::size_t i = 8; i < 200; ++i) damaged[i] = static_cast<char>(0xFF);  // its entropy tables
    auto d = ObjectDecoder::create(damaged);
    ASSERT_TRUE(d.has_value());
    std::string stored = encoded(dictionary_, records_[2]);
    stored[0] = static_cast<char>(format::dictionary_tag(damaged));
    EXPECT_EQ(decode_error(*d, stored), "TarnCorruptError: compressed object: the store's dictionary is damaged");
    std::string scratch;
    EXPECT_EQ(*d->decode(std::string(1, '\0') + "plain", scratch), "plain");
}

TEST(CompressedStore, ADamagedDictionaryRecordFailsReadsOfCompressedObjectsOnly) {
    ScratchDir dir;
    std::vector<std::string> objects = similar_records(300);
    objects.push_back(random_bytes(200, 5));
    std::string image = compressed_image(objects);
    image[format::kHeaderSize + format::kRecordHeaderSize + 20] ^= 0x40;  // inside the dictionary
    StoreReader r = open_ok(dir, image, /*verify=*/false);
    ASSERT_TRUE(r.enable_decoding().has_value());
    std::string scratch;
    EXPECT_EQ(error_text(r.decode(*r.object_at(*r.lookup("k00000")), scratch)),
              "TarnCorruptError: compressed object: the store's dictionary record fails its CRC32");
    EXPECT_EQ(*r.decode(*r.object_at(*r.lookup("k00300")), scratch), objects[300]);
}

// ---- Frames made other ways --------------------------------------------------------------------

// A stored object made by libzstd directly, with this store's tag: Huffman-coded literals (as
// stores written before literals were stored raw hold), and optionally the dictionary's ID and a
// checksum in the frame.
std::string frame_made_with(std::string_view dictionary, std::string_view object, int level, bool huffman,
                            bool id_and_checksum) {
    ZSTD_CCtx* c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_format, ZSTD_f_zstd1_magicless);
    ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(c, ZSTD_c_literalCompressionMode, huffman ? ZSTD_ps_enable : ZSTD_ps_auto);
    ZSTD_CCtx_setParameter(c, ZSTD_c_dictIDFlag, id_and_checksum ? 1 : 0);
    ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, id_and_checksum ? 1 : 0);
    ZSTD_CDict* d = ZSTD_createCDict(dictionary.data(), dictionary.size(), level);
    ZSTD_CCtx_refCDict(c, d);
    std::string out(1 + ZSTD_compressBound(object.size()), '\0');
    const std::size_t made = ZSTD_compress2(c, out.data() + 1, out.size() - 1, object.data(), object.size());
    ZSTD_freeCDict(d);
    ZSTD_freeCCtx(c);
    EXPECT_FALSE(ZSTD_isError(made));
    out.resize(1 + made);
    out[0] = static_cast<char>(format::dictionary_tag(dictionary));
    return out;
}

// How the first block of a stored object's frame keeps its literals: 0 raw, 1 RLE, 2 and 3
// Huffman-coded; -1 when that block is not a compressed one.
int literal_kind(std::string_view stored) {
    const std::string_view frame = stored.substr(1);
    ZSTD_frameHeader h;
    if (ZSTD_getFrameHeader_advanced(&h, frame.data(), frame.size(), ZSTD_f_zstd1_magicless) != 0) return -2;
    const auto* b = reinterpret_cast<const unsigned char*>(frame.data()) + h.headerSize;
    if (((b[0] >> 1) & 3) != 2) return -1;
    return b[3] & 3;
}

// Stores already written hold frames with Huffman-coded literals, and any valid frame made with
// a store's dictionary must decode, whatever a writer chose.
TEST(CompressedStore, FramesMadeWithOtherWriterChoicesStillDecode) {
    const auto records = similar_records(600, 3);
    const std::string dictionary = dictionary_for(records);
    ASSERT_FALSE(dictionary.empty());
    auto d = ObjectDecoder::create(dictionary);
    ASSERT_TRUE(d.has_value());
    std::string scratch;
    int huffman_seen = 0;
    for (const int level : {1, 3, 19})
        for (const bool extras : {false, true})
            for (std::size_t i = 0; i < 40; ++i) {
                const std::string stored = frame_made_with(dictionary, records[i], level, true, extras);
                huffman_seen += literal_kind(stored) >= 2;
                const auto put = d->decode(stored, scratch);
                ASSERT_TRUE(put.has_value()) << error_text(put) << " level " << level << " record " << i;
                EXPECT_EQ(*put, records[i]);
            }
    EXPECT_GT(huffman_seen, 0);  // the old literal coding really was exercised
}

// A dictionary as large as the writer trains works at every level a caller may ask for, fast
// negative ones to the slowest.
TEST(CompressedStore, ALargeDictionaryWorksAtEveryLevel) {
    const auto records = similar_records(30'000, 6);
    const std::string dictionary = dictionary_for(records);
    ASSERT_GT(dictionary.size(), std::size_t{128} << 10);
    auto d = ObjectDecoder::create(dictionary);
    ASSERT_TRUE(d.has_value());
    std::string scratch;
    for (const int level : {-5, 1, 3, 9, 19, 22}) {
        auto enc = ObjectEncoder::create(dictionary, level);
        ASSERT_TRUE(enc.has_value()) << "level " << level << ": " << error_text(enc);
        std::size_t stored_bytes = 0, put_bytes = 0;
        for (std::size_t i = 0; i < records.size(); i += 997) {
            std::string stored;
            ASSERT_TRUE(enc->encode(records[i], stored).has_value());
            stored_bytes += stored.size();
            put_bytes += records[i].size();
            const auto put = d->decode(stored, scratch);
            ASSERT_TRUE(put.has_value()) << error_text(put);
            EXPECT_EQ(*put, records[i]);
        }
        EXPECT_LT(stored_bytes * 2, put_bytes) << "level " << level;  // the dictionary was used
    }
}

// Each thread decompresses with its own context: eight threads reading one store at once must
// all get every object right (the sanitizer build runs this too).
TEST(CompressedStore, EightThreadsReadOneStoreAtOnce) {
    ScratchDir dir;
    const auto objects = similar_records(2000, 11);
    StoreReader r = open_ok(dir, compressed_image(objects));
    ASSERT_TRUE(r.enable_decoding().has_value());
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            std::string scratch;
            for (int round = 0; round < 3; ++round)
                for (std::size_t i = static_cast<std::size_t>(t); i < objects.size(); i += 3) {
                    auto put = r.decode(*r.object_at(*r.lookup(std::format("k{:05}", i))), scratch);
                    if (!put || *put != objects[i]) ++wrong;
                }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(CompressedStore, ARemoteOpenDecodesWithTheFetchedDictionary) {
    const std::vector<std::string> objects = similar_records(300);
    const std::string image = compressed_image(objects);
    const std::uint64_t index_at = format::load_be64(reinterpret_cast<const unsigned char*>(image.data()) + 16);
    const std::vector<RemoteStore::Piece> pieces = {{0, std::string_view(image).substr(0, 40)},
                                                    {index_at, std::string_view(image).substr(index_at)}};
    const auto fetch = [&](const RemoteStore& s, std::uint64_t offset) {
        const auto e = s.extent(offset);
        return s.object(offset, std::string_view(image).substr(e.begin, e.end - e.begin), true);
    };
    auto remote = RemoteStore::open("s3://b/z.trnk", image.size(), pieces);
    ASSERT_TRUE(remote.has_value()) << error_text(remote);
    ASSERT_TRUE(remote->compressed());
    const auto d = remote->dictionary_extent();
    EXPECT_EQ(d.begin, 40u);
    std::string scratch;
    // Before the dictionary is read nothing decodes (rather than decoding against nothing).
    const auto first = remote->reader().lookup("k00000");
    ASSERT_TRUE(first.has_value());
    const auto stored0 = fetch(*remote, *first);
    ASSERT_TRUE(stored0.has_value());
    EXPECT_FALSE(remote->decode(*stored0, scratch).has_value());
    ASSERT_TRUE(remote->use_dictionary(std::string_view(image).substr(d.begin, d.end - d.begin)).has_value());
    for (std::size_t i = 0; i < objects.size(); i += 37) {
        const auto offset = remote->reader().lookup(std::format("k{:05}", i));
        ASSERT_TRUE(offset.has_value());
        const auto stored = fetch(*remote, *offset);
        ASSERT_TRUE(stored.has_value()) << error_text(stored);
        const auto object = remote->decode(*stored, scratch);
        ASSERT_TRUE(object.has_value()) << error_text(object);
        EXPECT_EQ(*object, objects[i]);
    }
    // A damaged dictionary record: objects stored compressed fail, and say why.
    std::string bad(image.substr(d.begin, d.end - d.begin));
    bad.back() ^= 0x5A;
    auto again = RemoteStore::open("s3://b/z.trnk", image.size(), pieces);
    ASSERT_TRUE(again.has_value());
    ASSERT_TRUE(again->use_dictionary(bad).has_value());
    const auto stored = fetch(*again, *first);
    ASSERT_TRUE(stored.has_value());
    EXPECT_NE(error_text(again->decode(*stored, scratch)).find("dictionary record fails its CRC32"), std::string::npos);
}

}  // namespace
}  // namespace tarnkv::testing
