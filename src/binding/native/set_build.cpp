// The build side of store sets in tarnkv._native: the run writer that an input
// partition's task fills, and the merges that turn runs into shards and stores into stores.
//
//   RunWriter(tmp, shards, spill_bytes, reject_duplicates)
//     add(seq, key, data, *aliases); add_json_batch(batch, first_seq, skip) -> index;
//     finish(path) -> (file_size, records, sections, entries per shard); abort()
//   merge_runs(runs, shards, shard, policy, tmp, path, level=None) -> (keys, objects, size, crc)
//   merge_stores(inputs, targets, progress=None, groups=None, level=None) -> [(keys, objects, size, crc), ...]
// With a zstd level (1 to 22) instead of None, the merges write compressed stores.
//
// A duplicate key under the "error" policy is raised as tarnkv.sets.errors' exception, made by
// its _duplicate(key, first_run, first_seq, second_run, second_seq) (runs are -1 when unknown).
#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <boost/container/small_vector.hpp>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/gil.hpp"
#include "binding/native/mutex_lock.hpp"
#include "binding/native/native.hpp"
#include "binding/native/progress.hpp"
#include "binding/once.hpp"
#include "binding/types.hpp"
#include "core/format/layout.hpp"
#include "core/format/progress.hpp"
#include "core/sets/merge.hpp"
#include "core/sets/run_layout.hpp"
#include "core/sets/runs.hpp"

namespace tarnkv::native {

using py::guarded;
using py::ReleasedInterpreter;
using py::without_gil;

namespace {

// Batches of more records than this give up the interpreter lock while they are added.
constexpr std::size_t kReleaseRecords = 64;

struct RunWriterObject {
    PyObject_HEAD
    PyMutex mutex;
    std::optional<sets::RunWriter> run;
};

RunWriterObject* as_run(PyObject* o) noexcept { return reinterpret_cast<RunWriterObject*>(o); }

py::OnceObject set_errors_module;

// The exception for two records under one key, from tarnkv.sets.errors.
PyObject* raise_duplicate(const sets::Duplicate& d, bool with_runs) {
    PyObject* module = set_errors_module.get([] { return PyImport_ImportModule("tarnkv.sets.errors"); });
    if (!module) return nullptr;
    const long long first_run = with_runs ? static_cast<long long>(d.first_run) : -1;
    const long long second_run = with_runs ? static_cast<long long>(d.second_run) : -1;
    Ref exc(PyObject_CallMethod(module, "_duplicate", "y#LKLK", d.key.data(), static_cast<Py_ssize_t>(d.key.size()),
                                first_run, static_cast<unsigned long long>(d.first_seq), second_run,
                                static_cast<unsigned long long>(d.second_seq)));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

// A path argument (str, bytes or os.PathLike) as the bytes the system sees.
bool path_arg(PyObject* o, std::string& out) {
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(o, &converted)) return false;
    Ref bytes(converted);
    out.assign(PyBytes_AS_STRING(converted), static_cast<std::size_t>(PyBytes_GET_SIZE(converted)));
    return true;
}

bool path_list(PyObject* seq_obj, std::vector<std::string>& out, const char* what) {
    Ref seq(PySequence_Fast(seq_obj, what));
    if (!seq) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    out.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!path_arg(PySequence_Fast_GET_ITEM(seq.get(), i), out[static_cast<std::size_t>(i)])) return false;
    return true;
}

PyObject* limit_error(const char* cls, PyObject* message) {
    if (!message) return nullptr;
    Ref msg(message);
    return raise_package_error(cls, Ref(PyTuple_Pack(1, msg.get())).get());
}

// What add() reports about a record before it touches the run: a key or object too large.
bool check_sizes(std::span<const std::string_view> keys, std::string_view object, PyObject* const* key_objs) {
    for (std::size_t i = 0; i < keys.size(); ++i)
        if (keys[i].size() > format::kMaxKeyLen) {
            limit_error("KeyTooLongError",
                        PyUnicode_FromFormat("key %.80R is %zu bytes long; keys are at most 65535 bytes", key_objs[i],
                                             keys[i].size()));
            return false;
        }
    if (object.size() > format::kMaxObjectLen) {
        limit_error("ObjectTooLargeError",
                    PyUnicode_FromFormat("the object of key %.80R is %zu bytes; objects are at most 4294967295 bytes",
                                         key_objs[0], object.size()));
        return false;
    }
    return true;
}

// A failure of the run itself: a duplicate under "error", or the core's error.
PyObject* raise_run_error(RunWriterObject* w, const StoreError& err) {
    std::optional<sets::Duplicate> dup;
    {
        MutexLock lock(w->mutex);
        if (w->run) dup = w->run->duplicate();
    }
    if (dup) return raise_duplicate(*dup, false);
    return raise_core_error(err, ErrorContext{});
}

py::Params run_params{"RunWriter()", {"tmp", "shards", "spill_bytes", "reject_duplicates"}, 4, 4,
                      py::Params::kAllPositional, py::Wording::classic};

PyObject* run_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[4];
        if (!py::bind(run_params, args, kwargs, a)) return nullptr;
        PyObject* tmp_obj = a[0];
        const std::optional<std::uint32_t> shards = py::to_uint32_masked(a[1]);
        if (!shards) return nullptr;
        const std::optional<std::uint64_t> spill = py::to_uint64_masked(a[2], run_params, 2);
        if (!spill) return nullptr;
        const std::optional<bool> reject = py::to_truth(a[3]);
        if (!reject) return nullptr;
        std::string tmp;
        if (!path_arg(tmp_obj, tmp)) return nullptr;
        if (*shards == 0) {
            PyErr_SetString(PyExc_ValueError, "shards must be at least 1");
            return nullptr;
        }
        auto run = sets::RunWriter::create(tmp, *shards, *spill, *reject);
        if (!run) {
            ErrorContext c;
            c.path = tmp_obj;
            return raise_core_error(run.error(), c);
        }
        Ref self(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        RunWriterObject* w = as_run(self.get());
        w->mutex = PyMutex{};
        new (&w->run) std::optional<sets::RunWriter>(std::move(*run));
        return self.release();
    });
}

void run_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_run(self)->run.~optional();  // an unfinished run removes its temporary file
    type->tp_free(self);
    Py_DECREF(type);
}

bool seq_arg(PyObject* o, std::uint64_t& seq) {
    seq = PyLong_AsUnsignedLongLong(o);
    return !(seq == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

PyObject* run_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs < 3) {
            PyErr_SetString(PyExc_TypeError, "add(seq, key, data, *aliases) takes at least 3 arguments");
            return nullptr;
        }
        RunWriterObject* w = as_run(self);
        std::uint64_t seq;
        if (!seq_arg(args[0], seq)) return nullptr;
        const std::size_t nkeys = static_cast<std::size_t>(nargs) - 2;
        boost::container::small_vector<KeyBytes, 4> converted(nkeys);
        boost::container::small_vector<std::string_view, 4> keys(nkeys);
        boost::container::small_vector<PyObject*, 4> key_objs(nkeys);
        for (std::size_t i = 0; i < nkeys; ++i) {
            key_objs[i] = args[i == 0 ? 1 : i + 2];
            if (!require_key(key_objs[i], converted[i])) return nullptr;
            keys[i] = converted[i].bytes;
        }
        py::Buffer data;
        if (!data.get(args[2])) return nullptr;
        const std::string_view object = data.bytes();
        if (!check_sizes(keys, object, key_objs.data())) return nullptr;
        Status st;
        {
            MutexLock lock(w->mutex);
            if (!w->run) {
                PyErr_SetString(PyExc_ValueError, "the run was finished");
                return nullptr;
            }
            if (seq < w->run->next_seq()) {
                PyErr_Format(PyExc_ValueError, "record numbers must grow: %llu after %llu",
                             static_cast<unsigned long long>(seq),
                             static_cast<unsigned long long>(w->run->next_seq() - 1));
                return nullptr;
            }
            st = w->run->add(seq, keys, object);
        }
        if (!st) return raise_run_error(w, st.error());
        Py_RETURN_NONE;
    });
}

PyObject* run_add_json_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 3) {
            PyErr_SetString(PyExc_TypeError, "add_json_batch(batch, first_seq, skip)");
            return nullptr;
        }
        RunWriterObject* w = as_run(self);
        if (!PyBytes_Check(args[0])) {
            PyErr_Format(PyExc_TypeError, "batch must be bytes, not %T", args[0]);
            return nullptr;
        }
        const std::string_view batch(PyBytes_AS_STRING(args[0]), static_cast<std::size_t>(PyBytes_GET_SIZE(args[0])));
        std::uint64_t first_seq;
        if (!seq_arg(args[1], first_seq)) return nullptr;
        const Py_ssize_t skip = PyLong_AsSsize_t(args[2]);
        if (skip == -1 && PyErr_Occurred()) return nullptr;
        // The batch bytes are immutable and held by the caller for the whole call.
        const auto work = [&]() -> Result<sets::RunWriter::BatchStop> {
            MutexLock lock(w->mutex);
            if (!w->run) return std::unexpected(StoreError::general("the run was finished"));
            return w->run->add_batch(batch, first_seq, static_cast<std::size_t>(std::max<Py_ssize_t>(skip, 0)));
        };
        const auto o = batch.size() / 64 > kReleaseRecords
                           ? without_gil([&](ReleasedInterpreter&) { return work(); })
                           : work();
        if (!o) return raise_run_error(w, o.error());
        if (o->malformed) {
            PyErr_SetString(PyExc_ValueError, "malformed batch");
            return nullptr;
        }
        return PyLong_FromSize_t(o->index);
    });
}

PyObject* run_finish(PyObject* self, PyObject* path_obj) {
    return guarded([&]() -> PyObject* {
        RunWriterObject* w = as_run(self);
        std::string path;
        if (!path_arg(path_obj, path)) return nullptr;
        Result<sets::RunInfo> info = without_gil([&](ReleasedInterpreter&) -> Result<sets::RunInfo> {
            MutexLock lock(w->mutex);
            if (!w->run) return std::unexpected(StoreError::general("the run was finished"));
            return w->run->finish(path);
        });
        if (!info) {
            PyObject* raised = raise_run_error(w, info.error());
            MutexLock lock(w->mutex);
            w->run.reset();  // removes the temporary file
            return raised;
        }
        {
            MutexLock lock(w->mutex);
            w->run.reset();
        }
        Ref per_shard(PyTuple_New(static_cast<Py_ssize_t>(info->entries_per_shard.size())));
        if (!per_shard) return nullptr;
        for (std::size_t i = 0; i < info->entries_per_shard.size(); ++i) {
            PyObject* n = PyLong_FromUnsignedLongLong(info->entries_per_shard[i]);
            if (!n) return nullptr;
            PyTuple_SET_ITEM(per_shard.get(), static_cast<Py_ssize_t>(i), n);
        }
        return Py_BuildValue("(KKIN)", static_cast<unsigned long long>(info->file_size),
                             static_cast<unsigned long long>(info->records), info->sections, per_shard.release());
    });
}

PyObject* run_abort(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        RunWriterObject* w = as_run(self);
        MutexLock lock(w->mutex);
        w->run.reset();
        Py_RETURN_NONE;
    });
}

PyObject* run_buffered(PyObject* self, void*) {
    RunWriterObject* w = as_run(self);
    MutexLock lock(w->mutex);
    return PyLong_FromUnsignedLongLong(w->run ? w->run->buffered_bytes() : 0);
}

using py::as_method;

PyMethodDef run_methods[] = {
    {"add", as_method(run_add), METH_FASTCALL,
     "add($self, seq, key, data, /, *aliases)\n--\n\nBuffers one record: its encoded object *data* under *key* and "
     "*aliases*, numbered *seq*\n(numbers must grow)."},
    {"add_json_batch", as_method(run_add_json_batch), METH_FASTCALL,
     "add_json_batch($self, batch, first_seq, skip, /)\n--\n\nBuffers the records of a converted JSON Lines batch "
     "from the *skip*-th on, numbered\n*first_seq* + their index; returns the index of the first record it left "
     "(the count when none)."},
    {"finish", as_method(run_finish), METH_O,
     "finish($self, path, /)\n--\n\nWrites the rest and renames the run file to *path*; returns (file size, records, "
     "sections,\nentries per shard)."},
    {"abort", as_method(run_abort), METH_NOARGS, "abort($self, /)\n--\n\nDrops the run and removes its temporary file."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef run_getset[] = {
    {"buffered", run_buffered, nullptr, "Bytes held in memory until the next spill.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot run_slots[] = {
    {Py_tp_doc, const_cast<char*>("RunWriter(tmp, shards, spill_bytes, reject_duplicates)\n--\n\n"
                                  "One input partition's records, routed to shards, sorted and written as a run "
                                  "file.")},
    {Py_tp_new, reinterpret_cast<void*>(run_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(run_dealloc)},
    {Py_tp_methods, run_methods},
    {Py_tp_getset, run_getset},
    {0, nullptr},
};

PyType_Spec run_spec = {"tarnkv._native.RunWriter", static_cast<int>(sizeof(RunWriterObject)), 0,
                        Py_TPFLAGS_DEFAULT, run_slots};

py::OnceObject run_type_object;

// --- Merges -------------------------------------------------------------------------------

PyObject* info_tuple(const StreamInfo& i) {
    return Py_BuildValue("(KKKI)", static_cast<unsigned long long>(i.num_keys),
                         static_cast<unsigned long long>(i.num_objects), static_cast<unsigned long long>(i.file_size),
                         i.file_crc32);
}

py::Params merge_runs_params{"merge_runs()", {"runs", "shards", "shard", "policy", "tmp", "path", "level"}, 7, 6,
                             py::Params::kAllPositional, py::Wording::classic};

// The merges' compression: None (or not given) stores objects as put, else a zstd level.
bool level_arg(PyObject* obj, std::optional<int>& level) {
    if (!obj || obj == Py_None) return true;
    if (PyBool_Check(obj) || !PyLong_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "level must be None or int, not %T", obj);
        return false;
    }
    const int value = PyLong_AsInt(obj);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 1 || value > 22) {
        PyErr_Format(PyExc_ValueError, "level must be 1 to 22, not %d", value);
        return false;
    }
    level = value;
    return true;
}

PyObject* merge_runs(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[7] = {};
        if (!py::bind(merge_runs_params, args, kwargs, a)) return nullptr;
        std::optional<int> level;
        if (!level_arg(a[6], level)) return nullptr;
        PyObject *runs_obj = a[0], *tmp_obj = a[4], *path_obj = a[5];
        const std::optional<std::uint32_t> shards = py::to_uint32_masked(a[1]);
        if (!shards) return nullptr;
        const std::optional<std::uint32_t> shard = py::to_uint32_masked(a[2]);
        if (!shard) return nullptr;
        const std::optional<std::string_view> policy_text = py::to_text(a[3], merge_runs_params, 3);
        if (!policy_text) return nullptr;
        const char* policy_name = policy_text->data();  // the str's own UTF-8 form, NUL-terminated
        const std::optional<sets::Policy> policy = sets::policy_named(policy_name);
        if (!policy) {
            PyErr_Format(PyExc_ValueError, "policy must be 'error', 'first' or 'last', not '%s'", policy_name);
            return nullptr;
        }
        if (*shards == 0 || *shard >= *shards) {
            PyErr_SetString(PyExc_ValueError, "shard out of range");
            return nullptr;
        }
        std::vector<std::string> runs;
        std::string tmp, path;
        if (!path_list(runs_obj, runs, "runs must be a sequence of paths") || !path_arg(tmp_obj, tmp) ||
            !path_arg(path_obj, path))
            return nullptr;
        auto merged = without_gil([&](ReleasedInterpreter&) { return sets::merge_runs(runs, *shards, *shard, *policy, tmp, path, level); });
        if (!merged) {
            ErrorContext c;
            c.path = path_obj;
            return raise_core_error(merged.error(), c);
        }
        if (merged->duplicate) return raise_duplicate(*merged->duplicate, true);
        return info_tuple(*merged->info);
    });
}

py::Params merge_stores_params{"merge_stores()", {"inputs", "targets", "progress", "groups", "level"}, 5, 2,
                               py::Params::kAllPositional, py::Wording::classic};

PyObject* merge_stores(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[5] = {};
        if (!py::bind(merge_stores_params, args, kwargs, a)) return nullptr;
        std::optional<int> level;
        if (!level_arg(a[4], level)) return nullptr;
        PyObject *inputs_obj = a[0], *targets_obj = a[1];
        PyObject* progress = a[2] ? a[2] : Py_None;
        PyObject* groups_obj = a[3] ? a[3] : Py_None;
        std::vector<std::uint32_t> groups;
        if (groups_obj != Py_None) {
            Ref seq(PySequence_Fast(groups_obj, "groups must be a sequence of numbers"));
            if (!seq) return nullptr;
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
                const unsigned long g = PyLong_AsUnsignedLong(PySequence_Fast_GET_ITEM(seq.get(), i));
                if (g == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
                groups.push_back(static_cast<std::uint32_t>(g));
            }
        }
        ProgressCallback callback(progress);
        if (!callback.check()) return nullptr;
        std::vector<std::string> inputs;
        if (!path_list(inputs_obj, inputs, "inputs must be a sequence of paths")) return nullptr;
        Ref targets_seq(PySequence_Fast(targets_obj, "targets must be a sequence of (tmp, path) pairs"));
        if (!targets_seq) return nullptr;
        std::vector<sets::MergeTarget> targets;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(targets_seq.get()); ++i) {
            PyObject* pair = PySequence_Fast_GET_ITEM(targets_seq.get(), i);
            if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
                PyErr_SetString(PyExc_TypeError, "targets must be a sequence of (tmp, path) pairs");
                return nullptr;
            }
            sets::MergeTarget t;
            if (!path_arg(PyTuple_GET_ITEM(pair, 0), t.tmp) || !path_arg(PyTuple_GET_ITEM(pair, 1), t.path))
                return nullptr;
            targets.push_back(std::move(t));
        }
        auto merged = without_gil([&](ReleasedInterpreter& released) {
            return sets::merge_stores(inputs, targets, groups, callback.report(released), level);
        });
        if (callback.raised()) return nullptr;
        if (!merged) return raise_core_error(merged.error(), ErrorContext{});
        Ref out(PyList_New(static_cast<Py_ssize_t>(merged->size())));
        if (!out) return nullptr;
        for (std::size_t i = 0; i < merged->size(); ++i) {
            PyObject* t = info_tuple((*merged)[i]);
            if (!t) return nullptr;
            PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), t);
        }
        return out.release();
    });
}

// run_tail_size(sections, /): how many bytes end a run file of `sections` sections: its table
// of sections and its trailer, which is all a reader needs to find one shard's sections.
PyObject* run_tail_size(PyObject*, PyObject* arg) {
    return py::guarded([&]() -> PyObject* {
        const unsigned long long n = PyLong_AsUnsignedLongLong(arg);
        if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
        if (n > 0xFFFF'FFFFull) {
            PyErr_SetString(PyExc_ValueError, "a run has at most 4294967295 sections");
            return nullptr;
        }
        return PyLong_FromUnsignedLongLong(n * sets::kTableEntrySize + sets::kTrailerSize);
    });
}

// run_sections(tail, shard, /) -> [(offset, length), ...]: shard `shard`'s sections as the
// table in `tail` (a run file's last run_tail_size() bytes) names them.
PyObject* run_sections(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return py::guarded([&]() -> PyObject* {
        if (nargs != 2) {
            PyErr_Format(PyExc_TypeError, "run_sections() takes exactly 2 arguments (%zd given)", nargs);
            return nullptr;
        }
        py::Buffer tail;
        if (!tail.get(args[0])) return nullptr;
        const unsigned long shard = PyLong_AsUnsignedLong(args[1]);
        if (shard == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
        const auto* bytes = reinterpret_cast<const unsigned char*>(tail.bytes().data());
        const std::size_t size = tail.bytes().size();
        std::optional<sets::RunTrailer> trailer;
        if (size >= sets::kTrailerSize)
            if (auto t = sets::RunTrailer::decode(bytes + size - sets::kTrailerSize)) trailer = *t;
        if (!trailer || size != std::size_t{trailer->sections} * sets::kTableEntrySize + sets::kTrailerSize) {
            PyErr_SetString(PyExc_ValueError, "not the table and trailer of a run file");
            return nullptr;
        }
        Ref out(PyList_New(0));
        if (!out) return nullptr;
        for (std::uint32_t i = 0; i < trailer->sections; ++i) {
            const auto e = sets::SectionEntry::decode(bytes + std::size_t{i} * sets::kTableEntrySize);
            if (e.shard != shard) continue;
            Ref item(Py_BuildValue("(KK)", static_cast<unsigned long long>(e.offset),
                                   static_cast<unsigned long long>(e.length)));
            if (!item || PyList_Append(out.get(), item.get()) < 0) return nullptr;
        }
        return out.release();
    });
}

PyMethodDef functions[] = {
    {"run_tail_size", run_tail_size, METH_O,
     "run_tail_size(sections, /)\n--\n\nThe bytes that end a run file of *sections* sections: its table and trailer."},
    {"run_sections", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(run_sections)), METH_FASTCALL,
     "run_sections(tail, shard, /)\n--\n\n(offset, length) of each of *shard*'s sections, from a run file's last "
     "run_tail_size() bytes."},
    {"merge_runs", as_method(merge_runs), METH_VARARGS | METH_KEYWORDS,
     "merge_runs(runs, shards, shard, policy, tmp, path, level=None)\n--\n\nMerges shard *shard*'s sections of the "
     "run files *runs* (in partition order) into a\nstore written to *tmp* and renamed to *path*; *policy* is 'error', "
     "'first' or\n'last'; a zstd *level* makes it a compressed store. Returns (keys, objects, file size,\nfile "
     "CRC-32)."},
    {"merge_stores", as_method(merge_stores), METH_VARARGS | METH_KEYWORDS,
     "merge_stores(inputs, targets, progress=None, groups=None, level=None)\n--\n\nMerges the store files *inputs* (later ones "
     "win) into one store per (tmp, path)\ntarget, routing keys by key_hash() when there are several; *groups* gives "
     "the\nshards of one set one number; a zstd *level* makes every target a compressed store\n(compressed inputs are "
     "read decoded either way). Returns (keys, objects, file size,\nfile CRC-32) per target."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* run_writer_type() {
    return reinterpret_cast<PyTypeObject*>(run_type_object.get([] { return PyType_FromSpec(&run_spec); }));
}

int add_set_functions(PyObject* module) {
    for (py::Params* p : {&run_params, &merge_runs_params, &merge_stores_params})
        if (!py::intern_names(*p)) return -1;
    PyTypeObject* type = run_writer_type();
    if (!type || PyModule_AddObjectRef(module, "RunWriter", reinterpret_cast<PyObject*>(type)) < 0) return -1;
    return PyModule_AddFunctions(module, functions);
}

}  // namespace tarnkv::native
