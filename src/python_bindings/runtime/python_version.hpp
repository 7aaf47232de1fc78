// The calls that differ between the interpreter versions the module supports, in one place.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vantorix::python {

// Whether the interpreter has begun to finalise (or has finalised).
inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0 || Py_IsInitialized() == 0;
#else
    return _Py_IsFinalizing() != 0 || Py_IsInitialized() == 0;
#endif
}

// Tells a free-threaded interpreter that the module keeps itself consistent without the GIL, so
// that importing it does not turn the GIL back on. Nothing to tell otherwise. 0, or -1 with an
// error set.
inline int declare_gil_not_needed(PyObject* module) {
#ifdef Py_GIL_DISABLED
    return PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED);
#else
    (void)module;
    return 0;
#endif
}

// Reports the current error as unraisable, after "Exception ignored in audit hook".
inline void write_audit_hook_failure() {
#if PY_VERSION_HEX >= 0x030D0000
    PyErr_FormatUnraisable("Exception ignored in audit hook");
#else
    _PyErr_WriteUnraisableMsg("in audit hook", nullptr);
#endif
}

// A new dict with room for `size` entries, as a dict display of known length is made. New
// reference, or null with an error set.
inline PyObject* new_presized_dict(Py_ssize_t size) {
#if PY_VERSION_HEX < 0x030E0000
    return _PyDict_NewPresized(size);
#else
    (void)size;
    return PyDict_New();
#endif
}

// Adds `note` to `exception` (from 3.11 on; earlier versions have no notes). Keeps any error that
// is set.
inline void add_exception_note(PyObject* exception, PyObject* note) {
#if PY_VERSION_HEX >= 0x030B0000
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* added = PyObject_CallMethod(exception, "add_note", "O", note);
    Py_XDECREF(added);
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
#else
    (void)exception;
    (void)note;
#endif
}

} // namespace vantorix::python
