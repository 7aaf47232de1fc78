#include "py_dag.hpp"

#include "arguments.hpp"
#include "conversion.hpp"
#include "exception_boundary.hpp"
#include "interpreter_lock.hpp"
#include "module.hpp"
#include "python_node.hpp"
#include "stack_room.hpp"

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

PyDagObject* as_dag(PyObject* self) { return reinterpret_cast<PyDagObject*>(self); }

// The instance's DAG; one without nodes once the collector has cleared it (a finaliser may still
// run it).
const Dag& dag_of(PyObject* self) {
    static const Dag cleared{std::vector<Node>()};
    const std::unique_ptr<const Dag>& dag = as_dag(self)->dag;
    return dag ? *dag : cleared;
}

PyObject* py_dag_new(PyTypeObject*, PyObject*, PyObject*) {
    ModuleEntry entry;
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

void py_dag_dealloc(PyObject* self) {
    ModuleEntry entry;
    PyObject_GC_UnTrack(self);
    PyTypeObject* type = Py_TYPE(self);
    as_dag(self)->dag.~unique_ptr();
    as_dag(self)->keys.~vector();
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
    ModuleEntry entry; // the callables are given back now, not at the next call
    std::unique_ptr<const Dag> released = std::move(as_dag(self)->dag);
    return 0;
}

struct ExecuteArguments {
    bool parallel = false;
    std::optional<std::size_t> max_threads;
};

std::optional<ExecuteArguments> read_execute_arguments(PyObject* const* args, Py_ssize_t nargsf,
                                                       PyObject* kwnames) {
    static const Signature signature{"PyDag.execute()", {"parallel", "max_threads"}, 0};
    PyObject* slots[2];
    if (!read_arguments(signature, args, nargsf, kwnames, slots)) {
        return std::nullopt;
    }
    ExecuteArguments arguments;
    if (slots[0] != nullptr) {
        if (!PyBool_Check(slots[0])) {
            raise_conversion_error(slots[0], "PyBool");
            prefix_argument_error("parallel");
            return std::nullopt;
        }
        arguments.parallel = slots[0] == Py_True;
    }
    if (slots[1] != nullptr && slots[1] != Py_None) {
        PyRef index = PyRef::steal(PyNumber_Index(slots[1]));
        if (!index) {
            prefix_argument_error("max_threads");
            return std::nullopt;
        }
        const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            return std::nullopt;
        }
        arguments.max_threads = static_cast<std::size_t>(value);
    }
    return arguments;
}

// Runs the engine with the interpreter lock released. Returns the final variables, or nullopt
// with a Python error set.
std::optional<ExecutionValues> run_released(const Dag& dag, const ExecuteArguments& arguments) {
    std::optional<ExecutionValues> context;
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
                std::optional<PythonInterrupt> raised;
                released.with_lock([&raised] {
                    if (PyErr_CheckSignals() < 0) {
                        raised.emplace(PythonInterrupt::take_current());
                    }
                });
                if (raised) {
                    throw std::move(*raised);
                }
            };
        }
        try {
            context = dag.execute_values(arguments.parallel, arguments.max_threads, hooks);
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
        return std::nullopt;
    }
    if (shutdown) {
        PyErr_SetString(PyExc_RuntimeError,
                        "cannot run Python nodes while the interpreter is shutting down");
        return std::nullopt;
    }
    if (failure) {
        raise_internal_failure(*failure);
        return std::nullopt;
    }
    return context;
}

// The keys of the instance's result dicts, made at its first execution. Runs no Python code, so
// a concurrent execution of the same instance never sees the list half made. False with a Python
// error set when a key cannot be made.
bool make_result_keys(PyObject* self) {
    std::vector<PyRef>& made_keys = as_dag(self)->keys;
    const Dag& dag = dag_of(self);
    if (!made_keys.empty() || dag.slot_count() == 0) {
        return true;
    }
    std::vector<PyRef> keys(dag.slot_count());
    bool made = true;
    dag.for_each_slot([&keys, &made](std::uint32_t slot, std::string_view name) {
        if (made) {
            keys[slot] = text_to_python(name);
            made = keys[slot] && PyObject_Hash(keys[slot].get()) != -1;
        }
    });
    if (made) {
        made_keys = std::move(keys);
    }
    return made;
}

// The final context of a run of the instance's DAG as a new dict, or null with a Python error.
PyObject* result_dict(PyObject* self, ExecutionValues& values) {
    if (!make_result_keys(self)) {
        return nullptr;
    }
    const std::vector<PyRef>& keys = as_dag(self)->keys;
    // Sized for every entry at once, as a dict display of known length is (a private call that
    // every supported CPython, 3.9 to 3.13, exports).
    PyRef result = PyRef::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(values.size())));
    if (!result) {
        return nullptr;
    }
    const std::span<std::optional<GraphData>> slots = values.slots();
    for (std::size_t slot = 0; slot < slots.size(); ++slot) {
        if (!slots[slot]) {
            continue;
        }
        PyRef item = graph_data_to_python(*slots[slot]);
        if (!item || PyDict_SetItem(result.get(), keys[slot].get(), item.get()) < 0) {
            return nullptr;
        }
        slots[slot].reset();
    }
    return result.release();
}

PyObject* py_dag_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) {
    ModuleEntry entry;
    Borrow borrow(as_dag(self)->borrow, Borrow::Kind::Shared);
    if (!borrow.ok()) {
        return nullptr;
    }
    const std::optional<ExecuteArguments> arguments =
        read_execute_arguments(args, nargsf, kwnames);
    if (!arguments) {
        return nullptr;
    }
    // A node that runs its own DAG nests one run in another; each level takes C stack.
    if (!enough_stack_for_nested_run()) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded in PyDag.execute()");
        return nullptr;
    }
    std::optional<ExecutionValues> values = run_released(dag_of(self), *arguments);
    if (!values) {
        return nullptr;
    }
    return result_dict(self, *values);
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
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for DAG executor")},
    {Py_tp_new, reinterpret_cast<void*>(py_dag_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py_dag_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(py_dag_traverse)},
    {Py_tp_clear, guarded_slot<py_dag_clear>()},
    {Py_tp_methods, g_methods},
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
