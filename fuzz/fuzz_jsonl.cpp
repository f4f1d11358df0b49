// Arbitrary bytes as JSON Lines: the converter reads untrusted input. Whatever it converts
// must be a well-formed batch whose objects read back; a record written back as a line must
// convert again to the same object.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/format/batch.hpp"
#include "core/convert/jsonl.hpp"

namespace {

void require(bool ok) {
    if (!ok) __builtin_trap();
}

using tarnkv::convert::FieldRoles;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks the roles and where to start; the rest is the data.
    const std::uint8_t mode = bytes[0];
    const std::string_view data(reinterpret_cast<const char*>(bytes + 1), size - 1);
    FieldRoles roles{"id", {}, {}, true};
    if (mode & 1) roles.aliases = {"a", "b"};
    if (mode & 2) roles = FieldRoles{"k", roles.aliases, "v", false};
    const std::size_t start = (mode >> 2) % (data.size() + 1);

    std::string batch;
    const auto t = tarnkv::convert::json_lines_to_batch(data, start, roles, batch);
    require(t.stop >= start && t.stop <= data.size());
    require(t.stop == start || t.stop == data.size() || data[t.stop - 1] == '\n');

    tarnkv::batch::Reader in{batch.data(), batch.data() + batch.size()};
    tarnkv::batch::Parts parts;
    std::size_t nkeys = 0, count = 0;
    tarnkv::convert::JsonLinesWriter lines;
    while (!in.at_end()) {
        require(in.record(parts, nkeys));
        ++count;
        require(!parts[0].empty());
        const std::size_t mark = lines.text().size();
        if (!lines.append(parts[0], parts[1])) {
            require(lines.text().size() == mark);  // nothing of a refused record is left
            continue;
        }
        // The line written back converts to the same key and object.
        const std::string line = lines.text().substr(mark);
        std::string again;
        const auto u = tarnkv::convert::json_lines_to_batch(line, 0, FieldRoles{"key", {}, "value", false}, again);
        if (u.count == 0) continue;
        require(u.count == 1 && u.stop == line.size());
        tarnkv::batch::Parts back;
        tarnkv::batch::Reader in2{again.data(), again.data() + again.size()};
        require(in2.record(back, nkeys) && nkeys == 1 && in2.at_end());
        require(back[0] == parts[0] && back[1] == parts[1]);
    }
    require(count == t.count);
    return 0;
}
