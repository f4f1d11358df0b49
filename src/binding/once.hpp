// A process-wide Python object made on first use and kept for the life of the process (the
// two classes, the panic exception). Waiting goes through PyMutex, which detaches the thread
// state while it blocks: a thread that waits here cannot deadlock with the thread that is
// making the object, even if making it lets the interpreter switch threads.
#pragma once

#include <Python.h>

#include <atomic>

namespace tarnkv::py {

class OnceObject {
public:
    // Returns the object (a borrowed, immortal-in-practice reference), calling `make` (which
    // returns a new reference, or nullptr with an exception set) if nobody has succeeded yet.
    // A failed `make` leaves the slot empty so that a later call tries again.
    template <class Make>
    PyObject* get(Make&& make) {
        if (PyObject* p = obj_.load(std::memory_order_acquire)) return p;
        PyMutex_Lock(&mu_);
        struct Unlock {
            PyMutex* m;
            ~Unlock() { PyMutex_Unlock(m); }
        } unlock{&mu_};
        PyObject* p = obj_.load(std::memory_order_relaxed);
        if (!p) {
            p = make();
            if (p) obj_.store(p, std::memory_order_release);
        }
        return p;
    }

private:
    std::atomic<PyObject*> obj_{nullptr};
    PyMutex mu_{};
};

}  // namespace tarnkv::py
