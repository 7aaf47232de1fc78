#include "types/dag_object.hpp"

#include "runtime/python_version.hpp"
#include "values/conversion.hpp"

namespace vantorix::python {

const Dag& dag_of(const PyDagObject* self) {
    static const Dag cleared{std::vector<Node>()};
    return self->dag ? *self->dag : cleared;
}

// Runs no Python code, so a concurrent run of the same instance never sees the list half made.
const std::vector<PyRef>* result_keys(PyDagObject* self) {
    std::vector<PyRef>& made_keys = self->keys;
    const Dag& dag = dag_of(self);
    if (!made_keys.empty() || dag.variables().size() == 0) {
        return &made_keys;
    }
    std::vector<PyRef> keys(dag.variables().size());
    bool made = true;
    dag.variables().for_each(
        dag.nodes(), [&keys, &made](VariableId variable, std::string_view name) {
            if (made) {
                keys[variable] = text_to_python(name);
                made = keys[variable] && PyObject_Hash(keys[variable].get()) != -1;
            }
        });
    if (!made) {
        return nullptr;
    }
    made_keys = std::move(keys);
    return &made_keys;
}

PyObject* result_dict(PyDagObject* self, RunResult& result, const Context& initial) {
    const std::vector<PyRef>* keys = result_keys(self);
    if (keys == nullptr) {
        return nullptr;
    }
    std::vector<std::optional<GraphData>>& values = result.values;
    // Sized for every entry at once, as a dict display of known length is. The starting values
    // come first: those that the run shares with the DAG are among its variables too, as they
    // stood at the end, and replace them.
    PyRef dict;
    if (initial.empty()) {
        const auto count = std::count_if(values.begin(), values.end(),
                                         [](const auto& value) { return value.has_value(); });
        dict = PyRef::steal(new_presized_dict(static_cast<Py_ssize_t>(count)));
    } else {
        dict = context_to_python(initial);
    }
    if (!dict) {
        return nullptr;
    }
    for (std::size_t variable = 0; variable < values.size(); ++variable) {
        if (!values[variable]) {
            continue;
        }
        PyRef item = graph_data_to_python(*values[variable]);
        if (!item || PyDict_SetItem(dict.get(), (*keys)[variable].get(), item.get()) < 0) {
            return nullptr;
        }
        values[variable].reset();
    }
    return dict.release();
}

} // namespace vantorix::python
