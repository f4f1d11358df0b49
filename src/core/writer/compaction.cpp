// Looking keys up in a builder, and leaving out the objects no key maps to.
#include <limits>
#include <vector>

#include "core/format/layout.hpp"
#include "core/writer/store_builder.hpp"

namespace tarnkv {

namespace fmt = format;

std::optional<std::uint32_t> StoreBuilder::find_key(std::string_view key) const noexcept {
    const auto slot = find_slot(key, key_hash(key));
    if (!slot) return std::nullopt;
    return slots_[*slot].obj_id;
}

std::size_t StoreBuilder::count_unreferenced() const {
    std::vector<bool> named(num_objects());
    std::size_t count = num_objects();
    for (const Slot& s : slots_)
        if (!named[s.obj_id]) {
            named[s.obj_id] = true;
            --count;
        }
    return count;
}

Result<std::unique_ptr<StoreBuilder>> StoreBuilder::without_unreferenced() const {
    constexpr std::uint32_t kDropped = std::numeric_limits<std::uint32_t>::max();
    std::vector<std::uint32_t> new_id(num_objects(), kDropped);
    for (const Slot& s : slots_) new_id[s.obj_id] = 0;  // marked: kept

    auto out = std::make_unique<StoreBuilder>();
    out->by_key_order_ = by_key_order_;
    // Objects are kept as given until a build compresses them.
    if (level_)
        if (auto st = out->compress(*level_); !st) return std::unexpected(std::move(st.error()));
    // Records are copied whole, CRC included: they do not change by moving.
    for (std::size_t id = 0; id < num_objects(); ++id) {
        if (new_id[id] == kDropped) continue;
        const std::uint64_t at = record_offsets_[id] - fmt::kHeaderSize;
        const std::uint64_t end = id + 1 < num_objects() ? record_offsets_[id + 1] - fmt::kHeaderSize : data_.size();
        new_id[id] = static_cast<std::uint32_t>(out->record_offsets_.size());
        out->record_offsets_.push_back(fmt::kHeaderSize + out->data_.size());
        out->data_.append(data_.data() + at, end - at);
    }
    out->keys_.reserve_more(keys_.size());
    for (const Slot& s : slots_)
        if (auto st = out->add_key(key_of(s), new_id[s.obj_id]); !st) return std::unexpected(std::move(st.error()));
    return out;
}

}  // namespace tarnkv
