// Reading the arguments of methods into engine values, with the interpreter's own messages.
#pragma once

#include "graph_data/graph_data.hpp"
#include "runtime/py_ref.hpp"

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>

namespace vantorix::python {

// One METH_FASTCALL | METH_KEYWORDS signature: the method's full name, as used in messages
// ("PyGraph.add()"), its parameters in order, how many of them are required (the first ones) and
// how many are keyword-only (the last ones, never required).
struct Signature {
    const char* full_name;
    std::initializer_list<const char*> parameters;
    std::size_t required;
    std::size_t keyword_only = 0;
};

// Fills `values` (one per parameter) with borrowed arguments, null where none was given. Returns
// false with the interpreter's wording of a TypeError set on a bad count or keyword.
bool read_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, PyObject** values);

// Checks that a constructor was called without any argument.
bool reject_all_arguments(const char* full_name, PyObject* args, PyObject* kwargs);

// Raises "'<type>' object cannot be converted to '<target>'" for `object`.
void raise_conversion_error(PyObject* object, const char* target);

// If a TypeError is set, replaces it by one prefixed with "argument '<name>': ", keeping its
// cause. Other errors are left as they are.
void prefix_argument_error(const char* name);

// A `bool` argument (the exact type: no truth-value conversion) into `value`; null leaves it as
// it is. A TypeError naming "PyBool" with the argument prefix for `name` otherwise.
bool read_bool(PyObject* object, const char* name, bool& value);

// `parallel` and `max_threads` of a run, as `PyDag.execute` takes them.
struct RunMode {
    bool parallel = false;
    std::optional<std::size_t> max_threads;
};

// Converts the two arguments (null where not given) into `mode`. Returns false with the argument
// error set.
bool read_run_mode(PyObject* parallel, PyObject* max_threads, RunMode& mode);

// A `dict` with `str` keys as a context whose values hold its value objects; `None` is an empty
// context. A TypeError naming "PyDict", or "PyString" for a key, otherwise.
std::optional<Context> read_context(PyObject* object);

// Checks that `object` can be called; a TypeError "'<type>' object is not callable" otherwise.
bool check_callable(PyObject* object);

// A `str` as UTF-8 text; a TypeError naming "PyString" for other types, the interpreter's
// encoding error for strings that cannot be encoded.
std::optional<std::string> read_text(PyObject* object);

} // namespace vantorix::python
