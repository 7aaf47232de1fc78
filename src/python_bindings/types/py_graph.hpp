// The `PyGraph` class: builds a graph of Python callables.
#pragma once

#include "runtime/py_ref.hpp"

namespace vantorix::python {

// The class's PyType_Spec: name, slots, methods and documentation texts.
PyType_Spec* py_graph_spec();

} // namespace vantorix::python
