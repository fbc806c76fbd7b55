// Holding a caller's mutable container still while it is read: lists, dicts, bytearrays.
//
// Without the GIL another thread can resize a list or a dict while we read it and free the
// storage under us. The interpreter's own operations on such an object lock it through a critical
// section; a reader here does the same, for exactly the span that reads. With the GIL the guard
// is empty and compiles to nothing.
//
// A critical section is suspended whenever its thread blocks (on a lock, on I/O, or in Python code
// that does), and the object may change meanwhile. So inside one: read, take strong references,
// and drop none (a last reference can run a finalizer).
#pragma once

#include <Python.h>

namespace tessel::python {

class CriticalSection {
 public:
  explicit CriticalSection([[maybe_unused]] PyObject* object) noexcept {
#ifdef Py_GIL_DISABLED
    PyCriticalSection_Begin(&section_, object);
#endif
  }
  ~CriticalSection() {
#ifdef Py_GIL_DISABLED
    PyCriticalSection_End(&section_);
#endif
  }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

#ifdef Py_GIL_DISABLED
 private:
  PyCriticalSection section_;
#endif
};

// Holds a PyMutex for a scope. A thread that waits for it detaches from the interpreter (it lets
// go of the GIL, or lets a stop-the-world pause proceed, and its critical sections are suspended),
// so the holder never waits on a waiter.
class MutexLock {
 public:
  explicit MutexLock(PyMutex& mutex) noexcept : mutex_(mutex) { PyMutex_Lock(&mutex_); }
  ~MutexLock() { PyMutex_Unlock(&mutex_); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  PyMutex& mutex_;
};

}  // namespace tessel::python
