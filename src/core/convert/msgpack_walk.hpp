// One reader of MessagePack for every consumer: the tag switch, the bounds of every length
// and the nesting limit live here; what is made of each value is the sink's business (Python
// objects for the reader's default codec, JSON text for the command line's dump).
//
// A Sink provides
//   using Value = ...;          // Value{} (nullptr, false) means "stop: not handled here"
//   Value nil(); Value boolean(bool); Value uint(std::uint64_t); Value sint(std::int64_t);
//   Value real(double);         // float 32 values widened
//   Value str(std::string_view); Value bin(std::string_view);
//   Value array(Walker&, std::size_t n, int depth);  // reads n items with walker.value(depth + 1)
//   Value map(Walker&, std::size_t n, int depth);    // reads n keys and values the same way
// Extension types, the never-used tag 0xc1, truncated input and nesting deeper than the
// walker's limit all stop the walk; so does anything the sink refuses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tarnkv::msgpack {

template <class Sink>
class Walker {
public:
    using Value = typename Sink::Value;

    // `max_depth`: the deepest level a value may sit at (the document itself is level 0).
    Walker(Sink& sink, int max_depth) noexcept : sink_(sink), max_depth_(max_depth) {}

    void reset(std::string_view data) noexcept {
        p_ = reinterpret_cast<const unsigned char*>(data.data());
        end_ = p_ + data.size();
    }
    bool at_end() const noexcept { return p_ == end_; }
    std::size_t left() const noexcept { return static_cast<std::size_t>(end_ - p_); }

    // The string that comes next, without reading it: its text and its whole encoded size
    // (header included). False when the next value is not a complete string.
    bool peek_str(std::string_view& text, std::size_t& encoded) const noexcept {
        if (p_ >= end_) return false;
        const unsigned char t = *p_;
        std::size_t head = 1, n;
        if ((t & 0xe0) == 0xa0) {
            n = t & 0x1f;
        } else if (t >= 0xd9 && t <= 0xdb) {
            head += std::size_t{1} << (t - 0xd9);
            if (left() < head) return false;
            n = 0;
            for (std::size_t i = 1; i < head; ++i) n = (n << 8) | p_[i];
        } else {
            return false;
        }
        if (left() - head < n) return false;
        text = std::string_view(reinterpret_cast<const char*>(p_ + head), n);
        encoded = head + n;
        return true;
    }
    void skip(std::size_t n) noexcept { p_ += n; }

    Value value(int depth) {
        if (depth > max_depth_ || p_ >= end_) return Value{};
        const unsigned char t = *p_++;
        if (t <= 0x7f) return sink_.uint(t);
        if (t >= 0xe0) return sink_.sint(static_cast<signed char>(t));
        if ((t & 0xe0) == 0xa0) return str(t & 0x1f);
        if ((t & 0xf0) == 0x90) return array(t & 0x0f, depth);
        if ((t & 0xf0) == 0x80) return map(t & 0x0f, depth);
        std::uint64_t n;
        switch (t) {
            case 0xc0: return sink_.nil();
            case 0xc2: return sink_.boolean(false);
            case 0xc3: return sink_.boolean(true);
            case 0xc4: return be(1, n) ? bin(n) : Value{};
            case 0xc5: return be(2, n) ? bin(n) : Value{};
            case 0xc6: return be(4, n) ? bin(n) : Value{};
            case 0xca: {
                if (!be(4, n)) return Value{};
                const auto bits = static_cast<std::uint32_t>(n);
                float f;
                std::memcpy(&f, &bits, sizeof f);
                return sink_.real(static_cast<double>(f));
            }
            case 0xcb: {
                if (!be(8, n)) return Value{};
                double d;
                std::memcpy(&d, &n, sizeof d);
                return sink_.real(d);
            }
            case 0xcc: return be(1, n) ? sink_.uint(n) : Value{};
            case 0xcd: return be(2, n) ? sink_.uint(n) : Value{};
            case 0xce: return be(4, n) ? sink_.uint(n) : Value{};
            case 0xcf: return be(8, n) ? sink_.uint(n) : Value{};
            case 0xd0: return be(1, n) ? sink_.sint(static_cast<std::int8_t>(n)) : Value{};
            case 0xd1: return be(2, n) ? sink_.sint(static_cast<std::int16_t>(n)) : Value{};
            case 0xd2: return be(4, n) ? sink_.sint(static_cast<std::int32_t>(n)) : Value{};
            case 0xd3: return be(8, n) ? sink_.sint(static_cast<std::int64_t>(n)) : Value{};
            case 0xd9: return be(1, n) ? str(n) : Value{};
            case 0xda: return be(2, n) ? str(n) : Value{};
            case 0xdb: return be(4, n) ? str(n) : Value{};
            case 0xdc: return be(2, n) ? array(n, depth) : Value{};
            case 0xdd: return be(4, n) ? array(n, depth) : Value{};
            case 0xde: return be(2, n) ? map(n, depth) : Value{};
            case 0xdf: return be(4, n) ? map(n, depth) : Value{};
            default: return Value{};  // extension types, and 0xc1, which is never used
        }
    }

private:
    bool be(int width, std::uint64_t& v) noexcept {
        if (end_ - p_ < width) return false;
        v = 0;
        for (int i = 0; i < width; ++i) v = (v << 8) | *p_++;
        return true;
    }
    std::string_view take(std::size_t n) noexcept {
        const std::string_view s(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        return s;
    }
    Value str(std::uint64_t n) { return n <= left() ? sink_.str(take(n)) : Value{}; }
    Value bin(std::uint64_t n) { return n <= left() ? sink_.bin(take(n)) : Value{}; }
    // Every item takes a byte at least, every member two: a count beyond that is a lie, caught
    // before the sink makes room for it.
    Value array(std::uint64_t n, int depth) { return n <= left() ? sink_.array(*this, n, depth) : Value{}; }
    Value map(std::uint64_t n, int depth) { return n <= left() / 2 ? sink_.map(*this, n, depth) : Value{}; }

    Sink& sink_;
    const int max_depth_;
    const unsigned char* p_ = nullptr;
    const unsigned char* end_ = nullptr;
};

}  // namespace tarnkv::msgpack
