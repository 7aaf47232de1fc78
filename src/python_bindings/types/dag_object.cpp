#include "types/dag_object.hpp"

#include "runtime/python_version.hpp"
#include "values/conversion.hpp"

#include <atomic>
#include <memory>
#include <utility>

namespace vantorix::python {

const Dag& dag_of(const PyDagObject* self) {
    static const Dag cleared{std::vector<Node>()};
    return self->dag ? *self->dag : cleared;
}

const std::vector<PyRef>* result_keys(PyDagObject* self) {
    std::atomic_ref<const std::vector<PyRef>*> kept(self->keys);
    if (const std::vector<PyRef>* made = kept.load(std::memory_order_acquire)) {
        return made;
    }
    const Dag& dag = dag_of(self);
    auto keys = std::make_unique<std::vector<PyRef>>(dag.variables().size());
    bool made = true;
    dag.variables().for_each(dag.nodes(),
                             [&keys, &made](VariableId variable, std::string_view name) {
                                 PyRef& key = (*keys)[variable];
                                 if (made) {
                                     key = text_to_python(name);
                                     made = key && PyObject_Hash(key.get()) != -1;
                                 }
                             });
    if (!made) {
        return nullptr;
    }
    const std::vector<PyRef>* first = nullptr;
    if (kept.compare_exchange_strong(first, keys.get(), std::memory_order_acq_rel)) {
        return keys.release();
    }
    return first;
}

void release_result_keys(PyDagObject* self) noexcept { delete std::exchange(self->keys, nullptr); }

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
