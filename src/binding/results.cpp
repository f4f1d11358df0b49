#include "binding/results.hpp"

#include "binding/ascii.hpp"

namespace tarnkv::py {

PyObject* lossy_text(std::string_view key) {
    const char* s = key.data();
    const std::size_t n = key.size();
    // Lengths 0 and 1 go through the decoder, which hands out the interpreter's shared
    // one-character strings.
    if (n > 1 && is_ascii(s, n)) return ascii_str(s, n);
    // CPython's "replace" handler substitutes maximal subparts, one U+FFFD each.
    return PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), "replace");
}

}  // namespace tarnkv::py
