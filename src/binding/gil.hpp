// Letting other Python threads run while this one does core work that touches no Python object
// (mapping and checksumming a file, sorting and writing a store). Arguments that came from
// Python objects are copied before the lock is given up, and results become Python objects
// only after it is taken back.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace tarnkv::py {

// Detaches this thread from the interpreter for the object's lifetime (the interpreter lock,
// or on a free-threaded build the attached thread state) and re-attaches it when the object
// goes, also when an exception leaves the scope.
class ReleasedInterpreter {
public:
    ReleasedInterpreter() noexcept : state_(PyEval_SaveThread()) {}
    ReleasedInterpreter(const ReleasedInterpreter&) = delete;
    ReleasedInterpreter& operator=(const ReleasedInterpreter&) = delete;
    ~ReleasedInterpreter() { PyEval_RestoreThread(state_); }

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

// Sizes from which a call's core work is worth running without the interpreter: about a
// hundred microseconds of work. Below them, the wait to take the lock back could cost more
// than the other threads gain.
inline constexpr std::size_t kReleaseFromEntries = 4096;
inline constexpr std::uint64_t kReleaseFromBytes = std::uint64_t{1} << 20;

}  // namespace tarnkv::py
