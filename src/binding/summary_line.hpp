// The line _TarnWriter.build() prints after publishing a store, and its way to standard output.
// Only this module prints it: the core returns what it built and prints nothing.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "core/writer/store_builder.hpp"

namespace tarnkv::py {

// "✅  <path>  —  N objects · M keys · S.s KB\n": the path exactly as given, the counts never
// in the singular, S.s the file size over 1024 with one decimal (ties to even, as %.1f).
std::string summary_line(std::string_view path, const BuildInfo& info);

// Writes `text` to file descriptor 1 with write(2), past any buffering above it (Python's
// sys.stdout included). A closed descriptor drops the text silently; any other failure returns
// "failed printing to stdout: " + the system error text. Touches no Python object.
std::expected<void, std::string> write_stdout(std::string_view text);

}  // namespace tarnkv::py
