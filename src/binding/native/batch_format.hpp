// The batch layout lives with the converter that makes it; the bindings read it under their
// own namespace.
#pragma once

#include "core/convert/batch.hpp"

namespace tarnkv::native {
namespace batch = ::tarnkv::convert::batch;
}  // namespace tarnkv::native
