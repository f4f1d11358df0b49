// The per-instance access counter of the writer: 0 free, n > 0 shared holders, -1 one
// exclusive holder. A conflicting call fails at once with RuntimeError; nothing ever waits.
// With the lock, a conflict arises when another thread calls in while build() runs without it,
// and within one thread when an argument's __index__ calls back into the object.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace tarnkv::py {

//
// With the interpreter lock, every change of the counter is made while holding it (a call takes
// and gives back its access before and after any part that runs without it), so a plain read
// and write suffice. A locked instruction would also wait for every store still in flight
// before it (the previous call's appends to the builder), which is most of what a small call
// costs. Without the interpreter lock (a free-threaded build) calls truly overlap, and the
// counter takes compare-and-swap.
class AccessCounter {
public:
    // Shared access: +1 unless someone holds it exclusively.
    bool try_shared() noexcept {
        std::intptr_t cur = state_.load(std::memory_order_relaxed);
#ifdef Py_GIL_DISABLED
        do {
            if (cur < 0) return false;
        } while (!state_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed));
#else
        if (cur < 0) return false;
        state_.store(cur + 1, std::memory_order_relaxed);
#endif
        return true;
    }
    void release_shared() noexcept {
#ifdef Py_GIL_DISABLED
        state_.fetch_sub(1, std::memory_order_release);
#else
        state_.store(state_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
#endif
    }

    // Exclusive access: only from free.
    bool try_exclusive() noexcept {
#ifdef Py_GIL_DISABLED
        std::intptr_t expected = 0;
        return state_.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed);
#else
        if (state_.load(std::memory_order_relaxed) != 0) return false;
        state_.store(-1, std::memory_order_relaxed);
        return true;
#endif
    }
    void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

private:
    std::atomic<std::intptr_t> state_{0};
};

enum class Mode : bool { Shared, Exclusive };

// Holds access for one call. Check ok() right after construction: when it is false a
// RuntimeError is already set and the guard releases nothing.
template <Mode M>
class Access {
public:
    explicit Access(AccessCounter& c) noexcept : c_(&c) {
        if constexpr (M == Mode::Shared) {
            if (!c.try_shared()) {
                c_ = nullptr;
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            }
        } else {
            if (!c.try_exclusive()) {
                c_ = nullptr;
                PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            }
        }
    }
    Access(const Access&) = delete;
    Access& operator=(const Access&) = delete;
    ~Access() {
        if (!c_) return;
        if constexpr (M == Mode::Shared)
            c_->release_shared();
        else
            c_->release_exclusive();
    }
    bool ok() const noexcept { return c_ != nullptr; }

private:
    AccessCounter* c_;
};

using SharedAccess = Access<Mode::Shared>;
using ExclusiveAccess = Access<Mode::Exclusive>;

}  // namespace tarnkv::py
