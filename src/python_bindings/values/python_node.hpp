// Node functions backed by Python callables.
#pragma once

#include "graph_data/graph_data.hpp"
#include "runtime/py_ref.hpp"

#include <string>
#include <vector>

namespace vantorix::python {

// Wraps `callable` (a new reference, moved in) as a node function. `input_names` are the names
// under which the function receives its inputs, when known: their `str` keys are made once.
NodeFunctionPtr create_python_node_function(PyRef callable,
                                            const std::vector<std::string>& input_names = {});

// The Python callable behind `function` (borrowed), or null for a function of another kind.
PyObject* python_callable(const NodeFunction& function) noexcept;

// Shows the cyclic garbage collector (tp_traverse) the Python callables behind the node functions
// an instance holds. Functions are fed in the order the instance holds them; nodes that share a
// function hold it consecutively (other functions between them do not count). Its callable's one
// reference is visited once, and only when the pointers fed in are all the owners of that
// function: a function also held elsewhere is not visited, so the collector keeps it alive rather
// than freeing it while another owner still needs it.
class CallableVisitor {
public:
    CallableVisitor(visitproc visit, void* arg) noexcept : visit_(visit), arg_(arg) {}
    // Returns what tp_traverse must return when it is not 0.
    int hold(const NodeFunctionPtr& function) noexcept;
    // Ends the feeding; returns as `hold` does.
    int finish() noexcept;

private:
    visitproc visit_;
    void* arg_;
    const NodeFunction* current_ = nullptr; // Python-backed
    long owners_ = 0;                       // of `current_`
    long held_ = 0;                         // pointers to `current_` fed in
};

} // namespace vantorix::python
