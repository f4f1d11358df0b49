#include "core/format/compression.hpp"

#include <algorithm>
#include <cstring>
#include <format>
#include <optional>
#include <vector>

#define ZSTD_STATIC_LINKING_ONLY  // the magicless frame format
#include <zstd.h>
#define ZDICT_STATIC_LINKING_ONLY  // the fast cover trainer with fixed parameters
#include <zdict.h>

#include "core/format/layout.hpp"

namespace tarnkv::format {

namespace {

struct FreeCCtx {
    void operator()(ZSTD_CCtx* c) const noexcept { ZSTD_freeCCtx(c); }
};
struct FreeCDict {
    void operator()(ZSTD_CDict* d) const noexcept { ZSTD_freeCDict(d); }
};
struct FreeDCtx {
    void operator()(ZSTD_DCtx* c) const noexcept { ZSTD_freeDCtx(c); }
};
struct FreeDDict {
    void operator()(ZSTD_DDict* d) const noexcept { ZSTD_freeDDict(d); }
};

// The largest block a frame holds decompresses to 128 KiB, and every block that yields bytes
// takes at least four (a 3-byte block header and one byte of content).
constexpr std::uint64_t kBlockMax = 128u << 10;
constexpr std::uint64_t kMinBlockBytes = 4;

StoreError corrupt(std::string_view what) { return StoreError::corrupt(std::format("compressed object: {}", what)); }

// This thread's decompression context, made on first use and kept for the thread's life: one
// context is never used by two threads, and none is made per read.
ZSTD_DCtx* thread_context() {
    thread_local std::unique_ptr<ZSTD_DCtx, FreeDCtx> ctx = [] {
        std::unique_ptr<ZSTD_DCtx, FreeDCtx> c(ZSTD_createDCtx());
        if (c && ZSTD_isError(ZSTD_DCtx_setParameter(c.get(), ZSTD_d_format, ZSTD_f_zstd1_magicless))) c.reset();
        return c;
    }();
    return ctx.get();
}

}  // namespace

unsigned char dictionary_tag(std::string_view dictionary) noexcept {
    return static_cast<unsigned char>(1 + crc32(dictionary) % 255);
}

std::string train_dictionary(std::span<const std::string_view> samples, std::size_t max_size) {
    std::string joined;
    std::vector<std::size_t> sizes;
    sizes.reserve(samples.size());
    std::size_t total = 0;
    for (std::string_view s : samples) total += s.size();
    joined.reserve(total);
    for (std::string_view s : samples) {
        if (s.empty()) continue;  // an empty sample teaches nothing and some trainers refuse it
        joined += s;
        sizes.push_back(s.size());
    }
    // Too little to learn from: a dictionary bigger than a tenth of the samples mostly repeats
    // them, and the trainer refuses tiny inputs anyway.
    if (sizes.size() < 8 || joined.size() < 1024) return {};
    const std::size_t capacity = std::min(max_size, std::max<std::size_t>(joined.size() / 10, 256));
    std::string dict(capacity, '\0');
    // The fast cover trainer with fixed parameters, chosen by measurement on the Debian package
    // index (mean 830 bytes) and on one million ~40-byte user records. Segments of 500 bytes and
    // 8-byte d-mers, counting the d-mers of every fourth position (accel 4), train a 256 KiB
    // dictionary on the package index's 3 MiB sample in 0.035 s, storing 0.393x its records;
    // segments of 200 and 6-byte d-mers store 0.398x on that sample (0.391x from an 8 MiB one,
    // counted at every position: 0.155 s). The user records store 0.68x with either. Fewer bits
    // of d-mer hash (f below 20) cost 1-3% of the stored size for a little more speed.
    ZDICT_fastCover_params_t params{};
    params.k = 500;
    params.d = 8;
    params.f = 20;
    params.steps = 0;
    params.accel = 4;
    params.zParams.compressionLevel = 3;
    const std::size_t made = ZDICT_trainFromBuffer_fastCover(dict.data(), dict.size(), joined.data(), sizes.data(),
                                                             static_cast<unsigned>(sizes.size()), params);
    if (ZDICT_isError(made)) return {};
    dict.resize(made);
    return dict;
}

// ---- Encoder --------------------------------------------------------------------------------

struct ObjectEncoder::Impl {
    std::unique_ptr<ZSTD_CCtx, FreeCCtx> cctx;
    std::unique_ptr<ZSTD_CDict, FreeCDict> cdict;
    unsigned char tag;
};

ObjectEncoder::ObjectEncoder(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
ObjectEncoder::ObjectEncoder(ObjectEncoder&&) noexcept = default;
ObjectEncoder& ObjectEncoder::operator=(ObjectEncoder&&) noexcept = default;
ObjectEncoder::~ObjectEncoder() = default;

Result<ObjectEncoder> ObjectEncoder::create(std::string_view dictionary, int level) {
    auto impl = std::make_unique<Impl>();
    impl->tag = dictionary_tag(dictionary);
    impl->cctx.reset(ZSTD_createCCtx());
    if (!impl->cctx) return std::unexpected(StoreError::general("zstd: cannot make a compression context"));
    ZSTD_CCtx* c = impl->cctx.get();
    const auto set = [&](ZSTD_cParameter p, int v) { return !ZSTD_isError(ZSTD_CCtx_setParameter(c, p, v)); };
    // Literals are stored as they are, not Huffman-coded. A hit decodes one small frame, and
    // on the package index (mean 830 bytes, ~200 literals a record) the Huffman stage is most
    // of that: 1.0 us of a frame's decoding against 0.43 us without it, with the frame in cache.
    // The larger dictionary (kDictionarySize) wins back most of the size the literals cost.
    if (!set(ZSTD_c_format, ZSTD_f_zstd1_magicless) || !set(ZSTD_c_dictIDFlag, 0) || !set(ZSTD_c_checksumFlag, 0) ||
        !set(ZSTD_c_contentSizeFlag, 1) || !set(ZSTD_c_compressionLevel, level) ||
        !set(ZSTD_c_literalCompressionMode, ZSTD_ps_disable))
        return std::unexpected(StoreError::general(std::format("zstd: compression level {} is not supported", level)));
    if (!dictionary.empty()) {
        impl->cdict.reset(ZSTD_createCDict(dictionary.data(), dictionary.size(), level));
        if (!impl->cdict || ZSTD_isError(ZSTD_CCtx_refCDict(c, impl->cdict.get())))
            return std::unexpected(StoreError::general("zstd: the dictionary cannot be loaded"));
    }
    return ObjectEncoder(std::move(impl));
}

Status ObjectEncoder::encode(std::string_view object, std::string& out) {
    // Only a frame smaller than the object is worth its decompression: the buffer holds
    // exactly that much, and a frame that does not fit leaves the object raw.
    out.resize(1 + object.size());
    std::size_t made = 0;
    if (object.size() > 1) {
        made = ZSTD_compress2(impl_->cctx.get(), out.data() + 1, object.size() - 1, object.data(), object.size());
        if (ZSTD_isError(made)) {
            if (ZSTD_getErrorCode(made) != ZSTD_error_dstSize_tooSmall)
                return std::unexpected(StoreError::general(std::format("zstd: {}", ZSTD_getErrorName(made))));
            made = 0;
        }
    }
    if (made == 0) {
        // Only here can the stored form outgrow the object: by its tag byte, on an object at
        // the very limit. Every builder that compresses relies on this one check.
        if (out.size() > kMaxObjectLen)
            return std::unexpected(StoreError::general(
                std::format("object of {} bytes exceeds the {}-byte limit once stored", object.size(), kMaxObjectLen)));
        out[0] = static_cast<char>(kRawTag);
        if (!object.empty()) std::memcpy(out.data() + 1, object.data(), object.size());
        return {};
    }
    out[0] = static_cast<char>(impl_->tag);
    out.resize(1 + made);
    return {};
}

// ---- Decoder --------------------------------------------------------------------------------

struct ObjectDecoder::Impl {
    std::unique_ptr<ZSTD_DDict, FreeDDict> ddict;
    std::optional<std::string> broken;  // why the dictionary cannot be used
    std::size_t dict_size;
    unsigned char tag;
};

ObjectDecoder::ObjectDecoder(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
ObjectDecoder::ObjectDecoder(ObjectDecoder&&) noexcept = default;
ObjectDecoder& ObjectDecoder::operator=(ObjectDecoder&&) noexcept = default;
ObjectDecoder::~ObjectDecoder() = default;

Result<ObjectDecoder> ObjectDecoder::create(std::string_view dictionary) {
    auto impl = std::make_unique<Impl>();
    impl->tag = dictionary_tag(dictionary);
    impl->dict_size = dictionary.size();
    if (!dictionary.empty()) {
        // Copied: the decoder must not depend on where the dictionary lies.
        impl->ddict.reset(ZSTD_createDDict(dictionary.data(), dictionary.size()));
        if (!impl->ddict) impl->broken = "the store's dictionary is damaged";
    }
    return ObjectDecoder(std::move(impl));
}

Result<ObjectDecoder> ObjectDecoder::unusable(std::string why) {
    auto impl = std::make_unique<Impl>();
    impl->tag = 0;  // no tag matches: only raw objects decode
    impl->dict_size = 0;
    impl->broken = std::move(why);
    return ObjectDecoder(std::move(impl));
}

Result<ObjectDecoder> ObjectDecoder::from_record(Image file, std::uint64_t at) {
    const auto record = RecordView::at(file, at);
    if (!record) return unusable("the store's dictionary record extends beyond the file");
    if (!record->intact()) return unusable("the store's dictionary record fails its CRC32");
    return create(record->bytes());
}

Result<bool> compressed_by_header(std::uint8_t kind) {
    if (kind == static_cast<std::uint8_t>(Compression::None)) return false;
    if (kind == static_cast<std::uint8_t>(Compression::Zstd)) return true;
    return std::unexpected(StoreError::corrupt(std::format("unknown compression {} in the header", kind)));
}

std::size_t ObjectDecoder::dictionary_size() const noexcept { return impl_->dict_size; }

Result<std::string_view> ObjectDecoder::decode(std::string_view stored, std::string& scratch) const {
    if (stored.empty()) return std::unexpected(corrupt("no tag byte"));
    const auto tag = static_cast<unsigned char>(stored[0]);
    const std::string_view frame = stored.substr(1);
    if (tag == kRawTag) return frame;
    if (impl_->broken) return std::unexpected(corrupt(*impl_->broken));
    if (tag != impl_->tag)
        return std::unexpected(corrupt(std::format("tag {} is not this store's dictionary ({})", tag, impl_->tag)));

    ZSTD_frameHeader header;
    const std::size_t need = ZSTD_getFrameHeader_advanced(&header, frame.data(), frame.size(), ZSTD_f_zstd1_magicless);
    if (ZSTD_isError(need) || need != 0) return std::unexpected(corrupt("damaged frame header"));
    if (header.frameType != ZSTD_frame) return std::unexpected(corrupt("not a data frame"));
    if (header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN) return std::unexpected(corrupt("no recorded size"));
    const std::uint64_t size = header.frameContentSize;
    if (size > kMaxObjectLen)
        return std::unexpected(corrupt(std::format("records {} bytes, over the object size limit", size)));
    if (size > (frame.size() / kMinBlockBytes + 1) * kBlockMax)
        return std::unexpected(
            corrupt(std::format("records {} bytes, more than {} stored bytes can hold", size, frame.size())));
    ZSTD_DCtx* ctx = thread_context();
    if (!ctx) return std::unexpected(StoreError::general("zstd: cannot make a decompression context"));
    // The dictionary is named in the call rather than referenced by the context: the context
    // is shared by every store this thread reads, and the call skips re-referencing it.
    std::size_t made = 0;
    scratch.resize_and_overwrite(static_cast<std::size_t>(size), [&](char* p, std::size_t n) {
        made = ZSTD_decompress_usingDDict(ctx, p, n, frame.data(), frame.size(), impl_->ddict.get());
        return ZSTD_isError(made) ? 0 : made;
    });
    if (ZSTD_isError(made)) {
        if (ZSTD_getErrorCode(made) == ZSTD_error_dstSize_tooSmall)
            return std::unexpected(corrupt(std::format("decompresses past its recorded {} bytes", size)));
        return std::unexpected(corrupt(ZSTD_getErrorName(made)));
    }
    if (made != size)
        return std::unexpected(corrupt(std::format("decompressed to {} bytes, not the recorded {}", made, size)));
    return std::string_view(scratch);
}

}  // namespace tarnkv::format
