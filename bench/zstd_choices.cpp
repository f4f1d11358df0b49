// Which writer choices make compressed objects decode fastest, and at what size.
//
// Reads records (a 4-byte little-endian length, then the bytes, repeated) from a file, trains a
// dictionary on a uniform sample the way the writer does, compresses every record under each
// choice, and times decoding records picked at random (as a hit on a large store is: the stored
// bytes are mostly not in cache). Prints one row per choice: stored size against the records',
// build time (training and compressing), and decode time per record, both libzstd's bare call
// and the reader's whole decode.
//
//   zstd_choices RECORDS [LOOKUPS] [NAME-FILTER]
//
// Built with -DTARNKV_BENCH=ON; the records of bench/compressed.py come from
// python3.14 bench/compressed.py --dump-records FILE.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#define ZDICT_STATIC_LINKING_ONLY
#include <zdict.h>

#include "core/format/compression.hpp"
#include "core/writer/sample_reservoir.hpp"

namespace {

// This thread's CPU time: the machine may be shared, and waiting for a core is not decoding.
struct Clock {
    using time_point = double;
    static double now() {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
    }
};

double seconds(double since) { return Clock::now() - since; }

struct Choice {
    const char* name;
    int level = 3;
    std::size_t dict_size = 16u << 10;
    bool raw_literals = false;
    int strategy = 0;      // 0: the level's own
    int train_level = 3;   // the level the trainer scores its dictionary with
    int min_match = 0;     // 0: the level's own
    unsigned k = 500, d = 8;  // the trainer's segment and d-mer sizes
    int hash_log = 0, chain_log = 0, search_log = 0;
};

std::string train(const std::vector<std::string_view>& samples, const Choice& c) {
    std::string joined;
    std::vector<std::size_t> sizes;
    for (std::string_view s : samples) {
        if (s.empty()) continue;
        joined += s;
        sizes.push_back(s.size());
    }
    std::string dict(c.dict_size, '\0');
    ZDICT_fastCover_params_t p{};
    p.k = c.k;
    p.d = c.d;
    p.f = 20;
    p.accel = 4;
    p.zParams.compressionLevel = c.train_level;
    const std::size_t made = ZDICT_trainFromBuffer_fastCover(dict.data(), dict.size(), joined.data(), sizes.data(),
                                                             static_cast<unsigned>(sizes.size()), p);
    if (ZDICT_isError(made)) {
        std::fprintf(stderr, "train: %s\n", ZDICT_getErrorName(made));
        std::exit(1);
    }
    dict.resize(made);
    return dict;
}


// What the frames hold, from their block and section headers: how literals are stored (raw,
// RLE, Huffman with its own table, Huffman with the dictionary's), how many there are, how many
// sequences, and how each sequence code table comes (predefined, RLE, sent in the frame, the
// dictionary's). Tables sent in a frame must be built before decoding it.
struct FrameStats {
    std::size_t frames = 0, blocks = 0, lit_type[4] = {}, lit_bytes = 0, seqs = 0, modes[3][4] = {};

    void add(std::string_view frame) {
        ZSTD_frameHeader h;
        if (ZSTD_getFrameHeader_advanced(&h, frame.data(), frame.size(), ZSTD_f_zstd1_magicless) != 0) return;
        ++frames;
        const auto* p = reinterpret_cast<const unsigned char*>(frame.data()) + h.headerSize;
        const auto* end = reinterpret_cast<const unsigned char*>(frame.data()) + frame.size();
        while (p + 3 <= end) {
            const std::uint32_t bh = p[0] | p[1] << 8 | p[2] << 16;
            const bool last = bh & 1;
            const unsigned type = (bh >> 1) & 3;
            const std::size_t size = bh >> 3;
            p += 3;
            if (type == 2) block(p, size);
            p += type == 1 ? 1 : size;
            if (last) break;
        }
    }

    void block(const unsigned char* p, std::size_t) {
        ++blocks;
        const unsigned lt = p[0] & 3, sf = (p[0] >> 2) & 3;
        ++lit_type[lt];
        std::size_t head = 0, regen = 0, stored = 0;
        if (lt < 2) {
            if (sf == 0 || sf == 2) head = 1, regen = p[0] >> 3;
            else if (sf == 1) head = 2, regen = (p[0] >> 4) + (p[1] << 4);
            else head = 3, regen = (p[0] >> 4) + (p[1] << 4) + (p[2] << 12);
            stored = lt == 0 ? regen : 1;
        } else {
            const std::uint64_t v = p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint64_t>(p[3]) << 24 |
                                    static_cast<std::uint64_t>(p[4]) << 32;
            if (sf < 2) head = 3, regen = (v >> 4) & 0x3FF, stored = (v >> 14) & 0x3FF;
            else if (sf == 2) head = 4, regen = (v >> 4) & 0x3FFF, stored = (v >> 18) & 0x3FFF;
            else head = 5, regen = (v >> 4) & 0x3FFFF, stored = (v >> 22) & 0x3FFFF;
        }
        lit_bytes += regen;
        p += head + stored;
        std::size_t n = p[0];
        if (n >= 128) n = n < 255 ? ((n - 128) << 8) + p[1] : p[1] + (p[2] << 8) + 0x7F00;
        const unsigned modes = p[n == 0 ? 0 : p[0] < 128 ? 1 : p[0] < 255 ? 2 : 3];
        seqs += n;
        if (n == 0) return;
        ++this->modes[0][modes >> 6];
        ++this->modes[1][(modes >> 4) & 3];
        ++this->modes[2][(modes >> 2) & 3];
    }

    void print() const {
        const double b = static_cast<double>(blocks);
        std::printf("    %zu frames, %zu compressed blocks; literals raw %.2f rle %.2f huffman+table %.2f "
                    "huffman(dict) %.2f; %.0f literals and %.1f sequences a block\n",
                    frames, blocks, lit_type[0] / b, lit_type[1] / b, lit_type[2] / b, lit_type[3] / b,
                    lit_bytes / b, seqs / b);
        const char* names[] = {"LL", "OF", "ML"};
        for (int i = 0; i < 3; ++i)
            std::printf("    %s tables: predefined %.2f rle %.2f sent %.2f dictionary's %.2f\n", names[i],
                        modes[i][0] / b, modes[i][1] / b, modes[i][2] / b, modes[i][3] / b);
    }
};

void row(const std::vector<std::string>& records, const std::vector<std::string_view>& samples, const Choice& c,
         std::size_t lookups) {
    const auto started = Clock::now();
    const std::string dict = train(samples, c);
    const double train_s = seconds(started);
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_format, ZSTD_f_zstd1_magicless);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_dictIDFlag, 0);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 0);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 1);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, c.level);
    if (c.strategy) ZSTD_CCtx_setParameter(cctx, ZSTD_c_strategy, c.strategy);
    if (c.min_match) ZSTD_CCtx_setParameter(cctx, ZSTD_c_minMatch, c.min_match);
    if (c.hash_log) ZSTD_CCtx_setParameter(cctx, ZSTD_c_hashLog, c.hash_log);
    if (c.chain_log) ZSTD_CCtx_setParameter(cctx, ZSTD_c_chainLog, c.chain_log);
    if (c.search_log) ZSTD_CCtx_setParameter(cctx, ZSTD_c_searchLog, c.search_log);
    if (c.raw_literals) ZSTD_CCtx_setParameter(cctx, ZSTD_c_literalCompressionMode, ZSTD_ps_disable);
    // A dictionary's compression parameters are its own, not the context's: the match
    // parameters must be given to it.
    ZSTD_CCtx_params* cp = ZSTD_createCCtxParams();
    ZSTD_CCtxParams_init(cp, c.level);
    ZSTD_CCtxParams_setParameter(cp, ZSTD_c_format, ZSTD_f_zstd1_magicless);
    if (c.strategy) ZSTD_CCtxParams_setParameter(cp, ZSTD_c_strategy, c.strategy);
    if (c.min_match) ZSTD_CCtxParams_setParameter(cp, ZSTD_c_minMatch, c.min_match);
    if (c.hash_log) ZSTD_CCtxParams_setParameter(cp, ZSTD_c_hashLog, c.hash_log);
    if (c.chain_log) ZSTD_CCtxParams_setParameter(cp, ZSTD_c_chainLog, c.chain_log);
    if (c.search_log) ZSTD_CCtxParams_setParameter(cp, ZSTD_c_searchLog, c.search_log);
    ZSTD_CDict* cdict = c.strategy || c.min_match || c.hash_log || c.chain_log || c.search_log
                            ? ZSTD_createCDict_advanced2(dict.data(), dict.size(), ZSTD_dlm_byCopy, ZSTD_dct_auto, cp,
                                                         ZSTD_defaultCMem)
                            : ZSTD_createCDict(dict.data(), dict.size(), c.level);
    ZSTD_freeCCtxParams(cp);
    ZSTD_CCtx_refCDict(cctx, cdict);

    // Stored forms side by side in one buffer, like a data section: tag byte, then the frame or
    // the record.
    const unsigned char tag = tarnkv::format::dictionary_tag(dict);
    std::string section;
    std::vector<std::pair<std::size_t, std::size_t>> at;
    at.reserve(records.size());
    std::size_t raw_total = 0;
    std::string frame;
    for (const std::string& rec : records) {
        raw_total += rec.size();
        frame.resize(rec.size());
        std::size_t made = rec.size() > 1 ? ZSTD_compress2(cctx, frame.data(), rec.size() - 1, rec.data(), rec.size()) : 0;
        if (ZSTD_isError(made)) made = 0;
        at.emplace_back(section.size(), 1 + (made ? made : rec.size()));
        section += static_cast<char>(made ? tag : 0);
        section.append(made ? std::string_view(frame.data(), made) : std::string_view(rec));
    }
    const double build_s = seconds(started);
    ZSTD_freeCDict(cdict);
    ZSTD_freeCCtx(cctx);

    std::mt19937_64 rng(1);
    std::vector<std::uint32_t> order(lookups);
    for (auto& i : order) i = static_cast<std::uint32_t>(rng() % records.size());

    FrameStats fs;
    for (const auto& [off, len] : at)
        if (section[off] != 0) fs.add(std::string_view(section).substr(off + 1, len - 1));

    // libzstd's bare call: one context, the prepared dictionary referenced once.
    ZSTD_DCtx* dctx = ZSTD_createDCtx();
    ZSTD_DCtx_setParameter(dctx, ZSTD_d_format, ZSTD_f_zstd1_magicless);
    ZSTD_DDict* ddict = ZSTD_createDDict(dict.data(), dict.size());
    std::string out(1u << 20, '\0');
    std::size_t sink = 0;
    auto t = Clock::now();
    for (std::uint32_t i : order) {
        const auto [off, len] = at[i];
        if (section[off] == 0) {
            std::memcpy(out.data(), section.data() + off + 1, len - 1);
            sink += len;
            continue;
        }
        const std::size_t n =
            ZSTD_decompress_usingDDict(dctx, out.data(), out.size(), section.data() + off + 1, len - 1, ddict);
        sink += n;
    }
    const double bare_us = seconds(t) / static_cast<double>(lookups) * 1e6;

    // The same decode with everything in cache (each record 20 times running), fitted to
    // t = fixed + per_sequence * sequences + per_byte * bytes over records: what a frame costs
    // before any byte of it, and what its sequences and bytes add.
    {
        double sxx[3][3] = {}, sxy[3] = {};
        for (std::size_t j = 0; j < 3000; ++j) {
            const auto [off, len] = at[order[j]];
            if (section[off] == 0) continue;
            const std::string_view frame = std::string_view(section).substr(off + 1, len - 1);
            FrameStats one;
            one.add(frame);
            std::size_t n = 0;
            ZSTD_decompress_usingDDict(dctx, out.data(), out.size(), frame.data(), frame.size(), ddict);
            const auto t0 = Clock::now();
            for (int rep = 0; rep < 20; ++rep)
                n = ZSTD_decompress_usingDDict(dctx, out.data(), out.size(), frame.data(), frame.size(), ddict);
            const double us = seconds(t0) / 20 * 1e6;
            const double x[3] = {1.0, static_cast<double>(one.seqs), static_cast<double>(n)};
            for (int a = 0; a < 3; ++a) {
                for (int b = 0; b < 3; ++b) sxx[a][b] += x[a] * x[b];
                sxy[a] += x[a] * us;
            }
        }
        // Solve the 3x3 normal equations by Cramer's rule.
        const auto det = [](double m[3][3]) {
            return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                   m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
        };
        const double d = det(sxx);
        double coef[3];
        for (int c = 0; c < 3; ++c) {
            double m[3][3];
            for (int a = 0; a < 3; ++a)
                for (int b = 0; b < 3; ++b) m[a][b] = b == c ? sxy[a] : sxx[a][b];
            coef[c] = det(m) / d;
        }
        std::printf("    in cache: %.3f us a frame + %.4f us a sequence + %.5f us a byte (mean %.3f us)\n", coef[0],
                    coef[1], coef[2], sxy[0] / sxx[0][0]);
    }

    // The dictionary laid out right before the output, so that matches in it are matches in
    // the frame's own history: the decoder copies them inline instead of calling memmove.
    double joined_us = 0;
    {
        std::string joined(dict.size() + (1u << 16), '\0');
        std::memcpy(joined.data(), dict.data(), dict.size());
        ZSTD_DDict* ref = ZSTD_createDDict_byReference(joined.data(), dict.size());
        char* dst = joined.data() + dict.size();
        const auto t0 = Clock::now();
        for (std::uint32_t i : order) {
            const auto [off, len] = at[i];
            if (section[off] == 0) continue;
            sink += ZSTD_decompress_usingDDict(dctx, dst, 1u << 16, section.data() + off + 1, len - 1, ref);
        }
        joined_us = seconds(t0) / static_cast<double>(lookups) * 1e6;
        // And in cache, the same record 20 times running.
        double hot = 0;
        for (std::size_t j = 0; j < 3000; ++j) {
            const auto [off, len] = at[order[j]];
            if (section[off] == 0) continue;
            ZSTD_decompress_usingDDict(dctx, dst, 1u << 16, section.data() + off + 1, len - 1, ref);
            const auto t1 = Clock::now();
            for (int rep = 0; rep < 20; ++rep)
                sink += ZSTD_decompress_usingDDict(dctx, dst, 1u << 16, section.data() + off + 1, len - 1, ref);
            hot += seconds(t1) / 20;
        }
        std::printf("    dictionary before the output: %.3f us at random, %.3f us in cache\n", joined_us, hot / 3000 * 1e6);
        ZSTD_freeDDict(ref);
    }

    // The reader's decode, as every read path calls it.
    auto decoder = tarnkv::format::ObjectDecoder::create(dict);
    std::string scratch;
    t = Clock::now();
    for (std::uint32_t i : order) {
        const auto [off, len] = at[i];
        auto got = decoder->decode(std::string_view(section).substr(off, len), scratch);
        sink += got ? got->size() : 0;
    }
    const double reader_us = seconds(t) / static_cast<double>(lookups) * 1e6;

    // What a plain store pays for the same hit: copying the record out.
    std::vector<std::size_t> plain_at;
    std::string plain;
    for (const std::string& rec : records) {
        plain_at.push_back(plain.size());
        plain += rec;
    }
    t = Clock::now();
    for (std::uint32_t i : order) {
        std::memcpy(out.data(), plain.data() + plain_at[i], records[i].size());
        sink += static_cast<unsigned char>(out[0]);
    }
    const double copy_us = seconds(t) / static_cast<double>(lookups) * 1e6;
    ZSTD_freeDDict(ddict);
    ZSTD_freeDCtx(dctx);

    std::printf("%-28s dict %6zu  stored %.3fx  train %5.2f s  compress %5.2f s  decode bare %.3f us  reader %.3f us  copy %.3f us%s\n",
                c.name, dict.size(), static_cast<double>(section.size()) / static_cast<double>(raw_total), train_s,
                build_s - train_s,
                bare_us, reader_us, copy_us, sink == 0 ? " " : "");
    fs.print();
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s RECORDS [LOOKUPS] [FILTER]\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::vector<std::string> records;
    for (;;) {
        unsigned char len[4];
        if (!in.read(reinterpret_cast<char*>(len), 4)) break;
        const std::uint32_t n = len[0] | len[1] << 8 | len[2] << 16 | static_cast<std::uint32_t>(len[3]) << 24;
        std::string rec(n, '\0');
        in.read(rec.data(), n);
        records.push_back(std::move(rec));
    }
    const std::size_t lookups = argc > 2 ? std::stoul(argv[2]) : 200'000;
    const std::string filter = argc > 3 ? argv[3] : "";
    tarnkv::detail::SampleReservoir reservoir;
    for (const std::string& rec : records) reservoir.offer(rec);
    const std::vector<std::string_view> samples = reservoir.samples();
    std::printf("%zu records, %zu samples\n", records.size(), samples.size());

    constexpr std::size_t K = 1024;
    const Choice choices[] = {
        {.name = "level 3 huffman dict 16K (before)"},
        {.name = "level 3 huffman dict 256K", .dict_size = 256 * K},
        {.name = "level 9 huffman dict 16K", .level = 9},
        {.name = "level 3 raw dict 16K", .raw_literals = true},
        {.name = "level 3 raw dict 64K", .dict_size = 64 * K, .raw_literals = true},
        {.name = "level 3 raw dict 110K", .dict_size = 110 * K, .raw_literals = true},
        {.name = "level 3 raw dict 110K hl18", .dict_size = 110 * K, .raw_literals = true, .hash_log = 18, .chain_log = 18},
        {.name = "level 3 raw dict 128K hl18", .dict_size = 128 * K, .raw_literals = true, .hash_log = 18, .chain_log = 18},
        {.name = "level 3 raw dict 256K (chosen)", .dict_size = 256 * K, .raw_literals = true},
        {.name = "level 3 raw dict 256K hl18", .dict_size = 256 * K, .raw_literals = true, .hash_log = 18, .chain_log = 18},
        {.name = "level 3 raw dict 256K hl18 mm6", .dict_size = 256 * K, .raw_literals = true, .min_match = 6, .hash_log = 18, .chain_log = 18},
        {.name = "level 3 raw dict 256K hl18 mm7", .dict_size = 256 * K, .raw_literals = true, .min_match = 7, .hash_log = 18, .chain_log = 18},
        {.name = "level 3 raw dict 256K lazy", .dict_size = 256 * K, .raw_literals = true, .strategy = 4, .hash_log = 18, .chain_log = 18},
    };
    for (const Choice& c : choices)
        if (filter.empty() || std::string_view(c.name).find(filter) != std::string_view::npos)
            row(records, samples, c, lookups);
}
