// JSON Lines <-> MessagePack: exact bytes both ways, and the lines and objects the converter
// must leave to the Python path (it stops in front of them, and writes nothing for them).
#include <algorithm>
#include <random>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/format/batch.hpp"
#include "core/convert/jsonl.hpp"

namespace tarnkv::convert {
namespace {

using namespace std::string_literals;

struct Record {
    std::vector<std::string> keys;  // the key, then the aliases
    std::string object;
};

struct Converted {
    std::vector<Record> records;
    std::size_t stop;
};

Converted convert(std::string_view data, const FieldRoles& roles = {"id", {}, {}, true}, std::size_t pos = 0) {
    std::string batch = "left alone";
    const Transcoded t = json_lines_to_batch(data, pos, roles, batch);
    EXPECT_EQ(batch.substr(0, 10), "left alone");
    batch::Reader in{batch.data() + 10, batch.data() + batch.size()};
    batch::Parts parts;
    std::size_t nkeys;
    Converted out{{}, t.stop};
    while (!in.at_end()) {
        EXPECT_TRUE(in.record(parts, nkeys));
        Record r;
        for (std::size_t k = 0; k < nkeys; ++k) r.keys.emplace_back(parts[k == 0 ? 0 : k + 1]);
        r.object = parts[1];
        out.records.push_back(std::move(r));
    }
    EXPECT_EQ(out.records.size(), t.count);
    return out;
}

// The nesting a line may hold: [[...[0]...]] with `depth` brackets under the root's "v".
std::string nested_line(int depth) {
    return R"({"id":"k","v":)" + std::string(depth, '[') + "0" + std::string(depth, ']') + "}";
}

// Every length around a vector and around the 255 vectors a lane may sum before it could
// overflow, newlines everywhere and nowhere: the same count as one byte at a time.
TEST(CountNewlines, AgreesWithAPlainCount) {
    std::mt19937 rng(7);
    for (const std::size_t n : {0u, 1u, 15u, 16u, 17u, 255u * 16 - 1, 255u * 16, 255u * 16 + 17, 9000u}) {
        for (const int every : {1, 2, 7, 1000000}) {
            std::string text(n, 'x');
            for (std::size_t i = 0; i < n; ++i)
                if (rng() % every == 0) text[i] = '\n';
            EXPECT_EQ(convert::count_newlines(text), static_cast<std::size_t>(std::ranges::count(text, '\n')))
                << n << " " << every;
        }
    }
}

TEST(JsonLinesToBatch, TypicalLinesGiveMsgpackBytes) {
    const auto c = convert("{\"id\":\"a\",\"n\":-1,\"x\":[true,null,1.5,200]}\n"
                           "{\"id\":\"b\",\"n\":70000,\"s\":\"" + std::string(40, 'z') + "\"}\n");
    ASSERT_EQ(c.records.size(), 2u);
    EXPECT_EQ(c.records[0].keys, std::vector<std::string>{"a"});
    EXPECT_EQ(c.records[0].object, "\x83\xa2id\xa1" "a\xa1n\xff\xa1x\x94\xc3\xc0\xcb\x3f\xf8\0\0\0\0\0\0\xcc\xc8"s);
    EXPECT_EQ(c.records[1].object,
              "\x83\xa2id\xa1" "b\xa1n\xce\0\x01\x11\x70\xa1s\xd9\x28"s + std::string(40, 'z'));
}

TEST(JsonLinesToBatch, FieldRolesPickKeyAliasesAndValue) {
    const FieldRoles roles{"k", {"a", "b"}, "v", false};
    // Numbers and booleans are keys as their JSON text; null aliases and repeats count nothing.
    const auto c = convert(R"({"k":12,"a":[1.5,"x",12,null],"b":true,"v":{"z":-200}})", roles);
    ASSERT_EQ(c.records.size(), 1u);
    EXPECT_EQ(c.records[0].keys, (std::vector<std::string>{"12", "1.5", "x", "true"}));
    EXPECT_EQ(c.records[0].object, "\x81\xa1z\xd1\xff\x38"s);
    // A missing alias field or value field is the Python path's to report.
    EXPECT_EQ(convert(R"({"k":1,"a":2,"v":3})", roles).stop, 0u);
    EXPECT_EQ(convert(R"({"k":1,"a":2,"b":3})", roles).stop, 0u);
}

TEST(JsonLinesToBatch, StopsInFrontOfWhatThePythonPathTakes) {
    const std::string good = "{\"id\":\"a\"}\n";
    for (const std::string& bad : {
             "   \t\r"s,                                    // a blank line
             "{\"id\":\"b\",}"s,                            // not JSON
             "[1,2]"s,                                      // not an object
             "{\"id\":\"b\",\"v\":{\"$bytes\":\"AA==\"}}"s,  // a wrapper
             "{\"id\":\"b\",\"id\":\"c\"}"s,                 // a name twice
             "{\"id\":\"b\",\"v\":{\"q\":1,\"q\":2}}"s,       // ... in a nested map
             "{\"id\":\"\"}"s,                              // an empty key
             "{\"id\":null}"s,                              // a null key
             "{\"id\":[1]}"s,                               // a key that is no scalar
             "{\"v\":1}"s,                                  // no key at all
             "{\"id\":123456789012345678901234567890}"s,    // a key beyond 64 bits
             "{\"id\":\"b\",\"v\":18446744073709551616}"s,  // a value beyond 64 bits
             "{\"id\":\"b\",\"v\":1e400}"s,                 // a value beyond double
         }) {
        const auto c = convert(good + bad + "\n" + good);
        EXPECT_EQ(c.records.size(), 1u) << bad;
        EXPECT_EQ(c.stop, good.size()) << bad;
    }
    // The last line may go without its newline; a start offset is where reading begins.
    const auto c = convert(good + good.substr(0, good.size() - 1));
    EXPECT_EQ(c.records.size(), 2u);
    EXPECT_EQ(c.stop, 2 * good.size() - 1);
    EXPECT_EQ(convert(good + "x\n" + good, {"id", {}, {}, true}, good.size() + 2).records.size(), 1u);
}

TEST(JsonLinesToBatch, DepthLimit) {
    EXPECT_EQ(convert(nested_line(199)).records.size(), 1u);
    EXPECT_EQ(convert(nested_line(200)).records.size(), 0u);
    EXPECT_EQ(convert(nested_line(100000)).stop, 0u);  // no stack to spare for the deep
}

TEST(JsonLinesToBatch, LargeObjectsCheckNamesWithASet) {
    std::string line = R"({"id":"a")";
    for (int i = 0; i < 40; ++i) line += ",\"m" + std::to_string(i) + "\":" + std::to_string(i);
    EXPECT_EQ(convert(line + "}").records.size(), 1u);
    EXPECT_EQ(convert(line + ",\"m7\":0}").records.size(), 0u);
}

std::string dump(std::string_view key, std::string_view object, bool expect_ok = true) {
    JsonLinesWriter w;
    w.text() = "before;";
    EXPECT_EQ(w.append(key, object), expect_ok) << object;
    return w.text().substr(7);
}

TEST(JsonLinesWriter, WritesWhatOrjsonWrites) {
    EXPECT_EQ(dump("k", "\x83\xa1" "a\x93\xc0\xc3\xff\xa1" "b\xcb\x3f\xf8\0\0\0\0\0\0\xa1" "c\xc4\x02\xfb\xff"s),
              R"({"key":"k","value":{"a":[null,true,-1],"b":1.5,"c":{"$bytes":"+/8="}}})" "\n");
    // A key that is not UTF-8 goes as bytes; text is escaped as orjson escapes it.
    EXPECT_EQ(dump("\xff", "\xa6\"\\\n\x01\xc3\xa9"), R"({"key":{"$bytes":"/w=="},"value":"\"\\\n\u0001é"})" "\n");
    const auto real = [](double v) {
        std::string m = "\xcb";
        std::uint64_t bits;
        std::memcpy(&bits, &v, 8);
        for (int i = 7; i >= 0; --i) m.push_back(static_cast<char>(bits >> (8 * i)));
        const std::string line = dump("k", m);
        return line.substr(19, line.size() - 21);
    };
    EXPECT_EQ(real(1e16), "1e+16");
    EXPECT_EQ(real(1e15), "1000000000000000.0");
    EXPECT_EQ(real(0.0001), "0.0001");
    EXPECT_EQ(real(1.5e-7), "1.5e-7");
    EXPECT_EQ(real(-0.0), "-0.0");
    EXPECT_EQ(real(123.456), "123.456");
    EXPECT_EQ(dump("k", "\xca\x3f\xc0\0\0"s), R"({"key":"k","value":1.5})" "\n");  // float 32
    EXPECT_EQ(dump("k", "\xcf\xff\xff\xff\xff\xff\xff\xff\xff"s), R"({"key":"k","value":18446744073709551615})" "\n");
    EXPECT_EQ(dump("k", "\xd3\x80\0\0\0\0\0\0\0"s), R"({"key":"k","value":-9223372036854775808})" "\n");
}

TEST(JsonLinesWriter, LeavesTheUnusualAlone) {
    for (const std::string& object : {
             "\xcb\x7f\xf8\0\0\0\0\0\0"s,          // NaN
             "\xd4\x01\x00"s,                      // an extension type
             "\xc1"s,                              // the unused tag
             "\x92\x01"s,                          // truncated
             "\x01\x02"s,                          // trailing bytes
             "\xa1\xff"s,                          // text that is not UTF-8
             "\x81\x01\x02"s,                      // a key that is no string
             "\x82\xa1" "a\x01\xa1" "a\x02"s,      // a name twice
             "\x81\xa6$bytes\x01"s,                // a wrapper's name
             "\xdd\xff\xff\xff\xff"s,              // a count beyond the bytes
             ""s,
         })
        EXPECT_EQ(dump("k", object, false), "") << object;
}

TEST(JsonLinesWriter, DepthLimit) {
    const auto nested = [](int depth) { return std::string(depth, '\x91') + "\x01"; };
    EXPECT_EQ(dump("k", nested(200)), R"({"key":"k","value":)" + std::string(200, '[') + "1" + std::string(200, ']') + "}\n");
    dump("k", nested(201), false);
}

TEST(JsonLinesWriter, RoundTripsTheConvertersOutput) {
    const std::string line =
        R"({"key":"k1","value":{"a":[1,-2,3.25,"x\u0000y",{"b":null}],"big":18446744073709551615,"t":false}})";
    const auto c = convert(line, {"key", {}, "value", false});
    ASSERT_EQ(c.records.size(), 1u);
    EXPECT_EQ(dump(c.records[0].keys[0], c.records[0].object), line + "\n");
}

}  // namespace
}  // namespace tarnkv::convert
