// Holds a PyMutex for a scope (PyMutex_Lock detaches the thread state while it waits, so a
// waiting thread cannot deadlock with one that needs the interpreter to finish).
#pragma once

#include <Python.h>

namespace tarnkv::native {

class MutexLock {
public:
    explicit MutexLock(PyMutex& m) : m_(m) { PyMutex_Lock(&m_); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;
    ~MutexLock() { PyMutex_Unlock(&m_); }

private:
    PyMutex& m_;
};

}  // namespace tarnkv::native
