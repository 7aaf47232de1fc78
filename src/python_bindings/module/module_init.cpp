// The module's only exported symbol.
#include "module/module.hpp"

PyMODINIT_FUNC PyInit_vantorix(void) { return vantorix::python::initialise(); }
