// The command line's fast path between JSON Lines and MessagePack, part of tarnkv._native.
//
// `tarnkv build` spends its time turning JSON text into Python objects and those into
// MessagePack; `tarnkv dump` the other way round. Both conversions here go straight from one
// encoding to the other without Python objects in between, and produce exactly the bytes the
// Python path produces (orjson, and msgpack with use_bin_type=True). Anything unusual (a line
// that is not a plain JSON object, a key that is null or not a scalar, numbers beyond 64 bits,
// wrapper objects ("$bytes", "$float", "$map"), extension types, NaN, maps whose keys are not
// text or look like wrappers, repeated map keys, ...) is not handled here: the
// functions stop in front of it and the Python path takes that one record, reports its error
// or stores it, and calls back in for the rest. So the fast path is faster, never different.
//
//   _transcode_json_lines(data, start, key, aliases, value) -> (batch, stop, count)
//     Converts the lines of data[start:] without the interpreter lock, so that a reading thread
//     can do it while another puts the previous batch; stop is the offset of the first line
//     that needs the Python path (or the data's size).
//   _put_json_batch(put, batch, skip) -> index
//     Calls put(key, msgpack, *alias_keys) (keys as bytes) for the batch's records from the
//     skip-th on, up to the first whose put raises: its index (the count when none did).
//   _dump_json_lines(reader, prefix, skip, count) -> (bytes, done, pending)
//     {"key": ..., "value": ...} lines for up to `count` index entries under `prefix`, from the
//     `skip`-th on; `done` entries were used. When the last of them needs the Python path, it
//     is `pending`, a (key bytes, object bytes) pair, and is not among the lines.
#include <Python.h>
#include <yyjson.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>

#include "binding/errors.hpp"
#include "binding/native/batch_format.hpp"
#include "binding/gil.hpp"
#include "binding/native/native.hpp"
#include "binding/native/reader_object.hpp"

namespace tarnkv::native {

using py::ReleasedInterpreter;
using py::without_gil;

namespace {

// Deeper documents are left to the Python path (and its own limits).
constexpr int kMaxDepth = 200;
// Objects up to this many members are checked for repeated names pairwise; larger ones with a set.
constexpr std::size_t kSmallObject = 16;

// --- MessagePack out, byte for byte as msgpack.packb(obj, use_bin_type=True) ---------------

// Appends to `out`, which may already hold other records.
class Pack {
public:
    explicit Pack(std::string& to) : out(to) {}
    std::string& out;

    void nil() { out.push_back('\xc0'); }
    void boolean(bool v) { out.push_back(v ? '\xc3' : '\xc2'); }
    void uint(std::uint64_t v) {
        if (v < 0x80) out.push_back(static_cast<char>(v));
        else if (v <= 0xff) head(0xcc, v, 1);
        else if (v <= 0xffff) head(0xcd, v, 2);
        else if (v <= 0xffffffffu) head(0xce, v, 4);
        else head(0xcf, v, 8);
    }
    void sint(std::int64_t v) {
        if (v >= 0) return uint(static_cast<std::uint64_t>(v));
        if (v >= -32) out.push_back(static_cast<char>(v));
        else if (v >= -128) head(0xd0, static_cast<std::uint64_t>(v), 1);
        else if (v >= -32768) head(0xd1, static_cast<std::uint64_t>(v), 2);
        else if (v >= INT32_MIN) head(0xd2, static_cast<std::uint64_t>(v), 4);
        else head(0xd3, static_cast<std::uint64_t>(v), 8);
    }
    void real(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, 8);
        head(0xcb, bits, 8);
    }
    void str(const char* p, std::size_t n) {
        if (n < 32) out.push_back(static_cast<char>(0xa0 | n));
        else if (n <= 0xff) head(0xd9, n, 1);
        else if (n <= 0xffff) head(0xda, n, 2);
        else head(0xdb, n, 4);
        out.append(p, n);
    }
    void array(std::size_t n) { container(n, 0x90, 0xdc); }
    void map(std::size_t n) { container(n, 0x80, 0xde); }

private:
    void head(unsigned char tag, std::uint64_t v, int width) {
        out.push_back(static_cast<char>(tag));
        for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<char>(v >> (8 * i)));
    }
    void container(std::size_t n, unsigned char fix, unsigned char tag16) {
        if (n < 16) out.push_back(static_cast<char>(fix | n));
        else if (n <= 0xffff) head(tag16, n, 2);
        else head(tag16 + 1, n, 4);
    }
};

bool names_repeat(yyjson_val* obj) {
    const std::size_t n = yyjson_obj_size(obj);
    if (n < 2) return false;
    yyjson_obj_iter it = yyjson_obj_iter_with(obj);
    if (n <= kSmallObject) {
        std::array<std::string_view, kSmallObject> seen;
        std::size_t count = 0;
        while (yyjson_val* k = yyjson_obj_iter_next(&it)) {
            const std::string_view name(yyjson_get_str(k), yyjson_get_len(k));
            for (std::size_t i = 0; i < count; ++i)
                if (seen[i] == name) return true;
            seen[count++] = name;
        }
        return false;
    }
    boost::unordered_flat_set<std::string_view> seen;
    seen.reserve(n);
    while (yyjson_val* k = yyjson_obj_iter_next(&it))
        if (!seen.emplace(yyjson_get_str(k), yyjson_get_len(k)).second) return true;
    return false;
}

// False: the value holds something only the Python path handles the same way.
bool pack_json(yyjson_val* v, Pack& p, int depth, bool names_checked = false) {
    switch (yyjson_get_type(v)) {
        case YYJSON_TYPE_NULL: p.nil(); return true;
        case YYJSON_TYPE_BOOL: p.boolean(yyjson_get_bool(v)); return true;
        case YYJSON_TYPE_NUM:
            switch (yyjson_get_subtype(v)) {
                case YYJSON_SUBTYPE_UINT: p.uint(yyjson_get_uint(v)); return true;
                case YYJSON_SUBTYPE_SINT: p.sint(yyjson_get_sint(v)); return true;
                default: p.real(yyjson_get_real(v)); return true;
            }
        case YYJSON_TYPE_STR: p.str(yyjson_get_str(v), yyjson_get_len(v)); return true;
        case YYJSON_TYPE_ARR: {
            if (depth >= kMaxDepth) return false;
            p.array(yyjson_arr_size(v));
            yyjson_arr_iter it = yyjson_arr_iter_with(v);
            while (yyjson_val* item = yyjson_arr_iter_next(&it))
                if (!pack_json(item, p, depth + 1)) return false;
            return true;
        }
        case YYJSON_TYPE_OBJ: {
            if (depth >= kMaxDepth || (!names_checked && names_repeat(v))) return false;
            p.map(yyjson_obj_size(v));
            yyjson_obj_iter it = yyjson_obj_iter_with(v);
            while (yyjson_val* k = yyjson_obj_iter_next(&it)) {
                p.str(yyjson_get_str(k), yyjson_get_len(k));
                if (!pack_json(yyjson_obj_iter_get_val(k), p, depth + 1)) return false;
            }
            return true;
        }
        default: return false;  // raw: a number beyond 64 bits or beyond double
    }
}

// --- JSON out, byte for byte as orjson.dumps -----------------------------------------------

// The length of the well-formed UTF-8 sequence (2 to 4 bytes) that starts at p[0] >= 0x80,
// as Python's strict decoder accepts it (no surrogates, no overlong forms); 0 if there is none.
std::size_t utf8_sequence(const unsigned char* p, std::size_t left) {
    const unsigned char c = p[0];
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) {
        len = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        len = 3;
        if (c == 0xe0) lo = 0xa0;
        if (c == 0xed) hi = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        len = 4;
        if (c == 0xf0) lo = 0x90;
        if (c == 0xf4) hi = 0x8f;
    } else {
        return 0;
    }
    if (left < len || p[1] < lo || p[1] > hi) return 0;
    for (std::size_t k = 2; k < len; ++k)
        if (p[k] < 0x80 || p[k] > 0xbf) return 0;
    return len;
}

// Eight bytes at a time: true when none of them needs a look (a control character, '"', '\\'
// or a byte of a multi-byte sequence).
inline bool plain8(const unsigned char* p) {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    const auto zero_byte = [](std::uint64_t v) { return (v - ones) & ~v & highs; };
    const std::uint64_t control = (x - ones * 0x20) & ~x & highs;
    return ((x & highs) | control | zero_byte(x ^ (ones * '"')) | zero_byte(x ^ (ones * '\\'))) == 0;
}

class Json {
public:
    std::string out;

    void raw(std::string_view s) { out.append(s); }
    void raw(char c) { out.push_back(c); }

    // A JSON string of UTF-8 text; false (with `out` as it was) when the bytes are not UTF-8.
    bool text(const char* s, std::size_t n) {
        static constexpr char hex[] = "0123456789abcdef";
        const auto* p = reinterpret_cast<const unsigned char*>(s);
        const std::size_t mark = out.size();
        out.push_back('"');
        std::size_t run = 0, i = 0;
        while (i < n) {
            if (i + 8 <= n && plain8(p + i)) {
                i += 8;
                continue;
            }
            const unsigned char c = p[i];
            if (c >= 0x80) {
                const std::size_t len = utf8_sequence(p + i, n - i);
                if (len == 0) {
                    out.resize(mark);
                    return false;
                }
                i += len;
                continue;
            }
            if (c >= 0x20 && c != '"' && c != '\\') {
                ++i;
                continue;
            }
            out.append(s + run, i - run);
            run = ++i;
            switch (c) {
                case '"': out.append("\\\""); break;
                case '\\': out.append("\\\\"); break;
                case '\n': out.append("\\n"); break;
                case '\t': out.append("\\t"); break;
                case '\r': out.append("\\r"); break;
                case '\b': out.append("\\b"); break;
                case '\f': out.append("\\f"); break;
                default: {
                    const char esc[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
                    out.append(esc, sizeof esc);
                }
            }
        }
        out.append(s + run, n - run);
        out.push_back('"');
        return true;
    }
    template <class T>
    void integer(T v) {
        char buf[24];
        const auto r = std::to_chars(buf, buf + sizeof buf, v);
        out.append(buf, r.ptr);
    }
    // Shortest round-trip digits; plain notation for exponents -5..15 (with ".0" for whole
    // numbers), scientific otherwise ("1e+16", "1.5e-7"). False for NaN and infinities.
    bool real(double v) {
        if (!std::isfinite(v)) return false;
        char buf[40];
        const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
        const char* q = buf;
        if (*q == '-') {
            out.push_back('-');
            ++q;
        }
        // q: "d", or "d.ddd", then "e", sign and at least two exponent digits.
        char digits[24];
        int nd = 0;
        while (*q != 'e') {
            if (*q != '.') digits[nd++] = *q;
            ++q;
        }
        const bool negative = q[1] == '-';
        int exp = 0;
        for (const char* e = q + 2; e < r.ptr; ++e) exp = exp * 10 + (*e - '0');
        if (negative) exp = -exp;
        if (exp >= -5 && exp <= 15) {
            if (exp >= 0) {
                if (nd <= exp + 1) {
                    out.append(digits, static_cast<std::size_t>(nd));
                    out.append(static_cast<std::size_t>(exp + 1 - nd), '0');
                    out.append(".0");
                } else {
                    out.append(digits, static_cast<std::size_t>(exp + 1));
                    out.push_back('.');
                    out.append(digits + exp + 1, static_cast<std::size_t>(nd - exp - 1));
                }
            } else {
                out.append("0.");
                out.append(static_cast<std::size_t>(-exp - 1), '0');
                out.append(digits, static_cast<std::size_t>(nd));
            }
            return true;
        }
        out.push_back(digits[0]);
        if (nd > 1) {
            out.push_back('.');
            out.append(digits + 1, static_cast<std::size_t>(nd - 1));
        }
        out.push_back('e');
        out.push_back(negative ? '-' : '+');
        integer(negative ? -exp : exp);
        return true;
    }
    void base64(const unsigned char* p, std::size_t n) {
        static constexpr char abc[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        out.append("{\"$bytes\":\"");
        std::size_t i = 0;
        for (; i + 3 <= n; i += 3) {
            const std::uint32_t v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
            const char q[] = {abc[v >> 18], abc[(v >> 12) & 63], abc[(v >> 6) & 63], abc[v & 63]};
            out.append(q, 4);
        }
        if (n - i == 1) {
            const std::uint32_t v = p[i] << 16;
            const char q[] = {abc[v >> 18], abc[(v >> 12) & 63], '=', '='};
            out.append(q, 4);
        } else if (n - i == 2) {
            const std::uint32_t v = (p[i] << 16) | (p[i + 1] << 8);
            const char q[] = {abc[v >> 18], abc[(v >> 12) & 63], abc[(v >> 6) & 63], '='};
            out.append(q, 4);
        }
        out.append("\"}");
    }
};

// --- JSON Lines in -------------------------------------------------------------------------

// The member `name` of a root object whose names were checked to be distinct, or nullptr.
yyjson_val* member(yyjson_val* obj, std::string_view name) {
    return yyjson_obj_getn(obj, name.data(), name.size());
}

bool is_blank(const char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != ' ' && p[i] != '\t' && p[i] != '\r') return false;
    return true;
}

// A key field's value as key text, the way the Python path writes it: strings as they are
// (empty ones are its to judge), whole numbers in decimal, other numbers as JSON writes them,
// true and false. `text` holds what is not a view of the document. False: the Python path's.
bool key_text(yyjson_val* v, std::string_view& out, std::string& text) {
    switch (yyjson_get_type(v)) {
        case YYJSON_TYPE_STR:
            out = std::string_view(yyjson_get_str(v), yyjson_get_len(v));
            return !out.empty();
        case YYJSON_TYPE_BOOL:
            out = yyjson_get_bool(v) ? "true" : "false";
            return true;
        case YYJSON_TYPE_NUM: {
            Json j;
            switch (yyjson_get_subtype(v)) {
                case YYJSON_SUBTYPE_UINT: j.integer(yyjson_get_uint(v)); break;
                case YYJSON_SUBTYPE_SINT: j.integer(yyjson_get_sint(v)); break;
                default:
                    if (!j.real(yyjson_get_real(v))) return false;
            }
            text = std::move(j.out);
            out = text;
            return true;
        }
        default: return false;
    }
}

bool as_view(PyObject* o, std::string_view& out, const char* what) {
    if (!PyBytes_Check(o)) {
        PyErr_Format(PyExc_TypeError, "%s must be bytes, not %T", what, o);
        return false;
    }
    out = std::string_view(PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
    return true;
}

class LineReader {
public:
    LineReader() { grow(4096); }

    // The document of one line, or nullptr when yyjson can't read it.
    yyjson_val* read(const char* p, std::size_t n) {
        const std::size_t need = yyjson_read_max_memory_usage(n, kFlags);
        if (need == 0) return nullptr;
        // The pool must hold the worst case, a value every two bytes: many times the line. A
        // long line (one large string, say) is read with the heap instead, which takes what
        // the document really needs, about the line's size.
        const yyjson_alc* alc = nullptr;
        if (n <= kPooledLine) {
            if (need > pool_.size() * 8) grow(need);
            alc = &alc_;
        }
        doc_ = yyjson_read_opts(const_cast<char*>(p), n, kFlags, alc, nullptr);
        return doc_ ? yyjson_doc_get_root(doc_) : nullptr;
    }
    void done() {
        if (doc_) yyjson_doc_free(doc_);
        doc_ = nullptr;
    }

private:
    static constexpr yyjson_read_flag kFlags = YYJSON_READ_BIGNUM_AS_RAW;
    static constexpr std::size_t kPooledLine = 256 * 1024;
    void grow(std::size_t n) {
        pool_.assign((n + 7) / 8, 0);  // words, for the pool's alignment
        yyjson_alc_pool_init(&alc_, pool_.data(), pool_.size() * 8);
    }
    std::vector<std::uint64_t> pool_;
    yyjson_alc alc_{};
    yyjson_doc* doc_ = nullptr;
};

// Whether a line may hold a wrapper object: a name "$bytes", "$float" or "$map" (an "$ext"
// wrapper holds "$bytes" too). Such lines are the Python path's, which unwraps them.
bool may_wrap(const char* p, std::size_t n) {
    const char* const begin = p;
    const char* const end = p + n;
    while (const void* at = std::memchr(p, '$', static_cast<std::size_t>(end - p))) {
        const char* q = static_cast<const char*>(at);
        const std::string_view rest(q + 1, static_cast<std::size_t>(end - q - 1));
        if (q > begin && q[-1] == '"' &&
            (rest.starts_with("bytes\"") || rest.starts_with("float\"") || rest.starts_with("map\"")))
            return true;
        p = q + 1;
    }
    return false;
}

// Up to this many keys per record go to put() in one vectorcall without a heap array.
constexpr std::size_t kMaxArgs = batch::kMaxKeys;
using batch::put_u32;

struct FieldRoles {
    std::string_view key;
    std::vector<std::string_view> aliases;
    std::string_view value;
    bool whole = true;  // the record itself is the object, not one of its fields
};

// A batch's layout is in batch_format.hpp.

struct Transcoded {
    std::size_t stop;   // offset of the line the Python path must take, or the data's size
    std::size_t count;  // records in the batch
};

// Converts the lines of data[pos:] into `batch` up to the first one the Python path must take.
// Touches no Python object, so it runs without the interpreter lock.
Transcoded transcode(std::string_view data, std::size_t pos, const FieldRoles& roles, std::string& batch) {
    LineReader reader;
    Pack pack(batch);
    std::vector<std::string_view> keys;
    // Texts of keys that are numbers; one slot per key of a record, so views stay valid.
    std::array<std::string, kMaxArgs + 1> texts;
    std::size_t count = 0;
    batch.reserve(data.size() - pos + data.size() / 8);
    while (pos < data.size()) {
        const char* line = data.data() + pos;
        const std::size_t left = data.size() - pos;
        const void* nl = std::memchr(line, '\n', left);
        const std::size_t len = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - line) : left;
        // Blank lines, wrapper objects and anything below go to the Python path.
        if (is_blank(line, len) || may_wrap(line, len)) break;
        yyjson_val* root = reader.read(line, len);
        bool ok = root && yyjson_is_obj(root) && !names_repeat(root);
        yyjson_val* key = ok ? member(root, roles.key) : nullptr;
        keys.clear();
        std::string_view k0;
        ok = ok && key && key_text(key, k0, texts[0]);
        if (ok) keys.push_back(k0);
        for (std::size_t a = 0; ok && a < roles.aliases.size(); ++a) {
            yyjson_val* alias = member(root, roles.aliases[a]);
            if (!alias) {
                ok = false;
                break;
            }
            const auto add = [&](yyjson_val* v) {
                if (yyjson_is_null(v)) return true;
                if (keys.size() >= kMaxArgs) return false;
                std::string_view k;
                if (!key_text(v, k, texts[keys.size()])) return false;
                for (const auto& seen : keys)
                    if (seen == k) return true;  // a key named twice in a record counts once
                keys.push_back(k);
                return true;
            };
            if (yyjson_is_arr(alias)) {
                yyjson_arr_iter it = yyjson_arr_iter_with(alias);
                while (ok)
                    if (yyjson_val* item = yyjson_arr_iter_next(&it)) ok = add(item);
                    else break;
            } else {
                ok = add(alias);
            }
        }
        yyjson_val* value = root;
        if (ok && !roles.whole) {
            value = member(root, roles.value);
            ok = value != nullptr;
        }
        if (ok) {
            // The record goes straight into the batch (no copy of a large object on the side),
            // its object's length written once the object is.
            const std::size_t mark = batch.size();
            batch.push_back(static_cast<char>(keys.size()));
            for (const auto& k : keys) {
                put_u32(batch, k.size());
                batch.append(k);
            }
            const std::size_t length_at = batch.size();
            put_u32(batch, 0);
            ok = pack_json(value, pack, 0, value == root) && batch.size() - length_at - 4 <= 0xffffffffu;
            if (ok) {
                const auto n = static_cast<std::uint32_t>(batch.size() - length_at - 4);
                std::memcpy(batch.data() + length_at, &n, 4);
                ++count;
            } else {
                batch.resize(mark);
            }
        }
        reader.done();
        if (!ok) break;
        pos += len + (nl ? 1 : 0);
    }
    return {pos, count};
}

bool field_roles(PyObject* key, PyObject* aliases, PyObject* value, FieldRoles& roles) {
    if (!as_view(key, roles.key, "key")) return false;
    if (!PyTuple_Check(aliases)) {
        PyErr_SetString(PyExc_TypeError, "aliases must be a tuple of bytes");
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(aliases); ++i) {
        std::string_view name;
        if (!as_view(PyTuple_GET_ITEM(aliases, i), name, "an alias field")) return false;
        roles.aliases.push_back(name);
    }
    roles.whole = value == Py_None;
    return roles.whole || as_view(value, roles.value, "value");
}

PyObject* transcode_lines(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 5) {
        PyErr_SetString(PyExc_TypeError, "_transcode_json_lines(data, start, key, aliases, value)");
        return nullptr;
    }
    std::string_view data;
    if (!as_view(args[0], data, "data")) return nullptr;
    const Py_ssize_t start = PyLong_AsSsize_t(args[1]);
    if (start == -1 && PyErr_Occurred()) return nullptr;
    if (start < 0 || static_cast<std::size_t>(start) > data.size()) {
        PyErr_SetString(PyExc_ValueError, "start is outside the data");
        return nullptr;
    }
    FieldRoles roles;
    if (!field_roles(args[2], args[3], args[4], roles)) return nullptr;
    std::string batch;
    // `data` is the caller's bytes object, alive and immutable for the call.
    const Transcoded t = without_gil([&](ReleasedInterpreter&) {
        return transcode(data, static_cast<std::size_t>(start), roles, batch);
    });
    Ref bytes(PyBytes_FromStringAndSize(batch.data(), static_cast<Py_ssize_t>(batch.size())));
    if (!bytes) return nullptr;
    return Py_BuildValue("(Nnn)", bytes.release(), static_cast<Py_ssize_t>(t.stop), static_cast<Py_ssize_t>(t.count));
}

PyObject* put_batch(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "_put_json_batch(put, batch, skip)");
        return nullptr;
    }
    PyObject* put = args[0];
    std::string_view packed;
    if (!as_view(args[1], packed, "batch")) return nullptr;
    const Py_ssize_t skip = PyLong_AsSsize_t(args[2]);
    if (skip == -1 && PyErr_Occurred()) return nullptr;
    batch::Reader in{packed.data(), packed.data() + packed.size()};
    batch::Parts parts;  // key, object, aliases...
    std::size_t nkeys = 0;
    Py_ssize_t i = 0;
    for (; in.p < in.end; ++i) {
        if (!in.record(parts, nkeys)) {
            PyErr_SetString(PyExc_ValueError, "malformed batch");
            return nullptr;
        }
        if (i < skip) continue;
        // put(key, bytes, *aliases), every key as bytes: no decoding of the key text.
        const std::size_t n = nkeys + 1;
        std::array<Ref, kMaxArgs + 1> owned;
        std::array<PyObject*, kMaxArgs + 1> call{};
        for (std::size_t k = 0; k < n; ++k) {
            owned[k].reset(PyBytes_FromStringAndSize(parts[k].data(), static_cast<Py_ssize_t>(parts[k].size())));
            if (!owned[k]) return nullptr;
            call[k] = owned[k].get();
        }
        Ref result(PyObject_Vectorcall(put, call.data(), n, nullptr));
        if (!result) {
            // An Exception (a duplicate key under "error", a limit) is the Python path's to
            // report with the line's number: it makes the same call again. Anything else
            // (KeyboardInterrupt, MemoryError) goes up now.
            if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError))
                return nullptr;
            PyErr_Clear();
            break;
        }
    }
    return PyLong_FromSsize_t(i);
}

// Reads one MessagePack value and writes it as JSON; false for anything the Python path must
// do itself (extension types, map keys that are not strings, repeated map keys, text that is
// not UTF-8, NaN, truncated or trailing bytes).
class Unpack {
public:
    Unpack() : names_(kMaxDepth + 2), sets_(kMaxDepth + 2) {}
    void reset(const unsigned char* p, std::size_t n) {
        p_ = p;
        end_ = p + n;
    }

    bool value(Json& j, int depth) {
        if (p_ >= end_ || depth > kMaxDepth) return false;
        const unsigned char t = *p_++;
        if (t <= 0x7f) return j.integer(static_cast<int>(t)), true;
        if (t >= 0xe0) return j.integer(static_cast<int>(static_cast<signed char>(t))), true;
        if ((t & 0xf0) == 0x80) return map(t & 0x0f, j, depth);
        if ((t & 0xf0) == 0x90) return array(t & 0x0f, j, depth);
        if ((t & 0xe0) == 0xa0) return str(t & 0x1f, j);
        std::uint64_t n;
        switch (t) {
            case 0xc0: j.raw("null"); return true;
            case 0xc2: j.raw("false"); return true;
            case 0xc3: j.raw("true"); return true;
            case 0xc4: return be(1, n) && bin(n, j);
            case 0xc5: return be(2, n) && bin(n, j);
            case 0xc6: return be(4, n) && bin(n, j);
            case 0xca: {
                if (!be(4, n)) return false;
                float f;
                const auto bits = static_cast<std::uint32_t>(n);
                std::memcpy(&f, &bits, 4);
                return j.real(static_cast<double>(f));
            }
            case 0xcb: {
                if (!be(8, n)) return false;
                double d;
                std::memcpy(&d, &n, 8);
                return j.real(d);
            }
            case 0xcc: return be(1, n) && (j.integer(n), true);
            case 0xcd: return be(2, n) && (j.integer(n), true);
            case 0xce: return be(4, n) && (j.integer(n), true);
            case 0xcf: return be(8, n) && (j.integer(n), true);
            case 0xd0: return be(1, n) && (j.integer(static_cast<std::int8_t>(n)), true);
            case 0xd1: return be(2, n) && (j.integer(static_cast<std::int16_t>(n)), true);
            case 0xd2: return be(4, n) && (j.integer(static_cast<std::int32_t>(n)), true);
            case 0xd3: return be(8, n) && (j.integer(static_cast<std::int64_t>(n)), true);
            case 0xd9: return be(1, n) && str(n, j);
            case 0xda: return be(2, n) && str(n, j);
            case 0xdb: return be(4, n) && str(n, j);
            case 0xdc: return be(2, n) && array(n, j, depth);
            case 0xdd: return be(4, n) && array(n, j, depth);
            case 0xde: return be(2, n) && map(n, j, depth);
            case 0xdf: return be(4, n) && map(n, j, depth);
            default: return false;  // extension types, and 0xc1, which is never used
        }
    }
    bool at_end() const noexcept { return p_ == end_; }

private:
    bool be(int width, std::uint64_t& v) {
        if (end_ - p_ < width) return false;
        v = 0;
        for (int i = 0; i < width; ++i) v = (v << 8) | *p_++;
        return true;
    }
    bool take(std::uint64_t n, const unsigned char*& at) {
        if (static_cast<std::uint64_t>(end_ - p_) < n) return false;
        at = p_;
        p_ += n;
        return true;
    }
    bool str(std::uint64_t n, Json& j) {
        const unsigned char* s;
        return take(n, s) && j.text(reinterpret_cast<const char*>(s), n);
    }
    bool bin(std::uint64_t n, Json& j) {
        const unsigned char* s;
        if (!take(n, s)) return false;
        j.base64(s, n);
        return true;
    }
    bool array(std::uint64_t n, Json& j, int depth) {
        if (n > static_cast<std::uint64_t>(end_ - p_)) return false;  // each item is a byte at least
        j.raw('[');
        for (std::uint64_t i = 0; i < n; ++i) {
            if (i) j.raw(',');
            if (!value(j, depth + 1)) return false;
        }
        j.raw(']');
        return true;
    }
    bool map(std::uint64_t n, Json& j, int depth) {
        if (n > static_cast<std::uint64_t>(end_ - p_) / 2) return false;
        j.raw('{');
        for (std::uint64_t i = 0; i < n; ++i) {
            if (i) j.raw(',');
            // Only string keys: JSON has no others, and Python's path turns them into text
            // by rules of its own.
            if (p_ >= end_) return false;
            const unsigned char t = *p_;
            std::uint64_t len;
            if ((t & 0xe0) == 0xa0) {
                ++p_;
                len = t & 0x1f;
            } else if (t == 0xd9 || t == 0xda || t == 0xdb) {
                ++p_;
                if (!be(t == 0xd9 ? 1 : t == 0xda ? 2 : 4, len)) return false;
            } else {
                return false;
            }
            const unsigned char* s;
            if (!take(len, s)) return false;
            // A name given twice: Python keeps one entry (the last value at the first place).
            // One list (or, for large maps, one set) per depth, used by one map at a time:
            // the maps inside it use deeper ones.
            const std::string_view name(reinterpret_cast<const char*>(s), len);
            // A map with a wrapper's name for a key would read back as what that wrapper stands
            // for: the Python path writes it as a "$map".
            if (!name.empty() && name[0] == '$' &&
                (name == "$bytes" || name == "$ext" || name == "$float" || name == "$map"))
                return false;
            const auto d = static_cast<std::size_t>(depth);
            if (n > kSmallObject) {
                if (i == 0) sets_[d].clear();
                if (!sets_[d].insert(name).second) return false;
            } else if (n > 1) {
                if (i == 0) names_[d].clear();
                for (const auto& other : names_[d])
                    if (other == name) return false;
                names_[d].push_back(name);
            }
            if (!j.text(name.data(), name.size())) return false;
            j.raw(':');
            if (!value(j, depth + 1)) return false;
        }
        j.raw('}');
        return true;
    }

    const unsigned char* p_ = nullptr;
    const unsigned char* end_ = nullptr;
    std::vector<std::vector<std::string_view>> names_;
    std::vector<boost::unordered_flat_set<std::string_view>> sets_;
};

// The key as JSON: its text, or a bytes wrapper when it is not UTF-8.
void key_json(std::string_view key, Json& j) {
    if (!j.text(key.data(), key.size()))
        j.base64(reinterpret_cast<const unsigned char*>(key.data()), key.size());
}

// Entries prefetched ahead of the one being written: index order is not file order.
constexpr std::size_t kPrefetch = 8;

PyObject* dump_lines(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4 || !PyObject_TypeCheck(args[0], reader_type())) {
        PyErr_SetString(PyExc_TypeError, "_dump_json_lines(reader, prefix, skip, count)");
        return nullptr;
    }
    ReaderObject* r = as_reader(args[0]);
    std::string_view prefix;
    if (!as_view(args[1], prefix, "prefix")) return nullptr;
    const Py_ssize_t skip = PyLong_AsSsize_t(args[2]);
    if (skip == -1 && PyErr_Occurred()) return nullptr;
    const Py_ssize_t count = PyLong_AsSsize_t(args[3]);
    if (count == -1 && PyErr_Occurred()) return nullptr;
    if (skip < 0 || count < 0) {
        PyErr_SetString(PyExc_ValueError, "skip and count must not be negative");
        return nullptr;
    }
    Pin pin(r);
    if (!pin.ok()) return nullptr;
    const StoreReader& core = pin.core();
    auto [first, last] = prefix.empty() ? std::pair<std::size_t, std::size_t>{0, core.entry_count()}
                                        : core.prefix_range(prefix);
    const std::size_t begin = std::min(last, first + static_cast<std::size_t>(skip));
    const std::size_t end = std::min(last, begin + static_cast<std::size_t>(count));

    Json j;
    j.out.reserve((end - begin) * 160);
    Unpack u;
    Ref pending(Py_NewRef(Py_None));
    std::size_t i = begin;
    ReadAhead ahead(core.cursor(begin), kPrefetch, end);
    for (EntryCursor c = core.cursor(begin); i < end; ++i, c.next()) {
        ahead.step();
        const auto [key, offset] = c.entry();
        const auto object = read_object(r, core, offset);
        if (!object) {
            if (i > begin) break;  // the lines so far first; the next call raises
            Ref key_obj(PyBytes_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
            if (!key_obj) return nullptr;
            return raise_read_error(r, object.error(), key_obj.get(), offset);
        }
        const std::size_t mark = j.out.size();
        j.raw("{\"key\":");
        key_json(key, j);
        j.raw(",\"value\":");
        u.reset(reinterpret_cast<const unsigned char*>(object->data()), object->size());
        if (u.value(j, 0) && u.at_end()) {
            j.raw("}\n");
            continue;
        }
        j.out.resize(mark);
        pending.reset(Py_BuildValue("(y#y#)", key.data(), static_cast<Py_ssize_t>(key.size()), object->data(),
                                    static_cast<Py_ssize_t>(object->size())));
        if (!pending) return nullptr;
        ++i;
        break;
    }
    pin.release();
    Ref bytes(PyBytes_FromStringAndSize(j.out.data(), static_cast<Py_ssize_t>(j.out.size())));
    if (!bytes) return nullptr;
    return Py_BuildValue("(NnN)", bytes.release(), static_cast<Py_ssize_t>(i - begin), pending.release());
}

PyObject* transcode_json_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return py::guarded([&] { return transcode_lines(args, nargs); });
}

PyObject* put_json_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return py::guarded([&] { return put_batch(args, nargs); });
}

PyObject* dump_json_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return py::guarded([&] { return dump_lines(args, nargs); });
}

PyMethodDef functions[] = {
    {"_transcode_json_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(transcode_json_lines)),
     METH_FASTCALL,
     "_transcode_json_lines(data, start, key, aliases, value)\n--\n\n"
     "The command line's JSON Lines loader, first half, without the interpreter lock: the lines of\n"
     "data[start:] as a batch of (keys, MessagePack) records, up to the first line that needs the\n"
     "Python path; returns (batch, that line's offset, records in the batch)."},
    {"_put_json_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(put_json_batch)), METH_FASTCALL,
     "_put_json_batch(put, batch, skip)\n--\n\n"
     "The second half: put(key, msgpack, *aliases) for each record of batch from the skip-th on, up\n"
     "to the first whose put raises; returns that record's index (the count when none did)."},
    {"_dump_json_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dump_json_lines)), METH_FASTCALL,
     "_dump_json_lines(reader, prefix, skip, count)\n--\n\n"
     "The command line's dump: {\"key\": ..., \"value\": ...} lines for up to count entries under\n"
     "prefix from the skip-th on; returns (lines, entries used, pending pair or None)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_json_lines_functions(PyObject* module) { return PyModule_AddFunctions(module, functions); }

}  // namespace tarnkv::native
