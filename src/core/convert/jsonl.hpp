// The command line's fast path between JSON Lines and MessagePack, without Python objects.
//
// `tarnkv build` spends its time turning JSON text into Python objects and those into
// MessagePack; `tarnkv dump` the other way round. Both conversions here go straight from one
// encoding to the other and produce exactly the bytes the Python path produces (orjson, and
// msgpack with use_bin_type=True). Anything unusual (a line that is not a plain JSON object, a
// key that is null or not a scalar, numbers beyond 64 bits, wrapper objects ("$bytes",
// "$float", "$map"), extension types, NaN, maps whose keys are not text or look like wrappers,
// repeated map keys, ...) is not handled here: the functions stop in front of it and the
// Python path takes that one record, reports its error or stores it, and calls back in for the
// rest. So the fast path is faster, never different.
//
// Both directions read untrusted bytes: every length is checked against what is there.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tarnkv::convert {

// Which fields of a line's object are what.
struct FieldRoles {
    std::string_view key;
    std::vector<std::string_view> aliases;
    std::string_view value;
    bool whole = true;  // the record itself is the object, not one of its fields
};

struct Transcoded {
    std::size_t stop;   // offset of the line the Python path must take, or the data's size
    std::size_t count;  // records appended to the batch
};

// Converts the lines of data[pos:] into records of `batch` (layout in batch.hpp) up to the
// first one the Python path must take. pos <= data.size().
Transcoded json_lines_to_batch(std::string_view data, std::size_t pos, const FieldRoles& roles, std::string& batch);

// The number of '\n' bytes in `text`, sixteen bytes at a time: a reader of JSON Lines counts
// the lines it hands on, and a byte-at-a-time count costs as much as converting them.
std::size_t count_newlines(std::string_view text) noexcept;

// Writes {"key": ..., "value": ...} lines, the object given as MessagePack.
class JsonLinesWriter {
public:
    JsonLinesWriter();
    ~JsonLinesWriter();
    JsonLinesWriter(const JsonLinesWriter&) = delete;
    JsonLinesWriter& operator=(const JsonLinesWriter&) = delete;

    // Appends the line for one entry; false (with nothing appended) when the Python path must
    // write it: extension types, map keys that are not strings or look like wrappers, repeated
    // map keys, text that is not UTF-8, NaN, nesting beyond the limit, truncated or trailing bytes.
    bool append(std::string_view key, std::string_view object);
    // The lines so far.
    std::string& text() noexcept;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace tarnkv::convert
