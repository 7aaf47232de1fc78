// Engine values as Python objects.
#pragma once

#include "graph_data/graph_data.hpp"
#include "node/node.hpp"
#include "runtime/py_ref.hpp"

#include <span>
#include <string_view>

namespace vantorix::python {

// A new reference to the Python form of `value`, or null with a Python error set when the
// interpreter cannot create an object. Lock held.
PyRef graph_data_to_python(const GraphData& value);

// Engine text as a `str`. Bytes that are not UTF-8 (only native node functions can produce them)
// are kept as lone surrogates rather than failing. Lock held.
PyRef text_to_python(std::string_view text);

// A context as a new `dict` of its variables, as `PyDag.execute` returns the final one. Null with
// the Python error set when an entry cannot be stored. Lock held.
PyRef context_to_python(const Context& context);

// Node identifiers as a new `list` of `int`. Lock held.
PyRef ids_to_python(std::span<const NodeId> ids);

} // namespace vantorix::python
