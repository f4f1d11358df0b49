// A Python progress callback for long core work (a build, a check, a merge) that runs without
// the interpreter lock.
#pragma once

#include <Python.h>

#include <cstdint>

#include "binding/gil.hpp"
#include "binding/py_ref.hpp"
#include "core/format/progress.hpp"

namespace tarnkv::native {

class ProgressCallback {
public:
    // `fn`: a callable, or None for no reports. Borrowed: the caller's argument.
    explicit ProgressCallback(PyObject* fn) noexcept : fn_(fn) {}
    ProgressCallback(const ProgressCallback&) = delete;
    ProgressCallback& operator=(const ProgressCallback&) = delete;
    ~ProgressCallback() { Py_XDECREF(raised_); }

    // TypeError "progress must be callable or None, not T" unless it is one of them.
    bool check() const {
        if (fn_ == Py_None || PyCallable_Check(fn_)) return true;
        PyErr_Format(PyExc_TypeError, "progress must be callable or None, not %T", fn_);
        return false;
    }

    // The core's report function for work running in `released`: with the lock held again,
    // the signal handlers that are due run (a Ctrl-C must stop long work, also without a
    // callback), then fn(done, total). An exception either raises is kept and stops the work.
    Progress report(py::ReleasedInterpreter& released) {
        return [this, &released](std::uint64_t done, std::uint64_t total) {
            py::ReleasedInterpreter::Attached attached(released);
            if (PyErr_CheckSignals() < 0) {
                raised_ = PyErr_GetRaisedException();
                return false;
            }
            if (fn_ == Py_None) return true;
            py::Ref result(PyObject_CallFunction(fn_, "KK", static_cast<unsigned long long>(done),
                                                 static_cast<unsigned long long>(total)));
            if (!result) raised_ = PyErr_GetRaisedException();
            return static_cast<bool>(result);
        };
    }

    // Once the work is over: true, with the exception set again, when the callback raised.
    bool raised() noexcept {
        if (!raised_) return false;
        PyErr_SetRaisedException(raised_);
        raised_ = nullptr;
        return true;
    }

private:
    PyObject* fn_;
    PyObject* raised_ = nullptr;  // what the callback raised: ends the work
};

}  // namespace tarnkv::native
