#include "binding/args.hpp"

#include <algorithm>
#include <string>

#include "binding/py_ref.hpp"

namespace tarnkv::py {

namespace {

int positional_count(const Params& p) { return std::min<int>(p.count, p.positional); }

bool too_many_positional(const Params& p, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    const int most = positional_count(p);
    const int least = std::min<int>(p.required, most);
    if (least == most)
        PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given", p.full_name, most, given,
                     verb);
    else
        PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given", p.full_name,
                     least, most, given, verb);
    return false;
}

int find_param(const Params& p, PyObject* name) {
    // Call sites pass interned names, so identity settles nearly every lookup.
    for (int j = 0; j < p.count; ++j)
        if (p.interned[j] == name) return j;
    if (!PyUnicode_Check(name)) return -1;
    for (int j = 0; j < p.count; ++j)
        if (PyUnicode_EqualToUTF8(name, p.names[j])) return j;
    return -1;
}

bool place_keyword(const Params& p, PyObject* name, PyObject* value, PyObject** out) {
    const int j = find_param(p, name);
    if (j < 0) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", p.full_name, name);
        return false;
    }
    if (out[j]) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", p.full_name, p.names[j]);
        return false;
    }
    out[j] = value;
    return true;
}

bool check_required(const Params& p, PyObject* const* out) {
    int missing[kMaxParams];
    int k = 0;
    for (int j = 0; j < p.required; ++j)
        if (!out[j]) missing[k++] = j;
    if (k == 0) return true;
    std::string msg = p.full_name;
    msg += " missing " + std::to_string(k) + " required positional argument";
    if (k != 1) msg += 's';
    msg += ": ";
    for (int i = 0; i < k; ++i) {
        if (i > 0) msg += k == 2 ? " and " : (i == k - 1 ? ", and " : ", ");
        msg += '\'';
        msg += p.names[missing[i]];
        msg += '\'';
    }
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return false;
}

// --- The classic wording --------------------------------------------------------------------

bool classic_too_many(const Params& p, Py_ssize_t nargs, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s takes at most %d %sargument%s (%zd given)", p.full_name, int{p.count},
                 nargs == 0 ? "keyword " : "", p.count == 1 ? "" : "s", given);
    return false;
}

// The keywords of one call, at most kMaxParams of them (more fail the count check first).
struct Keywords {
    std::array<PyObject*, kMaxParams> names{};
    std::array<PyObject*, kMaxParams> values{};
    Py_ssize_t count = 0;

    int find(const Params& p, int param) const {
        for (Py_ssize_t i = 0; i < count; ++i)
            if (names[i] == p.interned[param]) return static_cast<int>(i);
        for (Py_ssize_t i = 0; i < count; ++i)
            if (PyUnicode_Check(names[i]) && PyUnicode_EqualToUTF8(names[i], p.names[param])) return static_cast<int>(i);
        return -1;
    }
};

bool classic_bind(const Params& p, PyObject* const* positional, Py_ssize_t nargs, const Keywords& kw, PyObject** out) {
    Py_ssize_t taken = 0;
    for (int j = 0; j < p.count; ++j) {
        out[j] = nullptr;
        if (j < nargs) {
            out[j] = positional[j];
        } else if (const int k = kw.find(p, j); k >= 0) {
            out[j] = kw.values[static_cast<std::size_t>(k)];
            ++taken;
        } else if (j < p.required) {
            PyErr_Format(PyExc_TypeError, "%s missing required argument '%s' (pos %d)", p.full_name, p.names[j], j + 1);
            return false;
        }
    }
    if (taken == kw.count) return true;
    for (int j = 0; j < nargs; ++j)
        if (kw.find(p, j) >= 0) {
            PyErr_Format(PyExc_TypeError, "argument for %s given by name ('%s') and position (%d)", p.full_name,
                         p.names[j], j + 1);
            return false;
        }
    for (Py_ssize_t i = 0; i < kw.count; ++i)
        if (find_param(p, kw.names[i]) < 0) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", p.full_name, kw.names[i]);
            return false;
        }
    PyErr_Format(PyExc_TypeError, "invalid keyword argument for %s", p.full_name);
    return false;
}

void type_mismatch(PyObject* v, const char* target, const char* param) {
    if (v == Py_None) {
        PyErr_Format(PyExc_TypeError, "argument '%s': 'None' is not an instance of '%s'", param, target);
        return;
    }
    Ref qualname(PyType_GetQualName(Py_TYPE(v)));
    if (!qualname) return;
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object is not an instance of '%s'", param, qualname.get(),
                 target);
}

// numpy's boolean scalar type: named bool_ (numpy 1) or bool (numpy 2), in module numpy.
bool is_numpy_bool(PyTypeObject* t) {
    Ref module(PyType_GetModuleName(t));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(module.get()) || !PyUnicode_EqualToUTF8(module.get(), "numpy")) return false;
    Ref name(PyType_GetName(t));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_EqualToUTF8(name.get(), "bool_") || PyUnicode_EqualToUTF8(name.get(), "bool");
}

}  // namespace

bool intern_names(Params& p) {
    for (int j = 0; j < p.count; ++j) {
        if (p.interned[j]) continue;
        p.interned[j] = PyUnicode_InternFromString(p.names[j]);  // kept for the life of the process
        if (!p.interned[j]) return false;
    }
    return true;
}

bool bind(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    nargs = PyVectorcall_NARGS(nargs);
    if (p.wording == Wording::classic) {
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        if (nargs + nkw > p.count) return classic_too_many(p, nargs, nargs + nkw);
        Keywords kw;
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            kw.names[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(kwnames, i);
            kw.values[static_cast<std::size_t>(i)] = args[nargs + i];
        }
        kw.count = nkw;
        return classic_bind(p, args, nargs, kw, out);
    }
    if (nargs > positional_count(p)) return too_many_positional(p, nargs);
    for (int j = 0; j < p.count; ++j) out[j] = j < nargs ? args[j] : nullptr;
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i)
            if (!place_keyword(p, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) return false;
    }
    return check_required(p, out);
}

bool bind(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    if (p.wording == Wording::classic) {
        const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
        if (nargs + nkw > p.count) return classic_too_many(p, nargs, nargs + nkw);
        Keywords kw;
        Py_ssize_t pos = 0;
        PyObject* name;
        PyObject* value;
        // The keyword dict belongs to this call alone, so iterating it borrowed is safe.
        while (kwargs && PyDict_Next(kwargs, &pos, &name, &value)) {
            kw.names[static_cast<std::size_t>(kw.count)] = name;
            kw.values[static_cast<std::size_t>(kw.count++)] = value;
        }
        return classic_bind(p, args ? PySequence_Fast_ITEMS(args) : nullptr, nargs, kw, out);
    }
    if (nargs > positional_count(p)) return too_many_positional(p, nargs);
    for (int j = 0; j < p.count; ++j) out[j] = j < nargs ? PyTuple_GET_ITEM(args, j) : nullptr;
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject* name;
        PyObject* value;
        // The keyword dict belongs to this call alone, so iterating it borrowed is safe.
        while (PyDict_Next(kwargs, &pos, &name, &value))
            if (!place_keyword(p, name, value, out)) return false;
    }
    return check_required(p, out);
}

void wrap_argument_error(const char* param) {
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised) return;
    if (!Py_IS_TYPE(raised, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(raised);
        return;
    }
    Ref old(raised);
    Ref text(PyObject_Str(old.get()));
    if (!text) return;
    Ref message(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
    if (!message) return;
    Ref wrapped(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!wrapped) return;
    if (PyObject* cause = PyException_GetCause(old.get())) PyException_SetCause(wrapped.get(), cause);
    // Keep the frames of the code that failed (an __index__ method, for instance).
    if (Ref tb{PyException_GetTraceback(old.get())}) PyException_SetTraceback(wrapped.get(), tb.get());
    PyErr_SetRaisedException(wrapped.release());
}

std::optional<std::string_view> to_path(PyObject* v, const char* param) {
    if (!PyUnicode_Check(v)) {
        type_mismatch(v, "str", param);
        return std::nullopt;
    }
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(v, &n);
    if (!s) {
        wrap_argument_error(param);  // a lone surrogate's UnicodeEncodeError passes unchanged
        return std::nullopt;
    }
    return std::string_view(s, static_cast<std::size_t>(n));
}

std::optional<bool> to_flag(PyObject* v, const char* param) {
    if (Py_IS_TYPE(v, &PyBool_Type)) return v == Py_True;
    PyTypeObject* t = Py_TYPE(v);
    if (is_numpy_bool(t)) {
        const inquiry truth = t->tp_as_number ? t->tp_as_number->nb_bool : nullptr;
        const int r = truth ? truth(v) : PyObject_IsTrue(v);
        if (r < 0) {
            wrap_argument_error(param);
            return std::nullopt;
        }
        return r != 0;
    }
    type_mismatch(v, "bool", param);
    return std::nullopt;
}

std::optional<std::string_view> to_object_bytes(PyObject* v, const char* param) {
    if (!PyBytes_Check(v)) {
        type_mismatch(v, "bytes", param);
        return std::nullopt;
    }
    return std::string_view(PyBytes_AS_STRING(v), static_cast<std::size_t>(PyBytes_GET_SIZE(v)));
}

std::optional<std::uint32_t> to_object_id(PyObject* v, const char* param) {
    Ref converted;
    PyObject* number = v;
    if (!PyLong_Check(v)) {
        converted.reset(PyNumber_Index(v));
        if (!converted) {
            wrap_argument_error(param);
            return std::nullopt;
        }
        number = converted.get();
    }
    const unsigned long long id = PyLong_AsUnsignedLongLong(number);
    if (id == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        wrap_argument_error(param);  // negative or too large: OverflowError, unchanged
        return std::nullopt;
    }
    if (id > 0xFFFF'FFFFull) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(id);
}

bool argument_type_error(const Params& p, int index, const char* expected, PyObject* v) {
    PyErr_Format(PyExc_TypeError, "%s argument %d must be %s, not %s", p.full_name, index + 1, expected,
                 v == Py_None ? "None" : Py_TYPE(v)->tp_name);
    return false;
}

std::optional<std::uint32_t> to_uint32_masked(PyObject* v) {
    const unsigned long n = PyLong_AsUnsignedLongMask(v);
    if (n == static_cast<unsigned long>(-1) && PyErr_Occurred()) return std::nullopt;
    return static_cast<std::uint32_t>(n);
}

std::optional<std::uint64_t> to_uint64_masked(PyObject* v, const Params& p, int index) {
    if (!PyIndex_Check(v)) {
        argument_type_error(p, index, "int", v);
        return std::nullopt;
    }
    const unsigned long long n = PyLong_AsUnsignedLongLongMask(v);
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
    return n;
}

std::optional<bool> to_truth(PyObject* v) {
    const int r = PyObject_IsTrue(v);
    if (r < 0) return std::nullopt;
    return r != 0;
}

std::optional<std::string_view> to_text(PyObject* v, const Params& p, int index) {
    if (!PyUnicode_Check(v)) {
        argument_type_error(p, index, "str", v);
        return std::nullopt;
    }
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(v, &n);
    if (!s) return std::nullopt;
    const std::string_view text(s, static_cast<std::size_t>(n));
    if (text.find('\0') != std::string_view::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return std::nullopt;
    }
    return text;
}

std::optional<std::string_view> to_key(PyObject* v) {
    if (PyUnicode_Check(v)) {
        Py_ssize_t n;
        if (const char* s = PyUnicode_AsUTF8AndSize(v, &n)) return std::string_view(s, static_cast<std::size_t>(n));
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return std::nullopt;
        PyErr_Clear();  // a lone surrogate is not a key; say so in the key's own words
    } else if (PyBytes_Check(v)) {
        return std::string_view(PyBytes_AS_STRING(v), static_cast<std::size_t>(PyBytes_GET_SIZE(v)));
    }
    PyErr_SetString(PyExc_TypeError, "key must be str or bytes");
    return std::nullopt;
}

}  // namespace tarnkv::py
