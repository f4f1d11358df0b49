// How long core operations (a build, a verification) report their progress to the caller.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace tarnkv {

// progress(done, total), in bytes, called every kProgressStep bytes or so and once at the end.
// Returning false stops the operation, which then fails with the general error kCancelled.
using Progress = std::function<bool(std::uint64_t done, std::uint64_t total)>;
inline constexpr std::uint64_t kProgressStep = std::uint64_t{32} << 20;
inline constexpr std::string_view kCancelled = "cancelled";

}  // namespace tarnkv
