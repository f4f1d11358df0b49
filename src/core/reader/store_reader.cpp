// Opening a store: map, check the header, optionally the whole-file CRC, and load the index.
#include "core/reader/store_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <format>
#include <limits>
#include <new>
#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/format/layout.hpp"
#include "core/reader/reader_impl.hpp"

namespace tarnkv {

namespace detail {

FileMapping::~FileMapping() {
    if (addr_) ::munmap(addr_, length_);
}

void FileMapping::release(std::uint64_t begin, std::uint64_t end) const noexcept {
    const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    begin = (begin + page - 1) / page * page;
    end = end / page * page;
    if (begin < end) ::madvise(static_cast<char*>(addr_) + begin, end - begin, MADV_DONTNEED);
}

void advise_huge_pages(void* p, std::size_t bytes) noexcept {
    constexpr std::uintptr_t huge = std::uintptr_t{2} << 20;
    const auto begin = (reinterpret_cast<std::uintptr_t>(p) + huge - 1) & ~(huge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(huge - 1);
    if (begin < end) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

std::size_t OffsetHash::operator()(std::uint64_t offset) const noexcept {
    return XXH3_64bits_withSeed(&offset, sizeof offset, seed);
}

}  // namespace detail

namespace {

// Closes the descriptor on every path out of open().
class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { close(); }
    int get() const noexcept { return fd_; }
    void close() noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

std::uint64_t random_seed() noexcept {
    std::uint64_t seed = 0;
    if (::getrandom(&seed, sizeof seed, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof seed)) return seed;
    // No entropy yet (very early boot): the clock and an address still differ between readers.
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return XXH3_64bits_withSeed(&seed, sizeof seed, now ^ reinterpret_cast<std::uintptr_t>(&seed));
}

// Open's message for an index entry that runs past the end of the file.
StoreError truncated_index(format::EntryFault fault) {
    return StoreError::corrupt(fault == format::EntryFault::KeyLenOutside ? "index section truncated (key_len)"
                                                                         : "index section truncated (key + offset)");
}

// What the index holds, measured before anything large is allocated for it.
struct IndexShape {
    std::uint64_t key_bytes = 0;
    std::uint64_t max_offset = 0;
    // Bucket sizes for the insert order, behind a leading zero; only for large indexes.
    std::unique_ptr<std::size_t[]> bucket_starts;
};

// Walks `count` entries from `pos` checking that each lies inside the file, and for a large
// index counts the keys per insert bucket. Nothing sized by `count` is allocated here, so a
// header that claims more entries than the file holds fails as soon as they run out, whatever
// count it claims.
Result<IndexShape> measure_index(format::Image file, std::uint64_t pos, std::uint32_t count, std::uint64_t seed) {
    IndexShape shape;
    if (count >= detail::InsertOrder::grouped_from)
        shape.bucket_starts = std::make_unique<std::size_t[]>(detail::InsertOrder::buckets + 1);
    std::size_t* const counts = shape.bucket_starts ? shape.bucket_starts.get() + 1 : nullptr;
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto entry = format::EntryView::at(file, pos);
        if (!entry) return std::unexpected(truncated_index(entry.error()));
        shape.key_bytes += entry->key.size();
        shape.max_offset = std::max(shape.max_offset, entry->offset);
        if (counts) ++counts[detail::InsertOrder::bucket(detail::key_hash(entry->key, seed))];
        pos += entry->size();
    }
    return shape;
}

// An array for the index with huge page advice (see advise_huge_pages); its bytes are left as
// they come.
template <class T>
std::unique_ptr<T[]> index_array(std::size_t n) {
    auto a = std::make_unique_for_overwrite<T[]>(n);
    detail::advise_huge_pages(a.get(), n * sizeof(T));
    return a;
}

// A temporary array of the load, mapped privately rather than taken from the heap: freed heap
// memory tends to stay resident in the process, and the array is as large as a third of the
// index. Pages are faulted in on first write, in huge pages where the kernel has them.
template <class T>
class ScratchArray {
public:
    ScratchArray() = default;
    explicit ScratchArray(std::size_t n) : bytes_(std::max<std::size_t>(n * sizeof(T), 1)) {
        void* p = ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        data_ = static_cast<T*>(p);
        detail::advise_huge_pages(p, bytes_);
    }
    ScratchArray(ScratchArray&& other) noexcept : data_(std::exchange(other.data_, nullptr)), bytes_(other.bytes_) {}
    ScratchArray& operator=(ScratchArray&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(bytes_, other.bytes_);
        return *this;
    }
    ~ScratchArray() {
        if (data_) ::munmap(data_, bytes_);
    }
    T& operator[](std::size_t i) noexcept { return data_[i]; }

private:
    T* data_ = nullptr;
    std::size_t bytes_ = 0;
};

}  // namespace

namespace detail {

void PackedArray::allocate(std::size_t n, bool wide) {
    wide_ = wide;
    if (wide)
        wide_values_ = index_array<std::uint64_t>(n);
    else
        narrow_values_ = index_array<std::uint32_t>(n);
}

}  // namespace detail

// Lays the entries out as records in one arena, notes their positions, and indexes them by
// key. The index was measured first, so every array is sized once and nothing grows.
bool StoreReader::Impl::load_index(std::uint64_t key_bytes, std::uint64_t max_offset, std::size_t* bucket_starts,
                                   const detail::IndexLimits& limits) {
    const std::size_t n = num_keys;
    offset_width = max_offset > limits.narrow_offset ? sizeof(std::uint64_t) : sizeof(std::uint32_t);
    const std::uint64_t arena_bytes = key_bytes + n * (offset_width + sizeof(std::uint16_t));
    wide_positions = arena_bytes > limits.narrow_position;
    arena = index_array<unsigned char>(static_cast<std::size_t>(arena_bytes));
    positions.allocate(n, wide_positions);
    entries = n;
    return wide_positions ? fill(wide_set, arena_bytes, bucket_starts) : fill(narrow_set, arena_bytes, bucket_starts);
}

template <class Pos>
void StoreReader::Impl::insert(KeySet<Pos>& set, Pos pos, std::size_t key_hash) {
    // A key seen before now names this later record: the last occurrence wins. Positions grow
    // in file order, so the larger one is the later entry whatever order the inserts come in.
    // The stored position is replaced in place; its key, and so its hash and slot, are unchanged.
    const auto [it, inserted] = set.insert(Placed<Pos>{pos, key_hash});
    if (!inserted && *it < pos) const_cast<Pos&>(*it) = pos;
}

// The file can change under a shared mapping (another process writing into it in place), so
// this second walk checks every entry against the file again and does not trust the lengths
// and hashes of the first one: an entry that no longer fits the file, the arena or its insert
// bucket ends the open instead of overrunning.
template <class Pos>
bool StoreReader::Impl::fill(KeySet<Pos>& set, std::uint64_t arena_bytes, std::size_t* bucket_starts) {
    using Order = detail::InsertOrder;
    const std::size_t n = num_keys;
    set.reserve(n);
    struct Staged {
        std::size_t hash;
        Pos pos;
    };
    ScratchArray<Staged> ordered;
    std::unique_ptr<std::size_t[]> bucket_ends;
    if (bucket_starts) {
        ordered = ScratchArray<Staged>(n);
        bucket_ends = std::make_unique_for_overwrite<std::size_t[]>(Order::buckets);
        for (std::size_t b = 0; b < Order::buckets; ++b) {
            bucket_starts[b + 1] += bucket_starts[b];
            bucket_ends[b] = bucket_starts[b + 1];
        }
    }

    const std::size_t header = offset_width + sizeof(std::uint16_t);
    const format::Image file(base, file_size);
    std::uint64_t pos = index_offset;
    std::uint64_t at = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto entry = format::EntryView::at(file, pos);
        if (!entry) return false;
        const std::uint16_t key_len = static_cast<std::uint16_t>(entry->key.size());
        if (arena_bytes - at < header + key_len) return false;
        unsigned char* record = arena.get() + at;
        if (offset_width == sizeof(std::uint32_t)) {
            const auto narrow = static_cast<std::uint32_t>(entry->offset);
            std::memcpy(record, &narrow, sizeof narrow);
        } else {
            std::memcpy(record, &entry->offset, sizeof entry->offset);
        }
        std::memcpy(record + offset_width, &key_len, sizeof key_len);
        unsigned char* key = record + header;
        std::memcpy(key, entry->key.data(), key_len);
        positions.set(i, at);
        const std::size_t key_hash = hash({reinterpret_cast<const char*>(key), key_len});
        if (bucket_starts) {
            const std::size_t b = Order::bucket(key_hash);
            if (bucket_starts[b] == bucket_ends[b]) return false;
            ordered[bucket_starts[b]++] = {key_hash, static_cast<Pos>(at)};
        } else {
            insert(set, static_cast<Pos>(at), key_hash);
        }
        at += header + key_len;
        pos += entry->size();
    }
    index_end = pos;
    // No bucket overflowed and the buckets hold n places in all, so every place was written.
    if (bucket_starts)
        for (std::size_t i = 0; i < n; ++i) insert(set, ordered[i].pos, ordered[i].hash);
    return true;
}

StoreReader::StoreReader(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
StoreReader::StoreReader(StoreReader&&) noexcept = default;
StoreReader& StoreReader::operator=(StoreReader&&) noexcept = default;
StoreReader::~StoreReader() = default;

Result<StoreReader> StoreReader::open(std::string path, bool verify) {
    return detail::open_reader(std::move(path), verify, detail::IndexLimits{});
}

Result<StoreReader> detail::open_reader(std::string path, bool verify, const IndexLimits& limits) {
    const std::string open_failed = "cannot open " + path + ": ";
    if (auto st = check_path(path, open_failed); !st) return std::unexpected(std::move(st.error()));
    // O_NONBLOCK: a FIFO would otherwise hang the open until some writer appears; with it, the
    // FIFO opens and fails at the mapping like any other unmappable file. Regular files ignore it.
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) return std::unexpected(io_error(open_failed, errno));

    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return std::unexpected(io_error("mmap failed: ", errno));
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (st.st_size < 0 || size > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()))
        return std::unexpected(StoreError::io("mmap failed: memory map length overflows isize"));
    // An empty file is mapped with one byte so that it reaches the size check below.
    const std::size_t map_length = size == 0 ? 1 : static_cast<std::size_t>(size);
    // Verification reads every byte at once; populating the mapping up front beats faulting it in.
    const int flags = MAP_SHARED | (verify ? MAP_POPULATE : 0);
    void* addr = ::mmap(nullptr, map_length, PROT_READ, flags, fd.get(), 0);
    if (addr == MAP_FAILED) return std::unexpected(io_error("mmap failed: ", errno));
    FileMapping mapping(addr, map_length);
    fd.close();  // the mapping stays valid without it

    const format::Image file(mapping.data(), size);
    const auto header = format::Header::decode(file);
    if (!header) return std::unexpected(header.error());
    if (verify)
        if (auto st = check_body_crc(file.data(), size, header->file_crc32); !st)
            return std::unexpected(std::move(st.error()));

    const std::uint64_t seed = random_seed();
    IndexShape shape;
    if (header->num_keys > 0) {
        auto measured = measure_index(file, header->index_offset, header->num_keys, seed);
        if (!measured) return std::unexpected(std::move(measured.error()));
        shape = std::move(*measured);
    }

    auto impl = std::make_unique<StoreReader::Impl>(std::move(path), std::move(mapping), size, seed);
    impl->num_keys = header->num_keys;
    impl->num_objects = header->num_objects;
    impl->index_offset = header->index_offset;
    impl->file_crc32 = header->file_crc32;
    if (header->num_keys > 0 && !impl->load_index(shape.key_bytes, shape.max_offset, shape.bucket_starts.get(), limits))
        return std::unexpected(truncated_index(format::EntryFault::KeyOrOffsetOutside));
    // The arena now holds every key and offset, so the reader never reads the index pages of
    // the mapping again; unmapping them takes them out of the process's resident memory (and
    // out of its RSS figure), where they would otherwise stay as long as the reader. Pages
    // that also hold records stay. Should an offset point into the index all the same, its
    // read simply faults the page back in from the file.
    if (header->num_keys > 0) impl->mapping.release(header->index_offset, impl->index_end);
    return StoreReader(std::move(impl));
}

const std::string& StoreReader::path() const noexcept { return impl_->path; }
std::uint64_t StoreReader::file_size() const noexcept { return impl_->file_size; }
std::uint32_t StoreReader::num_keys() const noexcept { return impl_->num_keys; }
std::uint32_t StoreReader::num_objects() const noexcept { return impl_->num_objects; }
std::uint64_t StoreReader::index_offset() const noexcept { return impl_->index_offset; }
std::uint32_t StoreReader::file_crc32() const noexcept { return impl_->file_crc32; }
std::size_t StoreReader::entry_count() const noexcept { return impl_->entries; }
std::string_view StoreReader::key_at(std::size_t i) const noexcept { return impl_->key_at(i); }
std::uint64_t StoreReader::offset_at(std::size_t i) const noexcept { return impl_->offset_at(i); }

}  // namespace tarnkv
