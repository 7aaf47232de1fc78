#include "py_dag.hpp"

#include "arguments.hpp"
#include "conversion.hpp"
#include "detailed_run.hpp"
#include "exception_boundary.hpp"
#include "interpreter_lock.hpp"
#include "module.hpp"
#include "python_node.hpp"
#include "stack_room.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>

namespace vantorix::python {

namespace {

struct PyDagObject {
    PyObject_HEAD
    std::unique_ptr<const Dag> dag; // null once the collector has cleared the instance
    // The `str` of every variable the DAG publishes, by slot, made at the first execution so
    // that every result dict is filled from ready-made keys with known hashes.
    std::vector<PyRef> keys;
    Py_ssize_t borrow;
};

PyTypeObject* g_py_dag_type = nullptr;

// Runs nested in runs stop here even when the recursion limit is higher: each level may hold a
// thread of its own.
constexpr int kMostNestedRuns = 1000;

PyDagObject* as_dag(PyObject* self) { return reinterpret_cast<PyDagObject*>(self); }

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
        as_dag(self)->dag.~unique_ptr();
        as_dag(self)->keys.~vector();
    }
    type->tp_free(self);
    Py_DECREF(type);
}

int py_dag_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!as_dag(self)->dag) {
        return 0;
    }
    CallableVisitor visitor(visit, arg);
    for (const Node& node : as_dag(self)->dag->nodes()) {
        if (const int stop = visitor.hold(node.function)) {
            return stop;
        }
    }
    return visitor.finish();
}

// Breaks a reference cycle through the nodes' callables by dropping the DAG. An instance that is
// being executed or rendered is left alone: its running calls still read the DAG.
int py_dag_clear(PyObject* self) {
    if (as_dag(self)->borrow != 0) {
        return 0;
    }
    ImmediateReleases releases; // the callables are given back now, not at the next call
    std::unique_ptr<const Dag> released = std::move(as_dag(self)->dag);
    return 0;
}

std::optional<RunMode> read_execute_arguments(PyObject* const* args, Py_ssize_t nargsf,
                                              PyObject* kwnames) {
    static const Signature signature{"PyDag.execute()", {"parallel", "max_threads"}, 0};
    PyObject* slots[2];
    RunMode mode;
    if (!read_arguments(signature, args, nargsf, kwnames, slots) ||
        !read_run_mode(slots[0], slots[1], mode)) {
        return std::nullopt;
    }
    return mode;
}

} // namespace

const Dag& dag_of(PyObject* self) {
    static const Dag cleared{std::vector<Node>()};
    const std::unique_ptr<const Dag>& dag = as_dag(self)->dag;
    return dag ? *dag : cleared;
}

bool check_stack_for_nested_run(const char* full_name) {
    // A node that runs its own DAG nests one run in another. Each level takes C stack on its
    // thread, and a level that starts on a worker holds that thread too; the interpreter's own
    // recursion limit counts neither across threads, so the depth of runs is counted here.
    const auto limit = static_cast<std::size_t>(std::min(Py_GetRecursionLimit(), kMostNestedRuns));
    if (run_depth() >= limit || !enough_stack_for_nested_run()) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded in %s", full_name);
        return false;
    }
    return true;
}

void call_with_lock(ReleasedLock& released, const std::function<bool()>& call) {
    std::optional<PythonInterrupt> raised;
    released.with_lock([&] {
        if (!call()) {
            raised.emplace(PythonInterrupt::take_current());
        }
    });
    if (raised) {
        throw std::move(*raised);
    }
}

bool run_released(const std::function<void(ExecutionHooks&, ReleasedLock&)>& engine_run) {
    std::unique_ptr<PythonInterrupt> interrupt;
    std::optional<std::string> failure;
    bool shutdown = false;
    {
        ReleasedLock released;
        ExecutionHooks hooks;
        // Only the main thread runs Python's signal handlers, so only a wait there wakes: when a
        // signal handler has run on it (Ctrl-C interrupts the wait), and every 100 ms for an
        // interrupt that comes without a signal (_thread.interrupt_main). It takes the lock
        // briefly to run the handlers. Waits on other threads sleep until the batch is done.
        if (runs_signal_handlers()) {
            hooks.wait_tick = std::chrono::milliseconds(100);
            hooks.on_wait = [&released] {
                call_with_lock(released, [] { return PyErr_CheckSignals() == 0; });
            };
        }
        try {
            engine_run(hooks, released);
        } catch (PythonInterrupt& caught) {
            interrupt = std::make_unique<PythonInterrupt>(std::move(caught));
        } catch (const InterpreterShutdown&) {
            shutdown = true;
        } catch (const ExecutionError& error) {
            failure = error.what();
        }
        released.reacquire();
    }
    if (interrupt) {
        interrupt->restore();
        return false;
    }
    if (shutdown) {
        PyErr_SetString(PyExc_RuntimeError,
                        "cannot run Python nodes while the interpreter is shutting down");
        return false;
    }
    if (failure) {
        raise_internal_failure(*failure);
        return false;
    }
    return true;
}

// The keys of the instance's result dicts, made at its first execution. Runs no Python code, so
// a concurrent execution of the same instance never sees the list half made.
const std::vector<PyRef>* result_keys(PyObject* self) {
    std::vector<PyRef>& made_keys = as_dag(self)->keys;
    const Dag& dag = dag_of(self);
    if (!made_keys.empty() || dag.slot_count() == 0) {
        return &made_keys;
    }
    std::vector<PyRef> keys(dag.slot_count());
    bool made = true;
    dag.for_each_slot([&keys, &made](std::uint32_t slot, std::string_view name) {
        if (made) {
            keys[slot] = text_to_python(name);
            made = keys[slot] && PyObject_Hash(keys[slot].get()) != -1;
        }
    });
    if (!made) {
        return nullptr;
    }
    made_keys = std::move(keys);
    return &made_keys;
}

PyObject* result_dict(PyObject* self, ExecutionValues& values, const Context& initial) {
    const std::vector<PyRef>* keys = result_keys(self);
    if (keys == nullptr) {
        return nullptr;
    }
    // Sized for every entry at once, as a dict display of known length is (a private call that
    // every supported CPython, 3.9 to 3.13, exports). The starting values come first: those that
    // the run shares with the DAG are in the slots too, as they stood at the end, and replace
    // them.
    PyRef result = initial.empty()
                       ? PyRef::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(values.size())))
                       : context_to_python(initial);
    if (!result) {
        return nullptr;
    }
    const std::span<std::optional<GraphData>> slots = values.slots();
    for (std::size_t slot = 0; slot < slots.size(); ++slot) {
        if (!slots[slot]) {
            continue;
        }
        PyRef item = graph_data_to_python(*slots[slot]);
        if (!item || PyDict_SetItem(result.get(), (*keys)[slot].get(), item.get()) < 0) {
            return nullptr;
        }
        slots[slot].reset();
    }
    return result.release();
}

namespace {

PyObject* py_dag_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) {
    ModuleEntry entry;
    Borrow borrow(as_dag(self)->borrow, Borrow::Kind::Shared);
    if (!borrow.ok()) {
        return nullptr;
    }
    const std::optional<RunMode> arguments = read_execute_arguments(args, nargsf, kwnames);
    if (!arguments || !check_stack_for_nested_run("PyDag.execute()")) {
        return nullptr;
    }
    const Dag& dag = dag_of(self);
    std::optional<ExecutionValues> values;
    if (!run_released([&](ExecutionHooks& hooks, ReleasedLock&) {
            values = dag.execute_values(arguments->parallel, arguments->max_threads, hooks);
        })) {
        return nullptr;
    }
    return result_dict(self, *values, Context());
}

PyObject* py_dag_to_mermaid(PyObject* self, PyObject*) {
    ModuleEntry entry;
    Borrow borrow(as_dag(self)->borrow, Borrow::Kind::Shared);
    if (!borrow.ok()) {
        return nullptr;
    }
    const std::string text = dag_of(self).to_mermaid();
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                "surrogateescape");
}

PyObject* py_dag_execute_detailed(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames) {
    ModuleEntry entry;
    Borrow borrow(as_dag(self)->borrow, Borrow::Kind::Shared);
    if (!borrow.ok()) {
        return nullptr;
    }
    if (!check_stack_for_nested_run("PyDag.execute_detailed()")) {
        return nullptr;
    }
    return execute_detailed(self, dag_of(self), args, nargsf, kwnames);
}

PyObject* py_dag_execution_order(PyObject* self, void*) {
    ModuleEntry entry;
    Borrow borrow(as_dag(self)->borrow, Borrow::Kind::Shared);
    if (!borrow.ok()) {
        return nullptr;
    }
    return ids_to_python(dag_of(self).execution_order()).release();
}

PyObject* py_dag_levels(PyObject* self, void*) {
    ModuleEntry entry;
    Borrow borrow(as_dag(self)->borrow, Borrow::Kind::Shared);
    if (!borrow.ok()) {
        return nullptr;
    }
    return levels_to_python(dag_of(self).levels()).release();
}

PyMethodDef g_methods[] = {
    {"execute", guarded_method<py_dag_execute>(), METH_FASTCALL | METH_KEYWORDS,
     "execute($self, parallel=..., max_threads=...)\n--\n\n"
     "Execute the DAG\n\n"
     "Args:\n"
     "    parallel (bool): If True, execute nodes at the same level concurrently. Default: "
     "False\n"
     "    max_threads (Optional[int]): Maximum number of threads to use per level. None = "
     "unlimited. Default: None\n\n"
     "Returns:\n"
     "    Dictionary containing the execution context"},
    {"to_mermaid", guarded_method<py_dag_to_mermaid>(), METH_NOARGS,
     "to_mermaid($self)\n--\n\n"
     "Get Mermaid diagram representation\n\n"
     "Returns:\n"
     "    String containing the Mermaid diagram"},
    {"execute_detailed", guarded_method<py_dag_execute_detailed>(), METH_FASTCALL | METH_KEYWORDS,
     "execute_detailed($self, parallel=False, max_threads=None, *, inputs=None, on_node=None)\n"
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
     "None\n\n"
     "Returns:\n"
     "    RunReport with the final context, the outputs of every node and branch, a record\n"
     "    per node (status, error, seconds, thread) and the run's Mermaid diagram"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"execution_order", guarded<py_dag_execution_order>, nullptr,
     "Identifiers of the scheduled nodes, in the order a sequential run visits them (a new "
     "list on every access)",
     nullptr},
    {"levels", guarded<py_dag_levels>, nullptr,
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

void set_py_dag_type(PyTypeObject* type) { g_py_dag_type = type; }

PyObject* new_py_dag(Dag dag) {
    auto owned = std::make_unique<const Dag>(std::move(dag));
    PyObject* self = g_py_dag_type->tp_alloc(g_py_dag_type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    new (&as_dag(self)->dag) std::unique_ptr<const Dag>(std::move(owned));
    new (&as_dag(self)->keys) std::vector<PyRef>();
    as_dag(self)->borrow = 0;
    return self;
}

} // namespace vantorix::python
