#include "core/convert/jsonl.hpp"

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

#include "core/format/batch.hpp"
#include "core/convert/msgpack_walk.hpp"

namespace tarnkv::convert {

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

// Whether a line may hold a wrapper object: a member named "$bytes", "$float" or "$map" (an
// "$ext" wrapper holds "$bytes" too). Such lines are the Python path's, which unwraps them. A
// string value of that text is not a name (no colon follows), and stays on the fast path.
bool may_wrap(const char* p, std::size_t n) {
    const char* const begin = p;
    const char* const end = p + n;
    while (const void* at = std::memchr(p, '$', static_cast<std::size_t>(end - p))) {
        const char* q = static_cast<const char*>(at);
        const std::string_view rest(q + 1, static_cast<std::size_t>(end - q - 1));
        std::size_t len = 0;
        if (q > begin && q[-1] == '"') {
            if (rest.starts_with("bytes\"") || rest.starts_with("float\"")) len = 6;
            else if (rest.starts_with("map\"")) len = 4;
        }
        if (len != 0) {
            const char* after = q + 1 + len;
            while (after < end && (*after == ' ' || *after == '\t' || *after == '\r' || *after == '\n')) ++after;
            if (after < end && *after == ':') return true;
        }
        p = q + 1;
    }
    return false;
}

constexpr std::size_t kMaxArgs = batch::kMaxKeys;
using batch::put_u32;

}  // namespace

Transcoded json_lines_to_batch(std::string_view data, std::size_t pos, const FieldRoles& roles, std::string& batch) {
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

namespace {

// Writes the MessagePack values the walker reads as JSON; false for anything the Python path
// must do itself (see JsonLinesWriter::append).
class Unpack {
public:
    using Value = bool;
    using Walker = msgpack::Walker<Unpack>;

    explicit Unpack(Json& j) : j_(j), names_(kMaxDepth + 2), sets_(kMaxDepth + 2) {}

    bool nil() { return j_.raw("null"), true; }
    bool boolean(bool v) { return j_.raw(v ? "true" : "false"), true; }
    bool uint(std::uint64_t v) { return j_.integer(v), true; }
    bool sint(std::int64_t v) { return j_.integer(v), true; }
    bool real(double v) { return j_.real(v); }
    bool str(std::string_view s) { return j_.text(s.data(), s.size()); }
    bool bin(std::string_view s) {
        j_.base64(reinterpret_cast<const unsigned char*>(s.data()), s.size());
        return true;
    }
    bool array(Walker& w, std::size_t n, int depth) {
        j_.raw('[');
        for (std::size_t i = 0; i < n; ++i) {
            if (i) j_.raw(',');
            if (!w.value(depth + 1)) return false;
        }
        j_.raw(']');
        return true;
    }
    bool map(Walker& w, std::size_t n, int depth) {
        j_.raw('{');
        for (std::size_t i = 0; i < n; ++i) {
            if (i) j_.raw(',');
            // Only string keys: JSON has no others, and Python's path turns them into text
            // by rules of its own.
            std::string_view name;
            std::size_t encoded;
            if (!w.peek_str(name, encoded)) return false;
            w.skip(encoded);
            // A map with a wrapper's name for a key would read back as what that wrapper stands
            // for: the Python path writes it as a "$map".
            if (!name.empty() && name[0] == '$' &&
                (name == "$bytes" || name == "$ext" || name == "$float" || name == "$map"))
                return false;
            // A name given twice: Python keeps one entry (the last value at the first place).
            // One list (or, for large maps, one set) per depth, used by one map at a time:
            // the maps inside it use deeper ones.
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
            if (!j_.text(name.data(), name.size())) return false;
            j_.raw(':');
            if (!w.value(depth + 1)) return false;
        }
        j_.raw('}');
        return true;
    }

private:
    Json& j_;
    std::vector<std::vector<std::string_view>> names_;
    std::vector<boost::unordered_flat_set<std::string_view>> sets_;
};

// The key as JSON: its text, or a bytes wrapper when it is not UTF-8.
void key_json(std::string_view key, Json& j) {
    if (!j.text(key.data(), key.size()))
        j.base64(reinterpret_cast<const unsigned char*>(key.data()), key.size());
}

}  // namespace

struct JsonLinesWriter::State {
    Json json;
    Unpack sink{json};
    msgpack::Walker<Unpack> walker{sink, kMaxDepth};
};

JsonLinesWriter::JsonLinesWriter() : state_(std::make_unique<State>()) {}
JsonLinesWriter::~JsonLinesWriter() = default;

std::string& JsonLinesWriter::text() noexcept { return state_->json.out; }

bool JsonLinesWriter::append(std::string_view key, std::string_view object) {
    Json& j = state_->json;
    const std::size_t mark = j.out.size();
    j.raw("{\"key\":");
    key_json(key, j);
    j.raw(",\"value\":");
    state_->walker.reset(object);
    if (state_->walker.value(0) && state_->walker.at_end()) {
        j.raw("}\n");
        return true;
    }
    j.out.resize(mark);
    return false;
}

std::size_t count_newlines(std::string_view text) noexcept {
    // Vector lanes (each lane's compare is 0 or -1), summed per lane for up to 255 vectors
    // before the lanes are added up, so that no lane's byte overflows.
    using Bytes = unsigned char __attribute__((vector_size(16)));
    constexpr Bytes kNewlines = {10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10};
    std::size_t n = 0, i = 0;
    while (i + 16 <= text.size()) {
        Bytes sums = {};
        for (int v = 0; v < 255 && i + 16 <= text.size(); ++v, i += 16) {
            Bytes block;
            std::memcpy(&block, text.data() + i, 16);
            sums -= reinterpret_cast<Bytes>(block == kNewlines);
        }
        for (int lane = 0; lane < 16; ++lane) n += sums[lane];
    }
    for (; i < text.size(); ++i) n += text[i] == '\n';
    return n;
}

}  // namespace tarnkv::convert
