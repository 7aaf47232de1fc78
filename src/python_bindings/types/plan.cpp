#include "types/plan.hpp"

#include "dag/data_flow.hpp"
#include "runtime/module_state.hpp"
#include "types/named_tuples.hpp"
#include "values/conversion.hpp"
#include "values/python_node.hpp"

namespace vantorix::python {

namespace {

constexpr const char* kPlanRecordDoc =
    "One scheduled node of PyDag.plan(), in the order a run merges results.\n\n"
    "id, label, branch_id, level: the node's; function: its callable, or None for a no-op node; "
    "inputs: [(context name, parameter name)]; outputs: [(result name, context name)]; "
    "dependencies: identifiers it waits for; reads: {context name: id of the node whose value "
    "it sees, or None}; writes: {context name: id of the previous node that publishes it, or "
    "None}. A node may publish nothing at run time; these follow from the mappings alone.";

constexpr const char* kFindingDoc =
    "A concern about the data flow, found by PyDag.check(): node id and label, the variable "
    "name, kind ('unpublished read', 'same-level read' or 'same-level write'), and the other "
    "node involved (other, other_label), or None.";

constexpr const char* kKinds[] = {"unpublished read", "same-level read", "same-level write"};

// "node 'label' (id 3)", or "node 3" for a node without label.
PyRef node_text(PyObject* id, PyObject* label) {
    return PyRef::steal(label == Py_None ? PyUnicode_FromFormat("node %S", id)
                                         : PyUnicode_FromFormat("node %R (id %S)", label, id));
}

// str() of a finding: what goes wrong, naming the nodes by label.
PyObject* finding_str(PyObject*, PyObject* finding) {
    if (!PyTuple_Check(finding) || PyTuple_GET_SIZE(finding) != 6) {
        PyErr_SetString(PyExc_TypeError, "not a Finding");
        return nullptr;
    }
    auto item = [finding](Py_ssize_t index) { return PyTuple_GET_ITEM(finding, index); };
    PyRef node = node_text(item(0), item(1));
    PyRef other = item(4) == Py_None ? PyRef() : node_text(item(4), item(5));
    if (!node || (item(4) != Py_None && !other)) {
        return nullptr;
    }
    if (PyUnicode_CompareWithASCIIString(item(3), kKinds[0]) == 0) {
        return PyUnicode_FromFormat(
            "%U reads %R, which no node before it publishes: it is missing unless the run's "
            "inputs hold it",
            node.get(), item(2));
    }
    if (PyUnicode_CompareWithASCIIString(item(3), kKinds[1]) == 0) {
        return PyUnicode_FromFormat(
            "%U reads %R, which %U of its own level publishes: sequential and parallel runs "
            "give it different values",
            node.get(), item(2), other.get());
    }
    return PyUnicode_FromFormat("%U and %U, of one level, both publish %R: in a parallel run the "
                                "one that finishes last wins",
                                node.get(), other.get(), item(2));
}

PyMethodDef g_finding_str{"__str__", finding_str, METH_O, nullptr};

// Both record types, made on first need and kept for the process. Making one runs Python code,
// which may make records itself: the first type made is kept.
bool ensure_types() {
    ModuleState& state = module_state();
    if (published(state.plan_record_type) == nullptr) {
        PyRef type = PyRef::steal(reinterpret_cast<PyObject*>(new_named_tuple_type(
            "PlanRecord",
            "id label function inputs outputs dependencies branch_id level reads writes",
            kPlanRecordDoc)));
        if (!type) {
            return false;
        }
        publish_once(state.plan_record_type, std::move(type));
    }
    if (published(state.finding_type) == nullptr) {
        PyRef type = PyRef::steal(reinterpret_cast<PyObject*>(
            new_named_tuple_type("Finding", "id label name kind other other_label", kFindingDoc)));
        PyRef function = PyRef::steal(PyCFunction_NewEx(&g_finding_str, nullptr, nullptr));
        PyRef method = function ? PyRef::steal(PyInstanceMethod_New(function.get())) : PyRef();
        if (!type || !method || PyObject_SetAttrString(type.get(), "__str__", method.get()) < 0) {
            return false;
        }
        publish_once(state.finding_type, std::move(type));
    }
    return true;
}

PyObject* id_or_none(const Dag& dag, NodePosition position) {
    return position == DataFlow::kNone ? new_reference(Py_None)
                                       : PyLong_FromUnsignedLongLong(dag.nodes()[position].id);
}

PyObject* label_of(const Node& node) {
    return node.label ? text_to_python(*node.label).release() : new_reference(Py_None);
}

// The `str` of a context name: the DAG's own key when it is one of its variables.
PyRef name_key(const std::vector<PyRef>& keys, VariableId variable, std::string_view name) {
    return variable == Variables::kUnpublished ? text_to_python(name)
                                               : PyRef::borrow(keys[variable].get());
}

// [(first, second)] of a mapping, in its order.
PyRef mapping_list(const VariableMapping& mapping) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(mapping.size())));
    Py_ssize_t index = 0;
    for (const auto [first, second] : mapping) {
        PyRef pair = list ? PyRef::steal(Py_BuildValue("(NN)", text_to_python(first).release(),
                                                       text_to_python(second).release()))
                          : PyRef();
        if (!pair) {
            return PyRef();
        }
        PyList_SET_ITEM(list.get(), index++, pair.release());
    }
    return list;
}

// {name: id of a node, or None} for the entries of one mapping side.
template <class Names>
PyRef node_by_name(const Dag& dag, const std::vector<PyRef>& keys, const Names& names,
                   std::span<const VariableId> variables, std::span<const NodePosition> nodes) {
    PyRef dict = PyRef::steal(PyDict_New());
    std::size_t index = 0;
    for (const std::string_view name : names) {
        PyRef key = dict ? name_key(keys, variables[index], name) : PyRef();
        PyRef node = key ? PyRef::steal(id_or_none(dag, nodes[index])) : PyRef();
        if (!node || PyDict_SetItem(dict.get(), key.get(), node.get()) < 0) {
            return PyRef();
        }
        ++index;
    }
    return dict;
}

// The context names of one side of a mapping: keys of inputs, values of outputs.
struct MappingNames {
    const VariableMapping& mapping;
    bool keys;
    struct Iterator {
        VariableMapping::const_iterator at;
        bool keys;
        std::string_view operator*() const { return keys ? (*at).first : (*at).second; }
        Iterator& operator++() {
            ++at;
            return *this;
        }
        bool operator!=(const Iterator& other) const { return !(at == other.at); }
    };
    Iterator begin() const { return {mapping.begin(), keys}; }
    Iterator end() const { return {mapping.end(), keys}; }
};

PyRef dependency_list(const Node& node) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(node.dependencies.size())));
    Py_ssize_t index = 0;
    for (const NodeId dependency : node.dependencies) {
        PyObject* id = list ? PyLong_FromUnsignedLongLong(dependency) : nullptr;
        if (id == nullptr) {
            return PyRef();
        }
        PyList_SET_ITEM(list.get(), index++, id);
    }
    return list;
}

} // namespace

PyObject* plan_records(PyDagObject* self, bool parallel) {
    const Dag& dag = dag_of(self);
    const std::vector<PyRef>* keys = result_keys(self);
    if (!ensure_types() || keys == nullptr) {
        return nullptr;
    }
    const DataFlow flow(dag, parallel);
    const std::vector<std::uint32_t> level_of = dag.level_of_positions();
    const Variables& variables = dag.variables();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(flow.order().size())));
    Py_ssize_t index = 0;
    for (const NodePosition position : flow.order()) {
        const Node& node = dag.nodes()[position];
        PyObject* function = python_callable(*node.function);
        PyRef record =
            list
                ? make_named_tuple(
                      module_state().plan_record_type,
                      {PyLong_FromUnsignedLongLong(node.id), label_of(node),
                       new_reference(function != nullptr ? function : Py_None),
                       mapping_list(node.input_mapping).release(),
                       mapping_list(node.output_mapping).release(),
                       dependency_list(node).release(),
                       node.branch_id ? PyLong_FromUnsignedLongLong(*node.branch_id)
                                      : new_reference(Py_None),
                       PyLong_FromUnsignedLong(level_of[position]),
                       node_by_name(dag, *keys, MappingNames{node.input_mapping, true},
                                    variables.inputs(position, node), flow.reads(position, node))
                           .release(),
                       node_by_name(dag, *keys, MappingNames{node.output_mapping, false},
                                    variables.outputs(position, node), flow.writes(position, node))
                           .release()})
                : PyRef();
        if (!record) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), index++, record.release());
    }
    return list.release();
}

PyObject* check_findings(PyDagObject* self, bool parallel) {
    const Dag& dag = dag_of(self);
    if (!ensure_types()) {
        return nullptr;
    }
    const std::vector<DataFlow::Finding> findings = DataFlow(dag, parallel).findings();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(findings.size())));
    Py_ssize_t index = 0;
    for (const DataFlow::Finding& finding : findings) {
        const Node& node = dag.nodes()[finding.node];
        const bool other = finding.other != DataFlow::kNone;
        PyRef record =
            list ? make_named_tuple(
                       module_state().finding_type,
                       {PyLong_FromUnsignedLongLong(node.id), label_of(node),
                        text_to_python(finding.name).release(),
                        PyUnicode_FromString(kKinds[static_cast<int>(finding.concern)]),
                        id_or_none(dag, finding.other),
                        other ? label_of(dag.nodes()[finding.other]) : new_reference(Py_None)})
                 : PyRef();
        if (!record) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), index++, record.release());
    }
    return list.release();
}

} // namespace vantorix::python
