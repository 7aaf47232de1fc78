// Module-wide objects shared by the classes.
#pragma once

#include "py_ref.hpp"

#include <string>

namespace vantorix::python {

// Creates the module object; what `PyInit_vantorix` returns. Succeeds once per process.
PyObject* initialise();

// Raises the internal-failure exception (derived directly from BaseException, so that
// `except Exception` does not swallow it) with `message` as its single argument.
void raise_internal_failure(const std::string& message);

} // namespace vantorix::python
