// Letting other Python threads run while this one does core work that touches no Python object
// (mapping and checksumming a file, sorting and writing a store). Arguments that came from
// Python objects are copied before the lock is given up, and results become Python objects
// only after it is taken back.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace tarnkv::py {

// Detaches this thread from the interpreter for the object's lifetime (the interpreter lock,
// or on a free-threaded build the attached thread state) and re-attaches it when the object
// goes, also when an exception leaves the scope. Code that must call back into Python
// meanwhile (a progress callback) brackets that with Attached.
class ReleasedInterpreter {
public:
    ReleasedInterpreter() noexcept : state_(PyEval_SaveThread()) {}
    ReleasedInterpreter(const ReleasedInterpreter&) = delete;
    ReleasedInterpreter& operator=(const ReleasedInterpreter&) = delete;
    ~ReleasedInterpreter() { PyEval_RestoreThread(state_); }

    // Holds the lock again for a scope inside the released region.
    class Attached {
    public:
        explicit Attached(ReleasedInterpreter& r) noexcept : r_(r) { PyEval_RestoreThread(r_.state_); }
        Attached(const Attached&) = delete;
        Attached& operator=(const Attached&) = delete;
        ~Attached() { r_.state_ = PyEval_SaveThread(); }

    private:
        ReleasedInterpreter& r_;
    };

private:
    PyThreadState* state_;
};

// Runs `work()` and returns its result, without the interpreter when `release` is true.
// Giving the lock up costs little, but taking it back can wait for another thread's switch
// interval (5 ms by default) when Python threads are busy, so small calls keep it.
template <class Work>
auto without_interpreter(bool release, Work&& work) {
    if (!release) return work();
    ReleasedInterpreter released;
    return work();
}

// Runs `work(released)` without the lock and returns its result; `released` lets callbacks in.
// A C++ exception thrown inside is carried out and rethrown once the lock is held again, so
// that the caller's guard turns it into a Python exception.
template <class Work>
auto without_gil(Work&& work) {
    using R = decltype(work(std::declval<ReleasedInterpreter&>()));
    std::optional<R> result;
    std::exception_ptr failure;
    {
        ReleasedInterpreter released;
        try {
            result.emplace(work(released));
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

// Sizes from which a call's core work is worth running without the interpreter: about a
// hundred microseconds of work. Below them, the wait to take the lock back could cost more
// than the other threads gain.
inline constexpr std::size_t kReleaseFromEntries = 4096;
inline constexpr std::uint64_t kReleaseFromBytes = std::uint64_t{1} << 20;

}  // namespace tarnkv::py
