// Helpers shared by the core tests: a scratch directory, hand-made store images built from the
// format's own encoders (for files the builder would never write), and error texts.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <format>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <csignal>

#include <gtest/gtest.h>
#include <sys/resource.h>

// Whether AddressSanitizer is compiled in: g++ says so by a macro, clang by a feature test.
#if defined(__SANITIZE_ADDRESS__)
#define TARNKV_TEST_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARNKV_TEST_UNDER_ASAN 1
#endif
#endif
#ifndef TARNKV_TEST_UNDER_ASAN
#define TARNKV_TEST_UNDER_ASAN 0
#endif

#include "core/format/layout.hpp"
#include "core/reader/store_reader.hpp"
#include "core/writer/store_builder.hpp"

namespace tarnkv::testing {

// A fresh directory under the system's temporary directory, removed with everything in it.
class ScratchDir {
public:
    ScratchDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "tarnkv-test-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) std::abort();
        path_ = tmpl;
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    std::string at(std::string_view name) const { return path_ + "/" + std::string(name); }

    std::string write(std::string_view name, std::string_view bytes) const {
        const std::string p = at(name);
        std::ofstream(p, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return p;
    }

private:
    std::string path_;
};

// Lowers the process's file size limit for a scope, so that a write past `bytes` fails with
// EFBIG (SIGXFSZ ignored meanwhile): a full disk that needs no mount.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &old_);
        rlimit lower = old_;
        lower.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lower);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, old_handler_);
    }

private:
    rlimit old_{};
    void (*old_handler_)(int) = nullptr;
};

// A field of /proc/self/status, in KiB; -1 when it cannot be read.
inline long status_kib(std::string_view field) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':')
            return std::stol(line.substr(field.size() + 1));
    return -1;
}

// Resets the peak RSS the kernel keeps for this process (VmHWM) to the present RSS; false
// when it cannot be done or read here. Mapped file pages count in it as allocations do.
inline bool reset_peak_rss() {
    return (std::ofstream("/proc/self/clear_refs") << "5" << std::flush) && status_kib("VmHWM") >= 0;
}

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// `v` as `width` big-endian bytes, for fields a test writes deliberately wrong.
inline std::string be(std::uint64_t v, int width) {
    std::string out(static_cast<std::size_t>(width), '\0');
    for (int i = width - 1; i >= 0; --i, v >>= 8) out[static_cast<std::size_t>(i)] = static_cast<char>(v & 0xFF);
    return out;
}

// A header as the builder lays it out; the fields a test wants wrong are patched afterwards.
inline std::string header(std::uint32_t num_keys, std::uint32_t num_objects, std::uint64_t index_offset,
                          std::uint32_t crc = 0) {
    const auto h = format::Header{num_keys, num_objects, index_offset, crc}.encode();
    return std::string(reinterpret_cast<const char*>(h.data()), h.size());
}

inline std::string record(std::string_view bytes) {
    unsigned char head[format::kRecordHeaderSize];
    format::encode_record_head(head, bytes);
    return std::string(reinterpret_cast<const char*>(head), sizeof head) + std::string(bytes);
}

inline std::string entry(std::string_view key, std::uint64_t offset) {
    std::string out(format::entry_size(key.size()), '\0');
    format::encode_entry(reinterpret_cast<unsigned char*>(out.data()), key, offset);
    return out;
}

// Rewrites the stored whole-file CRC to match the body, so a test reaches the checks after it.
inline std::string sealed(std::string file) {
    const std::string crc = be(format::crc32(std::string_view(file).substr(format::kHeaderSize)), 4);
    file.replace(format::kFileCrcAt, 4, crc);
    return file;
}

// A hand-made store: `body` follows the header, whose index_offset is `index_at` (absolute).
inline std::string store(std::uint32_t num_keys, std::uint64_t index_at, const std::string& body,
                         std::uint32_t num_objects = 0) {
    return sealed(header(num_keys, num_objects, index_at) + body);
}

// A builder-made store image: objects in ID order, then key -> object ID mappings.
inline std::string built(std::initializer_list<std::string_view> objects,
                         std::initializer_list<std::pair<std::string_view, std::uint32_t>> keys) {
    StoreBuilder b;
    for (auto o : objects) EXPECT_TRUE(b.add_object(o).has_value());
    for (auto [k, id] : keys) EXPECT_TRUE(b.add_key(k, id).has_value());
    return b.image();
}

template <class T>
std::string error_text(const Result<T>& r) {
    return r ? std::string("<success>") : r.error().display();
}

// Opens an image written to `dir`, expecting success.
inline StoreReader open_ok(const ScratchDir& dir, std::string_view image, bool verify = true) {
    auto r = StoreReader::open(dir.write("store.trnk", image), verify);
    // gtest reports an exception escaping a test body as that test's failure.
    if (!r) throw std::runtime_error("open failed: " + r.error().display());
    return std::move(*r);
}

// Records alike in shape, as a store of real records holds: what a dictionary learns from.
inline std::vector<std::string> similar_records(std::size_t n, unsigned seed = 1) {
    std::mt19937 rng(seed);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < n; ++i)
        out.push_back(std::format(R"({{"package":"lib{}-dev","version":"{}.{}.{}","section":"libdevel",)"
                                  R"("maintainer":"Team {} <team{}@example.org>","depends":["libc6","lib{}"]}})",
                                  rng() % 5000, rng() % 10, rng() % 30, rng() % 99, rng() % 40, rng() % 40,
                                  rng() % 900));
    return out;
}

// `half` records of one shape, then `half` of another, as inputs drift (IDs grow wider, fields
// appear): a dictionary learned from the first objects only leaves the later ones at about
// nine tenths of their size.
inline std::vector<std::string> drifting_records(std::size_t half) {
    std::vector<std::string> objects = similar_records(half, 3);
    std::mt19937 rng(11);
    for (std::size_t i = 0; i < half; ++i)
        objects.push_back(std::format(R"({{"user_id":{},"country":"{}","plan":"tier-{}","flags":[{},{},{}],"tz":"UTC+{}"}})",
                                      4'000'000'000ULL + rng() % 1000, rng() % 2 ? "Portugal" : "Argentina", rng() % 4,
                                      rng() % 2, rng() % 2, rng() % 2, rng() % 12));
    return objects;
}

}  // namespace tarnkv::testing
