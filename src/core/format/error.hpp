// The core's one error type. A StoreError is a plain value: a kind plus its payload (message,
// version byte, system error number), which callers read as data. display() is its text: the
// kind's name, ": ", then the message; where only that text travels, the kind is its first word.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace tarnkv {

enum class ErrorKind : std::uint8_t {
    Corrupt,  // not a well-formed store file, or contents disagree with their checksums
    Version,  // a store file of another format version; carries the version byte
    IO,       // the operating system refused an operation on a file
    General,  // a request the store cannot satisfy (e.g. an object ID out of range)
};

// Why an I/O failure happened, where the error number alone does not say it.
enum class IoReason : std::uint8_t {
    Unspecified,
    Busy,  // another live build holds the lock of the file this one would write
};

class StoreError {
public:
    static StoreError corrupt(std::string message) { return {ErrorKind::Corrupt, std::move(message), 0, 0}; }
    static StoreError version(std::uint8_t found) { return {ErrorKind::Version, {}, found, 0}; }
    // `os_errno` is the system's error number behind the failure, 0 when there is none.
    static StoreError io(std::string message, int os_errno = 0, IoReason reason = IoReason::Unspecified) {
        return {ErrorKind::IO, std::move(message), 0, os_errno, reason};
    }
    static StoreError general(std::string message) { return {ErrorKind::General, std::move(message), 0, 0}; }

    ErrorKind kind() const noexcept { return kind_; }
    // The message after the kind's prefix. Empty for Version, whose text is made from the byte.
    const std::string& message() const noexcept { return message_; }
    std::uint8_t version_byte() const noexcept { return version_; }
    // The operating system's error number of an I/O failure (ENOENT, ENOSPC, ...), for callers
    // that map it to their own error classes; 0 when the failure has none (a NUL in a path, a
    // write that wrote nothing) and for every other kind. The display text does not show it
    // apart from the "(os error N)" of the system error text.
    int os_errno() const noexcept { return errno_; }
    // What callers tell apart by cause rather than by text (a busy file: try again later).
    IoReason io_reason() const noexcept { return reason_; }

    // "TarnCorruptError: ...", "TarnVersionError: unsupported version N", "TarnIOError: ...",
    // "TarnError: ...".
    std::string display() const;

private:
    StoreError(ErrorKind kind, std::string message, std::uint8_t version, int os_errno,
               IoReason reason = IoReason::Unspecified)
        : kind_(kind), version_(version), reason_(reason), errno_(os_errno), message_(std::move(message)) {}

    ErrorKind kind_;
    std::uint8_t version_;
    IoReason reason_;
    int errno_;
    std::string message_;
};

template <class T>
using Result = std::expected<T, StoreError>;
using Status = std::expected<void, StoreError>;

// The operating system's description of errnum followed by " (os error N)", for example
// "No such file or directory (os error 2)".
std::string system_error_text(int errnum);

// The I/O error `prefix` + system_error_text(errnum), carrying errnum.
StoreError io_error(std::string_view prefix, int errnum);

// What a path holding a NUL character reports instead of a system error text: such a path
// cannot be passed to the system at all.
inline constexpr std::string_view kNulInPathText = "file name contained an unexpected NUL byte";

// Paths reach the system as C strings. Fails with the I/O error `prefix` + kNulInPathText
// when `path` holds a NUL character, which would silently cut it short there.
Status check_path(std::string_view path, std::string_view prefix);

}  // namespace tarnkv
