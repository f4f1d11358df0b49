#include "core/format/error.hpp"

#include <cstring>
#include <format>

namespace tarnkv {

std::string StoreError::display() const {
    switch (kind_) {
    case ErrorKind::Corrupt: return "TarnCorruptError: " + message_;
    case ErrorKind::Version: return std::format("TarnVersionError: unsupported version {}", unsigned{version_});
    case ErrorKind::IO: return "TarnIOError: " + message_;
    case ErrorKind::General: return "TarnError: " + message_;
    }
    return message_;
}

std::string system_error_text(int errnum) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf; take whichever it gives.
    const char* text = strerror_r(errnum, buf, sizeof buf);
    return std::format("{} (os error {})", text, errnum);
}

StoreError io_error(std::string_view prefix, int errnum) {
    return StoreError::io(std::string(prefix) + system_error_text(errnum), errnum);
}

Status check_path(std::string_view path, std::string_view prefix) {
    if (path.find('\0') == std::string_view::npos) return {};
    return std::unexpected(StoreError::io(std::string(prefix) + std::string(kNulInPathText)));
}

}  // namespace tarnkv
