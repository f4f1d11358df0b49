// SpillingBuilder: a writer's objects and keys on disk, for stores larger than memory.
//
// What is added is buffered in a run file (core/sets/runs.hpp, one shard): objects as records
// in the order of their IDs, keys as entries naming their object by ID, numbered in the order
// they came. Each time the buffer fills, the run spills a section: the records as they came and
// the entries sorted by key. build() merges the sorted sections of every run twice, streaming:
// once to settle keys given more than once by the writer's policy and learn which objects some
// key still names, then to write the store: the records (those no key names left out) in ID
// order, or in the order of their first key, then the index. The file is the one StoreBuilder
// writes from the same calls, byte for byte, through the same locked temporary and rename.
//
// In key order, the records are not fetched from the runs one by one: they are copied in one
// walk down the runs into parts that each cover a stretch of the key order, and each part is
// then put in order in memory and written out. All but the first part wait in a nameless
// scratch file beside the runs, which goes with the build however it ends: while it writes, a
// build needs about as much free space again as the records it keeps.
//
// Memory: the run's buffer (about `spill_bytes`) while adding; during a build, a few bits and
// one offset per object, and in key order one ID per kept object until the parts are planned,
// then one part (about `spill_bytes` / 2) and what the others gather before they are written;
// compressed, also the chunks of objects on their way through every core (about
// `spill_bytes` / 4, as given and as compressed).
// Every walk over the runs lets go of their pages as it passes them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/format/error.hpp"
#include "core/format/progress.hpp"
#include "core/sets/merge.hpp"
#include "core/sets/runs.hpp"
#include "core/writer/store_builder.hpp"

namespace tarnkv {

// A key that build() found given to two objects under Policy::Error: the object it mapped to
// first and the one it was then given to.
struct SpilledDuplicate {
    std::string key;
    std::uint64_t existing;
    std::uint64_t wanted;
};

struct SpillBuildInfo {
    BuildInfo info;
    // Objects left out as no key names them: never named, or every key re-pointed ("last").
    std::uint64_t dropped;
    // Objects left out under "first" because every key they were given had an earlier object:
    // kept in memory, the writer would not have stored them.
    std::uint64_t idle;
    // Keys given again after a spill (kept on their earlier object, or re-pointed).
    std::uint64_t repeated;
};

class SpillingBuilder {
public:
    // Makes a private directory under `parent` for its runs; everything in it goes when the
    // builder does. `spill_bytes` is the buffer that fills before a section is written.
    // `by_key` lays objects out as StoreBuilder::order_objects_by_key(true) does.
    static Result<std::unique_ptr<SpillingBuilder>> create(const std::string& parent, std::uint64_t spill_bytes,
                                                           sets::Policy policy, bool by_key = false);
    SpillingBuilder(const SpillingBuilder&) = delete;
    SpillingBuilder& operator=(const SpillingBuilder&) = delete;
    ~SpillingBuilder();

    // Makes the store a compressed one, as StoreBuilder::compress() does in key order: each
    // build trains a dictionary on a sample of the objects it stores, taken in ID order as the
    // runs are read, and compresses them on their way out. Only before the first object, and
    // only in key order.
    Status compress(int level);
    // Takes in what an in-memory builder holds, with the same object IDs; this builder must be
    // empty. On failure this builder is spent (its runs removed). The layout follows this
    // builder's choice, not `from`'s.
    Status take_over(const StoreBuilder& from);
    // As StoreBuilder's: the object's ID, numbered on from what is here. A failed spill (a
    // write, a full disk) removes the run and fails every later call: the builder is spent.
    Result<std::uint32_t> add_object(std::string_view bytes);
    // Names object `obj_id` by `key`. Keys given more than once are settled by build().
    Status add_key(std::string_view key, std::uint64_t obj_id);

    std::uint64_t num_objects() const noexcept { return objects_; }
    // Keys given so far, each time it was given.
    std::uint64_t names() const noexcept { return names_; }
    const std::string& directory() const noexcept { return dir_; }

    // Writes the store at `path` as StoreBuilder::build() does (same lock, progress, cleanup).
    // Under Policy::Error a key given to two objects fails it with the general "duplicate key",
    // publishing nothing; duplicate() then names them. Adding may go on after a build.
    Result<SpillBuildInfo> build(std::string_view path, const Progress& progress = {});
    const std::optional<SpilledDuplicate>& duplicate() const noexcept { return duplicate_; }

private:
    SpillingBuilder(std::string dir, std::uint64_t spill_bytes, sets::Policy policy, bool by_key)
        : dir_(std::move(dir)), spill_bytes_(spill_bytes), policy_(policy), by_key_(by_key) {}
    Status usable();
    Status start_run();
    // Finishes the run being written, so that build() can read it.
    Status seal();
    void fail() noexcept;
    // Spends the builder: its runs are removed and every later call fails with `err`.
    StoreError spend(StoreError err);

    std::string dir_;
    std::uint64_t spill_bytes_;
    sets::Policy policy_;
    bool by_key_;
    std::optional<int> level_;  // compressed at this zstd level
    std::optional<sets::RunWriter> run_;
    std::vector<std::string> runs_;  // finished runs, oldest first
    std::uint64_t objects_ = 0;
    std::uint64_t names_ = 0;
    std::optional<StoreError> failure_;  // what spent the builder
    std::optional<SpilledDuplicate> duplicate_;
};

}  // namespace tarnkv
