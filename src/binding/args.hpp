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

inline constexpr std::size_t kMaxParams = 8;

// How a failed binding is worded. `function`: as for a function written in Python ("missing 1
// required positional argument: 'x'"). `classic`: as the interpreter's format-string parser
// words it ("missing required argument 'x' (pos 1)", "takes at most 4 arguments (5 given)"),
// for entry points whose callers have always seen those texts; it checks in that parser's
// order too (argument count, then the first missing one, then a name given twice, then an
// unknown name). Classic tables have positional-or-keyword parameters only.
enum class Wording : std::uint8_t { function, classic };

// One callable's parameters, required ones first: positional-or-keyword ones, then (from
// `positional` on) keyword-only ones.
struct Params {
    static constexpr std::uint8_t kAllPositional = 0xff;

    const char* full_name;  // "_TarnReader.get_raw()", "_TarnReader.__new__()"
    std::array<const char*, kMaxParams> names;
    std::uint8_t count;
    std::uint8_t required;
    std::uint8_t positional = kAllPositional;  // how many may be given by position
    Wording wording = Wording::function;
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

// Classic conversions, worded as the format-string parser words them; `index` is the
// parameter's place in `p` (messages count from 1: "f() argument 3 must be int, not str").
//
// An int or anything with __index__, its low 32 bits (no range check, as the parser's "I").
std::optional<std::uint32_t> to_uint32_masked(PyObject* v);
// An int or anything with __index__ (else the TypeError above), its low 64 bits (no range check, as the parser's "K").
std::optional<std::uint64_t> to_uint64_masked(PyObject* v, const Params& p, int index);
// Any object's truth value (as the parser's "p").
std::optional<bool> to_truth(PyObject* v);
// A str as UTF-8 without NUL characters (as the parser's "s").
std::optional<std::string_view> to_text(PyObject* v, const Params& p, int index);
// TypeError "f() argument N must be <expected>, not <type>"; always false.
bool argument_type_error(const Params& p, int index, const char* expected, PyObject* v);

// Key rule, used at the start of a method body and never wrapped: str (as UTF-8) or bytes,
// else TypeError "key must be str or bytes" (also for a str that cannot be encoded).
std::optional<std::string_view> to_key(PyObject* v);

// Rewrites the current exception for argument `param` if its class is exactly TypeError:
// "argument 'param': " + its message, keeping its __cause__. Others pass unchanged.
void wrap_argument_error(const char* param);

}  // namespace tarnkv::py
