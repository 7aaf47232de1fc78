// Node functions backed by Python callables.
#pragma once

#include "graph_data/graph_data.hpp"
#include "py_ref.hpp"

#include "dag/dag.hpp"

#include <string>
#include <vector>

namespace vantorix::python {

// A node raised SystemExit or KeyboardInterrupt: the run stops and `execute` re-raises that very
// exception on its calling thread. The exception is held like any engine value.
class PythonInterrupt : public ExecutionInterrupt {
public:
    PythonInterrupt(GraphData type, GraphData value, GraphData traceback)
        : type_(std::move(type)), value_(std::move(value)), traceback_(std::move(traceback)) {}
    // Takes the current Python error out. Lock held.
    static PythonInterrupt take_current();
    // Sets the held exception as the current Python error. Lock held.
    void restore() const;

private:
    GraphData type_, value_, traceback_;
};

// A node function ran while the interpreter was shutting down and did not enter Python.
class InterpreterShutdown : public ExecutionInterrupt {};

// Wraps `callable` (a new reference, moved in) as a node function. `input_names` are the names
// under which the function receives its inputs, when known: their `str` keys are made once.
NodeFunctionPtr create_python_node_function(PyRef callable,
                                            const std::vector<std::string>& input_names = {});

// Writes `message` through `sys.stderr.write`, looked up now; any failure is ignored. Lock held.
void write_stderr(PyObject* message);

} // namespace vantorix::python
