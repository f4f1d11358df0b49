#include "binding/results.hpp"

#include <cstdint>
#include <cstring>


namespace tarnkv::py {

namespace {

bool is_ascii(const char* s, std::size_t n) noexcept {
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

}  // namespace

PyObject* key_text(std::string_view key) {
    const char* s = key.data();
    const std::size_t n = key.size();
    // Lengths 0 and 1 go through the decoder, which hands out the interpreter's shared
    // one-character strings.
    if (n > 1 && is_ascii(s, n)) {
        PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
        if (text) std::memcpy(PyUnicode_1BYTE_DATA(text), s, n);
        return text;
    }
    // CPython's "replace" handler substitutes maximal subparts, one U+FFFD each.
    return PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), "replace");
}

}  // namespace tarnkv::py
