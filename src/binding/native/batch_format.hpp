// The packed record batch, for the extension's code: its layout is in core/format/batch.hpp,
// and its names (tarnkv::batch) are found from tarnkv::native as they are.
#pragma once

#include "core/format/batch.hpp"
