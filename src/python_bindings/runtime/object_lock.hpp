// The per-object lock of a free-threaded interpreter (a critical section), which CPython's own
// types take around what they change; with the GIL, the GIL serves and this is nothing.
//
// A critical section is let go of while its thread waits (for another object's lock, or with its
// thread state detached) and taken back afterwards, so two of them never deadlock; what it
// protects is consistent only between the waits. The borrow counters catch whatever comes in
// between, as they catch a thread switch under the GIL.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vantorix::python {

class ObjectLock {
public:
#ifdef Py_GIL_DISABLED
    explicit ObjectLock(PyObject* object) { PyCriticalSection_Begin(&section_, object); }
    ~ObjectLock() { PyCriticalSection_End(&section_); }
#else
    explicit ObjectLock(PyObject*) noexcept {}
#endif
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;

private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

} // namespace vantorix::python
