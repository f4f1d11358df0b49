// The command line's fast path between JSON Lines and MessagePack, part of tarnkv._native:
// the conversions themselves are the core's (core/convert/jsonl.hpp); here are their
// arguments, results and the calls into Python.
//
//   transcode_json_lines(data, start, key, aliases, value, end=len(data)) -> (batch, stop, count)
//     Converts the lines of data[start:end] without the interpreter lock, so that a reading thread
//     can do it while another puts the previous batch; stop is the offset of the first line
//     that needs the Python path (or the data's size).
//   count_newlines(data, start, end) -> int
//     The newlines of data[start:end]: a reader's line numbers, at memory speed.
//   put_json_batch(put, batch, skip) -> index
//     Calls put(key, msgpack, *alias_keys) (keys as bytes) for the batch's records from the
//     skip-th on, up to the first whose put raises: its index (the count when none did).
//   dump_json_lines(reader, prefix, skip, count) -> (bytes, done, pending)
//     {"key": ..., "value": ...} lines for up to `count` index entries under `prefix`, from the
//     `skip`-th on; `done` entries were used. When the last of them needs the Python path, it
//     is `pending`, a (key bytes, object bytes) pair, and is not among the lines.
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "binding/errors.hpp"
#include "binding/native/batch_format.hpp"
#include "binding/gil.hpp"
#include "binding/native/native.hpp"
#include "binding/native/reader_object.hpp"
#include "core/convert/jsonl.hpp"

namespace tarnkv::native {

using py::ReleasedInterpreter;
using py::without_gil;

namespace {

// Up to this many keys per record go to put() in one vectorcall without a heap array.
constexpr std::size_t kMaxArgs = batch::kMaxKeys;

bool as_view(PyObject* o, std::string_view& out, const char* what) {
    if (!PyBytes_Check(o)) {
        PyErr_Format(PyExc_TypeError, "%s must be bytes, not %T", what, o);
        return false;
    }
    out = std::string_view(PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
    return true;
}

bool field_roles(PyObject* key, PyObject* aliases, PyObject* value, convert::FieldRoles& roles) {
    if (!as_view(key, roles.key, "key")) return false;
    if (!PyTuple_Check(aliases)) {
        PyErr_SetString(PyExc_TypeError, "aliases must be a tuple of bytes");
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(aliases); ++i) {
        std::string_view name;
        if (!as_view(PyTuple_GET_ITEM(aliases, i), name, "an alias field")) return false;
        roles.aliases.push_back(name);
    }
    roles.whole = value == Py_None;
    return roles.whole || as_view(value, roles.value, "value");
}

PyObject* transcode_lines(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 5 && nargs != 6) {
        PyErr_SetString(PyExc_TypeError, "transcode_json_lines(data, start, key, aliases, value, end=len(data))");
        return nullptr;
    }
    std::string_view data;
    if (!as_view(args[0], data, "data")) return nullptr;
    const Py_ssize_t start = PyLong_AsSsize_t(args[1]);
    if (start == -1 && PyErr_Occurred()) return nullptr;
    if (nargs == 6) {
        // Lines up to `end` only: a reader hands over whole lines of a larger read without
        // copying them out of it.
        const Py_ssize_t end = PyLong_AsSsize_t(args[5]);
        if (end == -1 && PyErr_Occurred()) return nullptr;
        if (end < 0 || static_cast<std::size_t>(end) > data.size()) {
            PyErr_SetString(PyExc_ValueError, "end is outside the data");
            return nullptr;
        }
        data = data.substr(0, static_cast<std::size_t>(end));
    }
    if (start < 0 || static_cast<std::size_t>(start) > data.size()) {
        PyErr_SetString(PyExc_ValueError, "start is outside the data");
        return nullptr;
    }
    convert::FieldRoles roles;
    if (!field_roles(args[2], args[3], args[4], roles)) return nullptr;
    std::string batch;
    // `data` is the caller's bytes object, alive and immutable for the call.
    const convert::Transcoded t = without_gil([&](ReleasedInterpreter&) {
        return convert::json_lines_to_batch(data, static_cast<std::size_t>(start), roles, batch);
    });
    Ref bytes(PyBytes_FromStringAndSize(batch.data(), static_cast<Py_ssize_t>(batch.size())));
    if (!bytes) return nullptr;
    return Py_BuildValue("(Nnn)", bytes.release(), static_cast<Py_ssize_t>(t.stop), static_cast<Py_ssize_t>(t.count));
}

PyObject* put_batch(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "put_json_batch(put, batch, skip)");
        return nullptr;
    }
    PyObject* put = args[0];
    std::string_view packed;
    if (!as_view(args[1], packed, "batch")) return nullptr;
    const Py_ssize_t skip = PyLong_AsSsize_t(args[2]);
    if (skip == -1 && PyErr_Occurred()) return nullptr;
    batch::Reader in{packed.data(), packed.data() + packed.size()};
    batch::Parts parts;  // key, object, aliases...
    std::size_t nkeys = 0;
    Py_ssize_t i = 0;
    for (; in.p < in.end; ++i) {
        if (!in.record(parts, nkeys)) {
            PyErr_SetString(PyExc_ValueError, "malformed batch");
            return nullptr;
        }
        if (i < skip) continue;
        // put(key, bytes, *aliases), every key as bytes: no decoding of the key text.
        const std::size_t n = nkeys + 1;
        std::array<Ref, kMaxArgs + 1> owned;
        std::array<PyObject*, kMaxArgs + 1> call{};
        for (std::size_t k = 0; k < n; ++k) {
            owned[k].reset(PyBytes_FromStringAndSize(parts[k].data(), static_cast<Py_ssize_t>(parts[k].size())));
            if (!owned[k]) return nullptr;
            call[k] = owned[k].get();
        }
        Ref result(PyObject_Vectorcall(put, call.data(), n, nullptr));
        if (!result) {
            // An Exception (a duplicate key under "error", a limit) is the Python path's to
            // report with the line's number: it makes the same call again. Anything else
            // (KeyboardInterrupt, MemoryError) goes up now.
            if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError))
                return nullptr;
            PyErr_Clear();
            break;
        }
    }
    return PyLong_FromSsize_t(i);
}

// Entries prefetched ahead of the one being written: index order is not file order.
constexpr std::size_t kPrefetch = 8;

PyObject* dump_lines(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4 || !PyObject_TypeCheck(args[0], reader_type())) {
        PyErr_SetString(PyExc_TypeError, "dump_json_lines(reader, prefix, skip, count)");
        return nullptr;
    }
    ReaderObject* r = as_reader(args[0]);
    std::string_view prefix;
    if (!as_view(args[1], prefix, "prefix")) return nullptr;
    const Py_ssize_t skip = PyLong_AsSsize_t(args[2]);
    if (skip == -1 && PyErr_Occurred()) return nullptr;
    const Py_ssize_t count = PyLong_AsSsize_t(args[3]);
    if (count == -1 && PyErr_Occurred()) return nullptr;
    if (skip < 0 || count < 0) {
        PyErr_SetString(PyExc_ValueError, "skip and count must not be negative");
        return nullptr;
    }
    Pin pin(r);
    if (!pin.ok()) return nullptr;
    const StoreReader& core = pin.core();
    auto [first, last] = prefix.empty() ? std::pair<std::size_t, std::size_t>{0, core.entry_count()}
                                        : core.prefix_range(prefix);
    const std::size_t begin = std::min(last, first + static_cast<std::size_t>(skip));
    const std::size_t end = std::min(last, begin + static_cast<std::size_t>(count));

    convert::JsonLinesWriter lines;
    lines.text().reserve((end - begin) * 160);
    Ref pending(Py_NewRef(Py_None));
    std::size_t i = begin;
    ReadAhead ahead(core.cursor(begin), kPrefetch, end);
    for (EntryCursor c = core.cursor(begin); i < end; ++i, c.next()) {
        ahead.step();
        const auto [key, offset] = c.entry();
        DecodeBuffer buffer;
        const auto object = as_put(core, read_view(r, core, offset), buffer);
        if (!object) {
            if (i > begin) break;  // the lines so far first; the next call raises
            Ref key_obj(PyBytes_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
            if (!key_obj) return nullptr;
            return raise_read_error(r, object.error(), key_obj.get(), offset);
        }
        if (lines.append(key, *object)) continue;
        pending.reset(Py_BuildValue("(y#y#)", key.data(), static_cast<Py_ssize_t>(key.size()), object->data(),
                                    static_cast<Py_ssize_t>(object->size())));
        if (!pending) return nullptr;
        ++i;
        break;
    }
    pin.release();
    Ref bytes(PyBytes_FromStringAndSize(lines.text().data(), static_cast<Py_ssize_t>(lines.text().size())));
    if (!bytes) return nullptr;
    return Py_BuildValue("(NnN)", bytes.release(), static_cast<Py_ssize_t>(i - begin), pending.release());
}

PyObject* newlines(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "count_newlines(data, start, end)");
        return nullptr;
    }
    std::string_view data;
    if (!as_view(args[0], data, "data")) return nullptr;
    const Py_ssize_t start = PyLong_AsSsize_t(args[1]);
    if (start == -1 && PyErr_Occurred()) return nullptr;
    const Py_ssize_t end = PyLong_AsSsize_t(args[2]);
    if (end == -1 && PyErr_Occurred()) return nullptr;
    if (start < 0 || end < start || static_cast<std::size_t>(end) > data.size()) {
        PyErr_SetString(PyExc_ValueError, "start and end must lie in the data, in order");
        return nullptr;
    }
    const std::string_view range = data.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
    const auto count = [range] { return convert::count_newlines(range); };
    const std::size_t n = range.size() < (std::size_t{64} << 10) ? count()
                                                                 : without_gil([&](ReleasedInterpreter&) { return count(); });
    return PyLong_FromSize_t(n);
}

PyObject* count_newlines(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return py::guarded([&] { return newlines(args, nargs); });
}

PyObject* transcode_json_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return py::guarded([&] { return transcode_lines(args, nargs); });
}

PyObject* put_json_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return py::guarded([&] { return put_batch(args, nargs); });
}

PyObject* dump_json_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return py::guarded([&] { return dump_lines(args, nargs); });
}

PyMethodDef functions[] = {
    {"transcode_json_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(transcode_json_lines)),
     METH_FASTCALL,
     "transcode_json_lines(data, start, key, aliases, value, end=len(data), /)\n--\n\n"
     "The command line's JSON Lines loader, first half, without the interpreter lock: the lines of\n"
     "data[start:end] as a batch of (keys, MessagePack) records, up to the first line that needs the\n"
     "Python path; returns (batch, that line's offset, records in the batch)."},
    {"count_newlines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(count_newlines)), METH_FASTCALL,
     "count_newlines(data, start, end, /)\n--\n\n"
     "The number of newlines in data[start:end], counted without copying it."},
    {"put_json_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(put_json_batch)), METH_FASTCALL,
     "put_json_batch(put, batch, skip, /)\n--\n\n"
     "The second half: put(key, msgpack, *aliases) for each record of batch from the skip-th on, up\n"
     "to the first whose put raises; returns that record's index (the count when none did)."},
    {"dump_json_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dump_json_lines)), METH_FASTCALL,
     "dump_json_lines(reader, prefix, skip, count, /)\n--\n\n"
     "The command line's dump: {\"key\": ..., \"value\": ...} lines for up to count entries under\n"
     "prefix from the skip-th on; returns (lines, entries used, pending pair or None)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_json_lines_functions(PyObject* module) { return PyModule_AddFunctions(module, functions); }

}  // namespace tarnkv::native
