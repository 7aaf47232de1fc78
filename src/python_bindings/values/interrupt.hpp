// Python exceptions that stop a run: they cross threads held as engine values.
#pragma once

#include "dag/current_run.hpp"
#include "graph_data/graph_data.hpp"
#include "runtime/py_ref.hpp"

namespace vantorix::python {

// A node raised SystemExit or KeyboardInterrupt (or a hook of the run raised anything): the run
// stops and the method that started it re-raises that very exception on its calling thread.
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

} // namespace vantorix::python
