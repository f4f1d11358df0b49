// The core's one error type. A StoreError is a plain value: a kind plus its payload. What a
// caller sees is display(): the kind's name, ": ", then the message. The Python binding turns
// that text into the exception's only argument, so the kind travels as the first word.
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

class StoreError {
public:
    static StoreError corrupt(std::string message) { return {ErrorKind::Corrupt, std::move(message), 0}; }
    static StoreError version(std::uint8_t found) { return {ErrorKind::Version, {}, found}; }
    static StoreError io(std::string message) { return {ErrorKind::IO, std::move(message), 0}; }
    static StoreError general(std::string message) { return {ErrorKind::General, std::move(message), 0}; }

    ErrorKind kind() const noexcept { return kind_; }
    // The message after the kind's prefix. Empty for Version, whose text is made from the byte.
    const std::string& message() const noexcept { return message_; }
    std::uint8_t version_byte() const noexcept { return version_; }

    // "TarnCorruptError: ...", "TarnVersionError: unsupported version N", "TarnIOError: ...",
    // "TarnError: ...".
    std::string display() const;

private:
    StoreError(ErrorKind kind, std::string message, std::uint8_t version)
        : kind_(kind), version_(version), message_(std::move(message)) {}

    ErrorKind kind_;
    std::uint8_t version_;
    std::string message_;
};

template <class T>
using Result = std::expected<T, StoreError>;
using Status = std::expected<void, StoreError>;

// The operating system's description of errnum followed by " (os error N)", for example
// "No such file or directory (os error 2)".
std::string system_error_text(int errnum);

// What a path holding a NUL character reports instead of a system error text: such a path
// cannot be passed to the system at all.
inline constexpr std::string_view kNulInPathText = "file name contained an unexpected NUL byte";

}  // namespace tarnkv
