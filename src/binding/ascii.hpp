// Pure ASCII bytes become a str by a plain copy, without the UTF-8 decoder.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarnkv::py {

// Eight bytes at a time.
inline bool is_ascii(const char* s, std::size_t n) noexcept {
    std::uint64_t seen = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, s + i, 8);
        seen |= w;
    }
    for (; i < n; ++i) seen |= static_cast<unsigned char>(s[i]);
    return (seen & 0x8080'8080'8080'8080ull) == 0;
}

// A new str holding `n` bytes that is_ascii() accepted; nullptr with MemoryError.
inline PyObject* ascii_str(const char* s, std::size_t n) {
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (text) std::memcpy(PyUnicode_1BYTE_DATA(text), s, n);
    return text;
}

}  // namespace tarnkv::py
