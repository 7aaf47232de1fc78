#include "types/py_dag.hpp"

#include "calls/arguments.hpp"
#include "calls/method.hpp"
#include "calls/released_run.hpp"
#include "dag/mermaid.hpp"
#include "runtime/module_state.hpp"
#include "types/dag_object.hpp"
#include "types/node_record.hpp"
#include "types/plan.hpp"
#include "types/run_report.hpp"
#include "values/cache_session.hpp"
#include "values/conversion.hpp"
#include "values/python_node.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>

namespace vantorix::python {

namespace {

PyObject* py_dag_new(PyTypeObject*, PyObject*, PyObject*) {
    ModuleEntry entry;
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

// Untracked first: destroying the DAG gives its callables back, which runs their finalisers, and
// the collector that they may start must not meet this instance half destroyed.
void py_dag_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    PyTypeObject* type = Py_TYPE(self);
    {
        ImmediateReleases releases;
        as_dag_object(self)->dag.~unique_ptr();
        release_result_keys(as_dag_object(self));
    }
    type->tp_free(self);
    Py_DECREF(type);
}

int py_dag_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const std::unique_ptr<const Dag>& dag = as_dag_object(self)->dag;
    if (!dag) {
        return 0;
    }
    CallableVisitor visitor(visit, arg);
    for (const Node& node : dag->nodes()) {
        if (const int stop = visitor.hold(node.function)) {
            return stop;
        }
    }
    return visitor.finish();
}

// Breaks a reference cycle through the nodes' callables by dropping the DAG. An instance that is
// being executed or rendered is left alone: its running calls still read the DAG.
int py_dag_clear(PyObject* self) {
    if (as_dag_object(self)->borrow != 0) {
        return 0;
    }
    ImmediateReleases releases; // the callables are given back now, not at the next call
    std::unique_ptr<const Dag> released = std::move(as_dag_object(self)->dag);
    return 0;
}

PyObject* py_dag_execute(PyDagObject* self, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) {
    static const Signature signature{"PyDag.execute()", {"parallel", "max_threads"}, 0};
    PyObject* given[2];
    RunMode mode;
    if (!read_arguments(signature, args, nargsf, kwnames, given) ||
        !read_run_mode(given[0], given[1], mode) ||
        !check_room_for_nested_run("PyDag.execute()")) {
        return nullptr;
    }
    const Dag& dag = dag_of(self);
    RunOptions options;
    options.parallel = mode.parallel;
    options.max_threads = mode.max_threads;
    RunResult result;
    if (!run_released(options, [&](ReleasedLock&) { result = run(dag, options); })) {
        return nullptr;
    }
    return result_dict(self, result, Context());
}

// `errors`: "continue" (absent or None too), "raise" or "skip".
std::optional<OnFailure> read_on_failure(PyObject* errors) {
    if (errors == nullptr || errors == Py_None) {
        return OnFailure::Continue;
    }
    const std::optional<std::string> text = read_text(errors);
    if (!text) {
        prefix_argument_error("errors");
        return std::nullopt;
    }
    if (*text == "continue" || *text == "raise" || *text == "skip") {
        return *text == "continue" ? OnFailure::Continue
               : *text == "raise"  ? OnFailure::Stop
                                   : OnFailure::Skip;
    }
    PyErr_Format(PyExc_ValueError,
                 "argument 'errors': expected 'continue', 'raise' or 'skip', got %R", errors);
    return std::nullopt;
}

// `parallel` of plan() and check().
std::optional<bool> read_parallel(const char* full_name, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames) {
    const Signature signature{full_name, {"parallel"}, 0};
    PyObject* given[1];
    bool parallel = false;
    if (!read_arguments(signature, args, nargsf, kwnames, given) ||
        !read_bool(given[0], "parallel", parallel)) {
        return std::nullopt;
    }
    return parallel;
}

PyObject* py_dag_plan(PyDagObject* self, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames) {
    const std::optional<bool> parallel = read_parallel("PyDag.plan()", args, nargsf, kwnames);
    return parallel ? plan_records(self, *parallel) : nullptr;
}

PyObject* py_dag_check(PyDagObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) {
    const std::optional<bool> parallel = read_parallel("PyDag.check()", args, nargsf, kwnames);
    return parallel ? check_findings(self, *parallel) : nullptr;
}

PyObject* py_dag_execute_detailed(PyDagObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames) {
    static const Signature signature{
        "PyDag.execute_detailed()",
        {"parallel", "max_threads", "inputs", "on_node", "errors", "print_errors", "cache"},
        0,
        5};
    PyObject* given[7];
    RunMode mode;
    bool print_errors = true;
    if (!check_room_for_nested_run("PyDag.execute_detailed()") ||
        !read_arguments(signature, args, nargsf, kwnames, given) ||
        !read_run_mode(given[0], given[1], mode) ||
        !read_bool(given[5], "print_errors", print_errors)) {
        return nullptr;
    }
    const std::optional<OnFailure> on_failure = read_on_failure(given[4]);
    if (!on_failure) {
        return nullptr;
    }
    std::optional<Context> initial = read_context(given[2]);
    if (!initial) {
        prefix_argument_error("inputs");
        return nullptr;
    }
    PyObject* on_node = given[3] == Py_None ? nullptr : given[3];
    if (on_node != nullptr && !check_callable(on_node)) {
        prefix_argument_error("on_node");
        return nullptr;
    }
    const Dag& dag = dag_of(self);
    NodeRecords records;
    if (!records.prepare(dag)) {
        return nullptr;
    }
    std::unique_ptr<CacheSession> cache;
    if (given[6] != nullptr && given[6] != Py_None) {
        cache = CacheSession::open(given[6], dag);
        if (!cache) {
            return nullptr;
        }
    }
    // With a progress hook, each record is made as soon as its node is traced and kept here.
    PyRef made = on_node != nullptr ? PyRef::steal(PyList_New(0)) : PyRef();
    if (on_node != nullptr && !made) {
        return nullptr;
    }
    RunOptions options;
    options.parallel = mode.parallel;
    options.max_threads = mode.max_threads;
    options.initial = &*initial;
    options.trace = true;
    options.on_failure = *on_failure;
    // A run that raises the first failure prints nothing for it.
    options.quiet_failures = !print_errors || *on_failure == OnFailure::Stop;
    options.cache = cache.get();
    RunResult result;
    LastThread last; // given back here, with the lock
    const bool finished = run_released(options, [&](ReleasedLock& released) {
        if (on_node != nullptr) {
            options.on_node = [&](const RunTrace& trace, std::size_t k) {
                call_with_lock(released, [&] {
                    PyRef node_record = records.ran(trace.nodes()[k], last);
                    return node_record && PyList_Append(made.get(), node_record.get()) == 0 &&
                           PyRef::steal(PyObject_CallOneArg(on_node, node_record.get()));
                });
            };
        }
        result = run(dag, options);
    });
    if (!finished || (cache && !cache->finish())) {
        return nullptr;
    }
    PyRef context = PyRef::steal(result_dict(self, result, *initial));
    if (!context) {
        return nullptr;
    }
    return new_run_report(self, std::move(context), std::move(result.trace), std::move(records),
                          std::move(made))
        .release();
}

PyObject* py_dag_to_mermaid(PyDagObject* self, PyObject*) {
    const std::string text = to_mermaid(dag_of(self));
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                "surrogateescape");
}

// "<PyDag: 12 nodes, 4 levels, 3 branches>", and how many nodes could not be scheduled if any.
PyObject* py_dag_repr(PyObject* self) {
    const Dag& dag = dag_of(as_dag_object(self));
    const std::size_t nodes = dag.nodes().size();
    const std::size_t levels = dag.levels().size();
    const auto branches = static_cast<std::size_t>(
        std::count_if(dag.nodes().begin(), dag.nodes().end(),
                      [](const Node& node) { return node.is_branch_entry; }));
    const std::size_t unscheduled = nodes - dag.order().size();
    PyRef text = PyRef::steal(PyUnicode_FromFormat(
        "<PyDag: %zu node%s, %zu level%s, %zu branch%s", nodes, nodes == 1 ? "" : "s", levels,
        levels == 1 ? "" : "s", branches, branches == 1 ? "" : "es"));
    PyRef tail =
        PyRef::steal(unscheduled == 0 ? PyUnicode_FromString(">")
                                      : PyUnicode_FromFormat(", %zu unscheduled>", unscheduled));
    return text && tail ? PyUnicode_Concat(text.get(), tail.get()) : nullptr;
}

// The diagram in a fenced block, which notebooks (JupyterLab 4.1+) and GitHub render; labels and
// names are escaped so that the renderer shows them as they are.
PyObject* py_dag_repr_markdown(PyDagObject* self, PyObject*) {
    return text_to_python("```mermaid\n" + to_escaped_mermaid(dag_of(self)) + "```\n").release();
}

PyObject* py_dag_execution_order(PyDagObject* self, void*) {
    return ids_to_python(dag_of(self).execution_order()).release();
}

PyObject* py_dag_levels(PyDagObject* self, void*) {
    const std::vector<std::vector<NodeId>> levels = dag_of(self).level_ids();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(levels.size())));
    if (!list) {
        return nullptr;
    }
    for (std::size_t level = 0; level < levels.size(); ++level) {
        PyRef ids = ids_to_python(levels[level]);
        if (!ids) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(level), ids.release());
    }
    return list.release();
}

PyMethodDef g_methods[] = {
    {"execute", method<py_dag_execute, Borrow::Kind::Shared>(), METH_FASTCALL | METH_KEYWORDS,
     "execute($self, parallel=..., max_threads=...)\n--\n\n"
     "Execute the DAG\n\n"
     "Args:\n"
     "    parallel (bool): If True, execute nodes at the same level concurrently. Default: "
     "False\n"
     "    max_threads (Optional[int]): Maximum number of threads to use per level. None = "
     "unlimited. Default: None\n\n"
     "Returns:\n"
     "    Dictionary containing the execution context"},
    {"to_mermaid", method<py_dag_to_mermaid, Borrow::Kind::Shared>(), METH_NOARGS,
     "to_mermaid($self)\n--\n\n"
     "Get Mermaid diagram representation\n\n"
     "Returns:\n"
     "    String containing the Mermaid diagram"},
    {"execute_detailed", method<py_dag_execute_detailed, Borrow::Kind::Shared>(),
     METH_FASTCALL | METH_KEYWORDS,
     "execute_detailed($self, parallel=False, max_threads=None, *, inputs=None, on_node=None,\n"
     "                 errors='continue', print_errors=True, cache=None)\n"
     "--\n\n"
     "Execute the DAG as execute() does and report on every node\n\n"
     "Args:\n"
     "    parallel (bool): If True, execute nodes at the same level concurrently. Default: "
     "False\n"
     "    max_threads (Optional[int]): Maximum number of threads to use per level. None = "
     "unlimited. Default: None\n"
     "    inputs (Optional[dict]): Variables the run's context starts with. Default: None\n"
     "    on_node (Optional[callable]): Called with each node's record as soon as it is\n"
     "        recorded, on the calling thread; an exception it raises stops the run. Default: "
     "None\n"
     "    errors (str): What a failed node means for the run: 'continue' (go on), 'raise'\n"
     "        (stop and raise its exception) or 'skip' (go on, but skip the nodes that read\n"
     "        from it). Default: 'continue'\n"
     "    print_errors (bool): Whether failures are written to sys.stderr as well. Default: "
     "True\n"
     "    cache (Optional[str | os.PathLike | vantorix_cache.Cache]): A directory of results:\n"
     "        a node whose function, mappings and inputs are as in an earlier run publishes the\n"
     "        results stored then instead of running (status 'cached'); a node that succeeds\n"
     "        stores its results. Default: None\n\n"
     "Returns:\n"
     "    RunReport with the final context, the outputs of every node and branch, a record\n"
     "    per node (status, error, seconds, thread) and the run's Mermaid diagram"},
    {"plan", method<py_dag_plan, Borrow::Kind::Shared>(), METH_FASTCALL | METH_KEYWORDS,
     "plan($self, parallel=False)\n--\n\n"
     "The scheduled nodes in the order a run in that mode merges their results\n\n"
     "Each PlanRecord holds the node's id, label, function, mappings, dependencies, branch and\n"
     "level, and its data flow: reads, for every name it reads the id of the node whose value\n"
     "it sees (None: only the run's inputs can give it), and writes, for every name it\n"
     "publishes the id of the previous node that publishes it. A node may publish nothing at\n"
     "run time (it fails, or leaves an output out); these follow from the mappings alone.\n\n"
     "Returns:\n"
     "    List of PlanRecord"},
    {"check", method<py_dag_check, Borrow::Kind::Shared>(), METH_FASTCALL | METH_KEYWORDS,
     "check($self, parallel=False)\n--\n\n"
     "Concerns about the data flow of a run in that mode\n\n"
     "'unpublished read': a node reads a name that no node it can see publishes;\n"
     "'same-level read' (parallel): another node of its own level publishes a name it reads;\n"
     "'same-level write' (parallel): two nodes of one level publish the same name.\n\n"
     "Returns:\n"
     "    List of Finding, empty when the data flow is sound; str() of each tells what it is"},
    {"_repr_markdown_", method<py_dag_repr_markdown, Borrow::Kind::Shared>(), METH_NOARGS,
     "_repr_markdown_($self)\n--\n\n"
     "The DAG's Mermaid diagram in a fenced block, for notebooks; labels and names escaped"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"execution_order", getter_of<py_dag_execution_order, Borrow::Kind::Shared>(), nullptr,
     "Identifiers of the scheduled nodes, in the order a sequential run visits them (a new "
     "list on every access)",
     nullptr},
    {"levels", getter_of<py_dag_levels, Borrow::Kind::Shared>(), nullptr,
     "Identifiers of the scheduled nodes by level: the nodes of one level may run at the same "
     "time (new lists on every access)",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for DAG executor")},
    {Py_tp_new, reinterpret_cast<void*>(py_dag_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py_dag_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(py_dag_traverse)},
    {Py_tp_clear, guarded_slot<py_dag_clear>()},
    {Py_tp_repr, guarded_slot<py_dag_repr>()},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {0, nullptr},
};

// Tracked by the cyclic collector: a node's callable may refer back to the DAG (a bound method of
// an object that holds it).
PyType_Spec g_spec{"builtins.PyDag", sizeof(PyDagObject), 0,
                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, g_slots};

} // namespace

PyType_Spec* py_dag_spec() { return &g_spec; }

PyObject* new_py_dag(Dag dag) {
    auto owned = std::make_unique<const Dag>(std::move(dag));
    PyTypeObject* type = module_state().dag_type;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    new (&as_dag_object(self)->dag) std::unique_ptr<const Dag>(std::move(owned));
    as_dag_object(self)->keys = nullptr;
    as_dag_object(self)->borrow = 0;
    return self;
}

} // namespace vantorix::python
