#include "binding/summary_line.hpp"

#include <cerrno>
#include <cstdio>
#include <format>

#include <unistd.h>

namespace tarnkv::py {

std::string summary_line(std::string_view path, const BuildInfo& info) {
    char kb[64];
    // %.1f rounds half to even on exact ties (256 bytes -> 0.2, 768 -> 0.8), as people expect
    // from C; std::format would round the same way but says so less plainly.
    std::snprintf(kb, sizeof kb, "%.1f", static_cast<double>(info.file_size) / 1024.0);
    return std::format("\u2705  {}  \u2014  {} objects \u00b7 {} keys \u00b7 {} KB\n", path, info.num_objects,
                       info.num_keys, kb);
}

std::expected<void, std::string> write_stdout(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
        if (n > 0) {
            text.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EBADF) return {};  // no stdout at all: the line has nowhere to go
        const int err = n < 0 ? errno : 0;
        return std::unexpected("failed printing to stdout: " +
                               (err ? system_error_text(err) : std::string("failed to write whole buffer")));
    }
    return {};
}

}  // namespace tarnkv::py
