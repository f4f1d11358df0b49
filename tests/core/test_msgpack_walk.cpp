// The MessagePack walker: every tag reaches the sink with its value, lengths are checked
// against the bytes that are there, and the depth limit is the caller's.
#include <cstdint>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "core/convert/msgpack_walk.hpp"

namespace tarnkv::msgpack {
namespace {

using namespace std::string_literals;

// Writes what it sees as a terse text: "u5", "s-1", "[2 u1 u2]", "{1 'a' n}".
struct Trace {
    using Value = bool;
    std::string out;
    bool nil() { return out += "n ", true; }
    bool boolean(bool v) { return out += v ? "T " : "F ", true; }
    bool uint(std::uint64_t v) { return out += "u" + std::to_string(v) + " ", true; }
    bool sint(std::int64_t v) { return out += "s" + std::to_string(v) + " ", true; }
    bool real(double v) { return out += "r" + std::to_string(v) + " ", true; }
    bool str(std::string_view s) { return out += "'" + std::string(s) + "' ", true; }
    bool bin(std::string_view s) { return out += "b" + std::to_string(s.size()) + " ", true; }
    bool array(Walker<Trace>& w, std::size_t n, int depth) {
        out += "[" + std::to_string(n) + " ";
        for (std::size_t i = 0; i < n; ++i)
            if (!w.value(depth + 1)) return false;
        return out += "] ", true;
    }
    bool map(Walker<Trace>& w, std::size_t n, int depth) {
        out += "{" + std::to_string(n) + " ";
        for (std::size_t i = 0; i < 2 * n; ++i)
            if (!w.value(depth + 1)) return false;
        return out += "} ", true;
    }
};

// The trace of a whole document, or "stop" when the walk stopped or left bytes over.
std::string walk(std::string_view data, int max_depth = 8) {
    Trace t;
    Walker<Trace> w(t, max_depth);
    w.reset(data);
    return w.value(0) && w.at_end() ? t.out : "stop";
}

TEST(MsgpackWalker, EveryTagReachesTheSink) {
    EXPECT_EQ(walk("\x93\xc0\xc2\xc3"), "[3 n F T ] ");
    EXPECT_EQ(walk("\x95\x7f\xe0\xcc\xff\xcd\x01\x00\xce\xff\xff\xff\xff"s), "[5 u127 s-32 u255 u256 u4294967295 ] ");
    EXPECT_EQ(walk("\x92\xcf\xff\xff\xff\xff\xff\xff\xff\xff\xd0\x80"s), "[2 u18446744073709551615 s-128 ] ");
    EXPECT_EQ(walk("\x93\xd1\x80\x00\xd2\x80\0\0\0\xd3\x80\0\0\0\0\0\0\0"s),
              "[3 s-32768 s-2147483648 s-9223372036854775808 ] ");
    EXPECT_EQ(walk("\x92\xca\x3f\xc0\0\0\xcb\x3f\xf8\0\0\0\0\0\0"s), "[2 r1.500000 r1.500000 ] ");
    EXPECT_EQ(walk("\x94\xa1x\xd9\x01y\xda\0\x01z\xdb\0\0\0\x01w"s), "[4 'x' 'y' 'z' 'w' ] ");
    EXPECT_EQ(walk("\x93\xc4\x01x\xc5\0\x01y\xc6\0\0\0\x01z"s), "[3 b1 b1 b1 ] ");
    EXPECT_EQ(walk("\x82\xa1" "a\xc0\x01\xdc\0\x01\xde\0\x01\xdd\0\0\0\0\xdf\0\0\0\0"s),
              "{2 'a' n u1 [1 {1 [0 ] {0 } } ] } ");
}

TEST(MsgpackWalker, StopsAtWhatItCannotRead) {
    for (const std::string& bad : {""s, "\xc1"s, "\xd4\x01\x02"s, "\xc7\x01\x01\x02"s, "\xcd\x01"s,
                                  "\xa3xy"s, "\xdb\xff\xff\xff\xff"s, "\xc6\0\0\0\x05xx"s, "\x92\x01"s,
                                  "\xdd\xff\xff\xff\xff\x01"s, "\x81\x01"s, "\xdf\0\0\0\x02\x01\x01\x01"s})
        EXPECT_EQ(walk(bad), "stop") << bad;
}

TEST(MsgpackWalker, DepthLimitIsTheCallers) {
    const auto nested = [](int depth) { return std::string(depth, '\x91') + "\xc0"; };
    EXPECT_NE(walk(nested(8), 8), "stop");
    EXPECT_EQ(walk(nested(9), 8), "stop");
    EXPECT_NE(walk(nested(256), 256), "stop");
    EXPECT_EQ(walk(nested(257), 256), "stop");
}

TEST(MsgpackWalker, PeeksAtStrings) {
    Trace t;
    Walker<Trace> w(t, 4);
    std::string_view text;
    std::size_t encoded = 0;
    const std::string data = "\xd9\x03" "abc\x01"s;
    w.reset(data);
    ASSERT_TRUE(w.peek_str(text, encoded));
    EXPECT_EQ(text, "abc");
    EXPECT_EQ(encoded, 5u);
    w.skip(encoded);
    EXPECT_FALSE(w.peek_str(text, encoded));  // an integer
    const std::string cut = "\xda\x00\x09" "abc"s;
    w.reset(cut);
    EXPECT_FALSE(w.peek_str(text, encoded));
    const std::string short_head = "\xda\x00"s;
    w.reset(short_head);
    EXPECT_FALSE(w.peek_str(text, encoded));
}

}  // namespace
}  // namespace tarnkv::msgpack
