// Argument handling shared by every method: binding the call's arguments to a parameter table
// (with the interpreter-style TypeError texts), and the conversion rule of each argument kind.
//
// Binding and the conversions create no Python objects in the common case (positional
// arguments, exact str / bytes / int); keyword names are matched by identity against interned
// parameter names before any string comparison.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnkv::py {

inline constexpr std::size_t kMaxParams = 7;

// One callable's parameters, required ones first: positional-or-keyword ones, then (from
// `positional` on) keyword-only ones.
struct Params {
    static constexpr std::uint8_t kAllPositional = 0xff;

    const char* full_name;  // "_TarnReader.get_raw()", "_TarnReader.__new__()"
    std::array<const char*, kMaxParams> names;
    std::uint8_t count;
    std::uint8_t required;
    std::uint8_t positional = kAllPositional;  // how many may be given by position
    // Interned forms of `names`, filled once by intern_names() before the class is published.
    std::array<PyObject*, kMaxParams> interned{};
};

// Interns the parameter names (once per process, while the class is being made).
bool intern_names(Params& p);

// Fills out[0..count) with borrowed references; parameters not given stay nullptr.
// Vector call form: positional arguments, then the keyword values named by `kwnames`.
bool bind(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// Constructor form: argument tuple and keyword dict (either may be nullptr).
bool bind(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out);

// Declared-argument conversions. On failure they return nullopt with the exception set and
// already wrapped for `param` ("argument 'param': ..." for a plain TypeError).
//
// path: a str; its UTF-8 form, cached in (and living as long as) the str.
std::optional<std::string_view> to_path(PyObject* v, const char* param);
// flag: exactly bool, or numpy's bool scalar.
std::optional<bool> to_flag(PyObject* v, const char* param);
// object bytes: a bytes object's own buffer (the core copies it).
std::optional<std::string_view> to_object_bytes(PyObject* v, const char* param);
// object ID: an int or anything with __index__, in 0 .. 2**32 - 1. May run Python code.
std::optional<std::uint32_t> to_object_id(PyObject* v, const char* param);

// Key rule, used at the start of a method body and never wrapped: str (as UTF-8) or bytes,
// else TypeError "key must be str or bytes" (also for a str that cannot be encoded).
std::optional<std::string_view> to_key(PyObject* v);

// Rewrites the current exception for argument `param` if its class is exactly TypeError:
// "argument 'param': " + its message, keeping its __cause__. Others pass unchanged.
void wrap_argument_error(const char* param);

}  // namespace tarnkv::py
