// The per-instance access counter of the writer: 0 free, n > 0 shared holders, -1 one
// exclusive holder. A conflicting call fails at once with RuntimeError; nothing ever waits. The
// counter is atomic so that the rule also holds on an interpreter without the global lock.
// With the lock, a conflict arises when another thread calls in while build() runs without it,
// and within one thread when an argument's __index__ calls back into the object.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace tarnkv::py {

class AccessCounter {
public:
    // Shared access: +1 unless someone holds it exclusively.
    bool try_shared() noexcept {
        std::intptr_t cur = state_.load(std::memory_order_relaxed);
        do {
            if (cur < 0) return false;
        } while (!state_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed));
        return true;
    }
    void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

    // Exclusive access: only from free.
    bool try_exclusive() noexcept {
        std::intptr_t expected = 0;
        return state_.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed);
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
