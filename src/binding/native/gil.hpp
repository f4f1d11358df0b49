// Running core work without the interpreter lock, with a way back in for callbacks (progress
// reports) made from inside the work; binding/gil.hpp says when giving the lock up pays.
#pragma once

#include <Python.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace tarnkv::native {

// Releases the interpreter lock (detaches the thread state) for its lifetime. Code that must
// call back into Python meanwhile (a progress callback) brackets that with Attached.
class GilReleased {
public:
    GilReleased() noexcept : ts_(PyEval_SaveThread()) {}
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;
    ~GilReleased() { PyEval_RestoreThread(ts_); }

    // Holds the lock again for a scope inside the released region.
    class Attached {
    public:
        explicit Attached(GilReleased& g) noexcept : g_(g) { PyEval_RestoreThread(g_.ts_); }
        Attached(const Attached&) = delete;
        Attached& operator=(const Attached&) = delete;
        ~Attached() { g_.ts_ = PyEval_SaveThread(); }

    private:
        GilReleased& g_;
    };

private:
    PyThreadState* ts_;
};

// Runs `work(released)` without the lock and returns its result. A C++ exception thrown inside
// is carried out and rethrown once the lock is held again, so that the caller's guard turns it
// into a Python exception.
template <class Work>
auto without_gil(Work&& work) {
    using R = decltype(work(std::declval<GilReleased&>()));
    std::optional<R> result;
    std::exception_ptr failure;
    {
        GilReleased released;
        try {
            result.emplace(work(released));
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

}  // namespace tarnkv::native
