// The module object.
#pragma once

#include "runtime/py_ref.hpp"

namespace vantorix::python {

// Creates the module object; what `PyInit_vantorix` returns. Succeeds once per process.
PyObject* initialise();

} // namespace vantorix::python
