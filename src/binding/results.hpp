// Turning core results into Python objects. Each returns a new reference, or nullptr with an
// exception set.
#pragma once

#include <Python.h>

#include <string_view>

#include "core/reader/store_reader.hpp"

namespace tarnkv::py {

// A new bytes holding a copy of `b` (straight from the mapping: one copy, no staging buffer).
inline PyObject* to_bytes(std::string_view b) {
    return PyBytes_FromStringAndSize(b.data(), static_cast<Py_ssize_t>(b.size()));
}

// Bytes (a key, a path) as text: UTF-8 with each maximal ill-formed subsequence replaced by
// U+FFFD.
PyObject* lossy_text(std::string_view key);

}  // namespace tarnkv::py
