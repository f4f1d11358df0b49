#include "binding/results.hpp"

#include <cstdint>
#include <cstring>

#include "binding/py_ref.hpp"

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

PyObject* pairs_list(const std::vector<Item>& items) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    // The core's pass checked every record long before this one copies its bytes, and a large
    // list's records have left the cache by then: load them again ahead of the copies.
    constexpr std::size_t kAhead = 16;
    const auto prefetch = [&](std::size_t i) {
        if (i >= items.size()) return;
        const std::string_view o = items[i].object;
        __builtin_prefetch(o.data());
        if (o.size() > 32) __builtin_prefetch(o.data() + o.size() - 1);
    };
    for (std::size_t i = 0; i < kAhead; ++i) prefetch(i);
    for (std::size_t i = 0; i < items.size(); ++i) {
        prefetch(i + kAhead);
        PyObject* pair = PyTuple_New(2);
        if (!pair) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);  // the list owns it from here
        PyObject* k = key_text(items[i].key);
        if (!k) return nullptr;
        PyTuple_SET_ITEM(pair, 0, k);
        PyObject* v = to_bytes(items[i].object);
        if (!v) return nullptr;
        PyTuple_SET_ITEM(pair, 1, v);
    }
    return list.release();
}

}  // namespace tarnkv::py
