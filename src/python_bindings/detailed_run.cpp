#include "detailed_run.hpp"

#include "arguments.hpp"
#include "conversion.hpp"
#include "interpreter_lock.hpp"
#include "py_dag.hpp"
#include "run_report.hpp"

#include <optional>
#include <vector>

namespace vantorix::python {

PyObject* execute_detailed(PyObject* dag_object, const Dag& dag, PyObject* const* args,
                           Py_ssize_t nargsf, PyObject* kwnames) {
    static const Signature signature{
        "PyDag.execute_detailed()", {"parallel", "max_threads", "inputs", "on_node"}, 0, 2};
    PyObject* slots[4];
    RunMode mode;
    if (!read_arguments(signature, args, nargsf, kwnames, slots) ||
        !read_run_mode(slots[0], slots[1], mode)) {
        return nullptr;
    }
    std::optional<Context> initial = read_context(slots[2]);
    if (!initial) {
        prefix_argument_error("inputs");
        return nullptr;
    }
    PyObject* on_node = slots[3] == Py_None ? nullptr : slots[3];
    if (on_node != nullptr && !check_callable(on_node)) {
        prefix_argument_error("on_node");
        return nullptr;
    }
    NodeRecords records;
    if (!records.prepare(dag)) {
        return nullptr;
    }
    // With a progress hook, each record is made when its node is recorded and kept here.
    PyRef made = on_node != nullptr ? PyRef::steal(PyList_New(0)) : PyRef();
    if (on_node != nullptr && !made) {
        return nullptr;
    }

    std::vector<NodeTrace> traces;
    traces.reserve(dag.execution_order().size());
    PublishedRecord published;
    published.ends.reserve(dag.execution_order().size());
    std::optional<ExecutionValues> values;
    const bool finished = run_released([&](ExecutionHooks& hooks, ReleasedLock& released) {
        hooks.on_node_traced = [&](NodeTrace&& trace) {
            traces.push_back(std::move(trace));
            if (on_node == nullptr) {
                return;
            }
            call_with_lock(released, [&] {
                PyRef record = records.ran(traces.back());
                return record && PyList_Append(made.get(), record.get()) == 0 &&
                       PyRef::steal(PyObject_CallOneArg(on_node, record.get()));
            });
        };
        values = dag.execute_values(*initial, mode.parallel, mode.max_threads, hooks, &published);
    });
    if (!finished) {
        return nullptr;
    }
    PyRef context = PyRef::steal(result_dict(dag_object, *values, *initial));
    if (!context) {
        return nullptr;
    }
    return new_run_report(dag_object, dag, std::move(context), std::move(traces),
                          std::move(published), std::move(records), std::move(made))
        .release();
}

PyRef levels_to_python(const Levels& levels) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(levels.size())));
    if (!list) {
        return list;
    }
    for (std::size_t level = 0; level < levels.size(); ++level) {
        PyRef ids = ids_to_python(levels[level]);
        if (!ids) {
            return PyRef();
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(level), ids.release());
    }
    return list;
}

} // namespace vantorix::python
