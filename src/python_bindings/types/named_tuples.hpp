// The module's records: classes made by `collections.namedtuple`, so that they have `_fields`
// and `_asdict()` and tools that take named tuples (pandas, csv writers) take them too.
#pragma once

#include "runtime/py_ref.hpp"

#include <initializer_list>

namespace vantorix::python {

// A new named tuple class `vantorix.<name>` with the space-separated `fields` and the
// documentation `doc`. New reference, or null with an error set.
PyTypeObject* new_named_tuple_type(const char* name, const char* fields, const char* doc);

// An instance of `type` holding `items`, whose references it takes over (null items make it
// fail). Null with an error set.
PyRef make_named_tuple(PyTypeObject* type, std::initializer_list<PyObject*> items);

} // namespace vantorix::python
