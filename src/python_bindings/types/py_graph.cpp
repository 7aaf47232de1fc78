#include "types/py_graph.hpp"

#include "builder/builder.hpp"
#include "calls/arguments.hpp"
#include "calls/method.hpp"
#include "runtime/module_state.hpp"
#include "runtime/object_lock.hpp"
#include "types/py_dag.hpp"
#include "values/python_node.hpp"

#include <new>
#include <optional>
#include <string>
#include <vector>

namespace vantorix::python {

namespace {

// The function of the node added last, reused when the next node is added with the same
// callable and the same input names (a chain that applies one callable at every step then holds
// one node function, not one per node).
struct LastFunction {
    PyObject* callable = nullptr; // kept alive by `function`
    std::vector<std::string> input_names;
    NodeFunctionPtr function;
};

struct PyGraphObject {
    PyObject_HEAD
    std::optional<Graph> graph; // empty once built or attached as a branch
    LastFunction last_function;
    // Room for walking every branch graph nested in `graph` without allocating: the collector's
    // traversal must not fail halfway, so its capacity is reserved when a branch is attached.
    std::vector<const Graph*> branch_walk;
    std::size_t branch_count; // branch graphs nested in `graph`, at any depth
    Py_ssize_t borrow;
};

PyGraphObject* as_graph(PyObject* self) { return reinterpret_cast<PyGraphObject*>(self); }

// Moves the graph out of an instance, which is consumed from then on (and lets go of the node
// function it kept for reuse). Empty if it was consumed already.
std::optional<Graph> take_graph(PyObject* instance) {
    PyGraphObject* self = as_graph(instance);
    std::optional<Graph> graph = std::move(self->graph);
    self->graph.reset();
    self->last_function = LastFunction();
    self->branch_walk = std::vector<const Graph*>();
    self->branch_count = 0;
    return graph;
}

PyObject* py_graph_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    ModuleEntry entry;
    if (!reject_all_arguments("PyGraph.__new__()", args, kwargs)) {
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    new (&as_graph(self)->graph) std::optional<Graph>(std::in_place);
    new (&as_graph(self)->last_function) LastFunction();
    new (&as_graph(self)->branch_walk) std::vector<const Graph*>();
    as_graph(self)->branch_count = 0;
    as_graph(self)->borrow = 0;
    return self;
}

// Untracked first, as the DAG's deallocator is: giving the callables back runs finalisers.
void py_graph_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    PyTypeObject* type = Py_TYPE(self);
    {
        ImmediateReleases releases; // the graph's callables are given back at once
        as_graph(self)->graph.~optional();
        as_graph(self)->last_function.~LastFunction();
        as_graph(self)->branch_walk.~vector();
    }
    type->tp_free(self);
    Py_DECREF(type);
}

// Feeds `visitor` the functions of `nodes` and then `extra`, if any.
int visit_functions(const std::vector<Node>& nodes, const NodeFunctionPtr& extra,
                    CallableVisitor& visitor) {
    for (const Node& node : nodes) {
        if (const int stop = visitor.hold(node.function)) {
            return stop;
        }
    }
    if (extra) {
        if (const int stop = visitor.hold(extra)) {
            return stop;
        }
    }
    return visitor.finish();
}

int py_graph_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const PyGraphObject* graph = as_graph(self);
    if (!graph->graph) {
        return 0;
    }
    // The function kept for reuse is shared by the last nodes of the graph itself.
    CallableVisitor visitor(visit, arg);
    if (const int stop =
            visit_functions(graph->graph->nodes(), graph->last_function.function, visitor)) {
        return stop;
    }
    std::vector<const Graph*>& pending = as_graph(self)->branch_walk;
    pending.clear();
    auto push_branches = [&pending](const Graph& parent) {
        for (const Graph::Branch& branch : parent.branches()) {
            if (pending.size() < pending.capacity()) { // always true: reserved for all of them
                pending.push_back(branch.graph.get());
            }
        }
    };
    push_branches(*graph->graph);
    while (!pending.empty()) {
        const Graph* branch = pending.back();
        pending.pop_back();
        if (const int stop = visit_functions(branch->nodes(), nullptr, visitor)) {
            return stop;
        }
        push_branches(*branch);
    }
    return 0;
}

// "<PyGraph: 5 nodes, 2 branches>", counting the nodes of attached branches too, or
// "<PyGraph: consumed>" once built or attached.
PyObject* py_graph_repr(PyObject* self) {
    const ObjectLock lock(self);
    const std::optional<Graph>& graph = as_graph(self)->graph;
    if (!graph) {
        return PyUnicode_FromString("<PyGraph: consumed>");
    }
    std::size_t nodes = 0;
    std::size_t branches = 0;
    std::vector<const Graph*> pending{&*graph};
    while (!pending.empty()) {
        const Graph* current = pending.back();
        pending.pop_back();
        nodes += current->nodes().size();
        branches += current->branches().size();
        for (const Graph::Branch& branch : current->branches()) {
            pending.push_back(branch.graph.get());
        }
    }
    return PyUnicode_FromFormat("<PyGraph: %zu node%s, %zu branch%s>", nodes,
                                nodes == 1 ? "" : "s", branches, branches == 1 ? "" : "es");
}

// Breaks a reference cycle through the graph's callables: the instance is consumed, as after
// `build`. An instance that a method is using is left alone.
int py_graph_clear(PyObject* self) {
    if (as_graph(self)->borrow != 0) {
        return 0;
    }
    ImmediateReleases releases; // the callables are given back now, not at the next call
    std::optional<Graph> released = take_graph(self);
    return 0;
}

// Appends (first, second) read as texts; false with the error set when one is no `str`.
bool add_pair(Graph::MappingPairs& pairs, PyObject* first, PyObject* second) {
    std::optional<std::string> key = read_text(first);
    std::optional<std::string> value = key ? read_text(second) : std::nullopt;
    if (!value) {
        return false;
    }
    pairs.emplace_back(std::move(*key), std::move(*value));
    return true;
}

// Reads `inputs`/`outputs`: a dict (in storage order) or a list of 2-tuples of str.
std::optional<Graph::MappingPairs> parse_mapping(PyObject* object) {
    Graph::MappingPairs pairs;
    // Another thread may change the mapping meanwhile (free-threaded interpreter): it waits.
    const ObjectLock lock(object);
    if (PyDict_Check(object)) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(object, &position, &key, &value)) {
            if (!add_pair(pairs, key, value)) {
                return std::nullopt;
            }
        }
        return pairs;
    }
    if (!PyList_Check(object)) {
        PyErr_SetString(PyExc_ValueError, "inputs/outputs must be a dict or list of tuples");
        return std::nullopt;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
        PyObject* item = PyList_GET_ITEM(object, i);
        if (!PyTuple_Check(item)) {
            raise_conversion_error(item, "PyTuple");
            return std::nullopt;
        }
        if (PyTuple_GET_SIZE(item) != 2) {
            PyErr_Format(PyExc_ValueError,
                         "expected tuple of length 2, but got tuple of length %zd",
                         PyTuple_GET_SIZE(item));
            return std::nullopt;
        }
        if (!add_pair(pairs, PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1))) {
            return std::nullopt;
        }
    }
    return pairs;
}

std::optional<Graph::MappingPairs> parse_optional_mapping(PyObject* object) {
    if (object == nullptr || object == Py_None) {
        return Graph::MappingPairs{};
    }
    return parse_mapping(object);
}

PyObject* py_graph_add(PyGraphObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) {
    static const Signature signature{
        "PyGraph.add()", {"function", "label", "inputs", "outputs"}, 0};
    PyObject* given[4];
    if (!read_arguments(signature, args, nargsf, kwnames, given)) {
        return nullptr;
    }
    PyObject* function = given[0] == Py_None ? nullptr : given[0];
    std::optional<std::string> label;
    if (given[1] != nullptr && given[1] != Py_None) {
        label = read_text(given[1]);
        if (!label) {
            prefix_argument_error("label");
            return nullptr;
        }
    }
    std::optional<Graph>& graph = self->graph;
    if (!graph) {
        PyErr_SetString(PyExc_ValueError, "Graph has already been built or consumed");
        return nullptr;
    }
    std::optional<Graph::MappingPairs> inputs = parse_optional_mapping(given[2]);
    if (!inputs) {
        return nullptr;
    }
    std::optional<Graph::MappingPairs> outputs = parse_optional_mapping(given[3]);
    if (!outputs) {
        return nullptr;
    }
    NodeFunctionPtr node_function = noop_node_function();
    if (function != nullptr) {
        std::vector<std::string> input_names;
        input_names.reserve(inputs->size());
        for (const auto& [broadcast_var, impl_var] : *inputs) {
            input_names.push_back(impl_var);
        }
        LastFunction& last = self->last_function;
        if (last.callable != function || last.input_names != input_names) {
            last.function = create_python_node_function(PyRef::borrow(function), input_names);
            last.callable = function;
            last.input_names = std::move(input_names);
        }
        node_function = last.function;
    }
    graph->add(std::move(node_function), std::move(label), std::move(*inputs),
               std::move(*outputs));
    Py_RETURN_NONE;
}

PyObject* py_graph_branch(PyGraphObject* self, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) {
    static const Signature signature{"PyGraph.branch()", {"subgraph"}, 1};
    PyObject* subgraph = nullptr;
    if (!read_arguments(signature, args, nargsf, kwnames, &subgraph)) {
        return nullptr;
    }
    if (Py_TYPE(subgraph) != module_state().graph_type) {
        raise_conversion_error(subgraph, "PyGraph");
        prefix_argument_error("subgraph");
        return nullptr;
    }
    const ObjectLock sub_lock(subgraph);
    Borrow sub_borrow(as_graph(subgraph)->borrow, Borrow::Kind::Exclusive);
    if (!sub_borrow.ok()) {
        return nullptr;
    }
    std::optional<Graph>& graph = self->graph;
    if (!graph) {
        PyErr_SetString(PyExc_ValueError, "Graph has already been built or consumed");
        return nullptr;
    }
    if (!as_graph(subgraph)->graph) {
        PyErr_SetString(PyExc_ValueError, "Subgraph has already been built or consumed");
        return nullptr;
    }
    const std::size_t branch_count = self->branch_count + as_graph(subgraph)->branch_count + 1;
    self->branch_walk.reserve(branch_count); // before anything changes
    std::optional<Graph> branch = take_graph(subgraph);
    self->branch_count = branch_count;
    return PyLong_FromUnsignedLongLong(graph->branch(std::move(*branch)));
}

PyObject* py_graph_build(PyGraphObject* self, PyObject*) {
    std::optional<Graph> graph = take_graph(reinterpret_cast<PyObject*>(self));
    if (!graph) {
        PyErr_SetString(PyExc_ValueError, "Graph has already been built");
        return nullptr;
    }
    return new_py_dag(std::move(*graph).build());
}

PyMethodDef g_methods[] = {
    {"add", method<py_graph_add, Borrow::Kind::Exclusive>(), METH_FASTCALL | METH_KEYWORDS,
     "add($self, function=..., label=..., inputs=..., outputs=...)\n--\n\n"
     "Add a node to the graph\n\n"
     "Args:\n"
     "    function: Optional Python callable. If None, creates a no-op node.\n"
     "    label: Optional string label for the node\n"
     "    inputs: Optional list of (broadcast_var, impl_var) tuples or dict\n"
     "    outputs: Optional list of (impl_var, broadcast_var) tuples or dict\n\n"
     "Returns:\n"
     "    Self for method chaining"},
    {"branch", method<py_graph_branch, Borrow::Kind::Exclusive>(), METH_FASTCALL | METH_KEYWORDS,
     "branch($self, subgraph)\n--\n\n"
     "Create a branch in the graph\n\n"
     "Args:\n"
     "    subgraph: PyGraph instance representing the branch\n\n"
     "Returns:\n"
     "    Branch ID (usize)"},
    {"build", method<py_graph_build, Borrow::Kind::Exclusive>(), METH_NOARGS,
     "build($self)\n--\n\n"
     "Build the DAG from the graph\n\n"
     "Returns:\n"
     "    PyDag instance ready for execution"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for Graph builder")},
    {Py_tp_new, guarded_slot<py_graph_new>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(py_graph_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(py_graph_traverse)},
    {Py_tp_clear, guarded_slot<py_graph_clear>()},
    {Py_tp_repr, guarded_slot<py_graph_repr>()},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

// Tracked by the cyclic collector: a node's callable may refer back to the graph.
PyType_Spec g_spec{"builtins.PyGraph", sizeof(PyGraphObject), 0,
                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, g_slots};

} // namespace

PyType_Spec* py_graph_spec() { return &g_spec; }

} // namespace vantorix::python
