#include "types/run_report.hpp"

#include "calls/arguments.hpp"
#include "calls/method.hpp"
#include "dag/mermaid.hpp"
#include "runtime/module_state.hpp"
#include "values/conversion.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

namespace vantorix::python {

namespace {

// What a report keeps of its run besides Python objects.
struct ReportState {
    // Of `folding`: the trace's values have been let go of.
    static constexpr int kReleased = -1;

    // One entry per node that ran, in order, with what each published: converted into
    // `node_outputs` and `branch_outputs` on first access, and let go of once both are made. The
    // errors live in the report's `errors` list.
    RunTrace trace;
    NodeRecords records;
    // How many getters are converting the trace's values right now (a finaliser that the
    // collector runs on one of their allocations may start another), or kReleased. The values are
    // let go of only by the last one to finish.
    std::atomic<int> folding = 0;
};

struct RunReportObject {
    PyObject_HEAD
    PyObject* dag_object; // the PyDag, which keeps the traced nodes alive
    PyObject* context;
    PyObject* errors; // per node that ran: its error, or None
    PyObject* made;   // the records made while the run went on, or null
    // Made on first access, and then never replaced.
    PyObject* node_outputs;
    PyObject* branch_outputs;
    PyObject* records; // (nodes, failed): both lists are made and kept together
    ReportState* state;
    const Dag* dag;
};

int run_report_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* report = reinterpret_cast<RunReportObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(report->dag_object);
    Py_VISIT(report->context);
    Py_VISIT(report->branch_outputs);
    Py_VISIT(report->errors);
    Py_VISIT(report->made);
    Py_VISIT(report->node_outputs);
    Py_VISIT(report->records);
    if (report->state != nullptr) {
        const RunTrace& trace = report->state->trace;
        for (std::size_t k = 0; k < trace.nodes().size(); ++k) {
            for (const PublishedValue& published : trace.published(k)) {
                if (const int stop = visit_sole_objects(published.value, visit, arg)) {
                    return stop;
                }
            }
        }
    }
    return 0;
}

int run_report_clear(PyObject* self) {
    ImmediateReleases releases; // references held natively are given back at once
    auto* report = reinterpret_cast<RunReportObject*>(self);
    Py_CLEAR(report->dag_object);
    Py_CLEAR(report->context);
    Py_CLEAR(report->branch_outputs);
    Py_CLEAR(report->errors);
    Py_CLEAR(report->made);
    Py_CLEAR(report->node_outputs);
    Py_CLEAR(report->records);
    if (report->state != nullptr) {
        report->state->folding = ReportState::kReleased;
        report->state->trace.clear_published();
    }
    return 0;
}

// Untracked first, as the DAG's deallocator is: what the report holds may run finalisers.
void run_report_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    {
        ImmediateReleases releases;
        run_report_clear(self);
        delete reinterpret_cast<RunReportObject*>(self)->state;
    }
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* run_report_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
    return nullptr;
}

// A report whose cycle the collector broke, or whose PyDag it cleared, has nothing left to show:
// the trace points into the DAG's nodes.
bool check_whole(RunReportObject* report) {
    if (report->dag_object == nullptr ||
        &dag_of(as_dag_object(report->dag_object)) != report->dag) {
        PyErr_SetString(PyExc_ValueError, "the report has been cleared");
        return false;
    }
    return true;
}

PyObject* get_context(RunReportObject* report, void*) {
    return check_whole(report) ? new_reference(report->context) : nullptr;
}

// `outputs` as a dict of each entry's key to a dict of its variables. Lock held.
PyRef outputs_to_python(const std::vector<Outputs>& outputs, const std::vector<PyRef>& keys) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) {
        return dict;
    }
    for (const Outputs& entry : outputs) {
        PyRef key = PyRef::steal(PyLong_FromUnsignedLongLong(entry.key));
        PyRef values = key ? PyRef::steal(PyDict_New()) : PyRef();
        if (!values || PyDict_SetItem(dict.get(), key.get(), values.get()) < 0) {
            return PyRef();
        }
        for (const VariableValue& value : entry.values) {
            PyRef item = graph_data_to_python(*value.value);
            if (!item ||
                PyDict_SetItem(values.get(), keys[value.variable].get(), item.get()) < 0) {
                return PyRef();
            }
        }
    }
    return dict;
}

// A getter converting the trace's values: while one lives, the values stay. Once both
// `node_outputs` and `branch_outputs` are made, the last to finish lets them go.
class Folding {
public:
    explicit Folding(RunReportObject* report) : report_(report) {
        std::atomic<int>& folding = report->state->folding;
        int count = folding.load();
        while (count != ReportState::kReleased &&
               !folding.compare_exchange_weak(count, count + 1)) {
        }
        entered_ = count != ReportState::kReleased;
    }
    Folding(const Folding&) = delete;
    Folding& operator=(const Folding&) = delete;
    ~Folding() {
        ReportState& state = *report_->state;
        int none = 0;
        if (entered_ && state.folding.fetch_sub(1) == 1 &&
            published(report_->node_outputs) != nullptr &&
            published(report_->branch_outputs) != nullptr &&
            state.folding.compare_exchange_strong(none, ReportState::kReleased)) {
            state.trace.clear_published();
        }
    }
    // False when the values are gone: then both outputs are made.
    bool entered() const noexcept { return entered_; }

private:
    RunReportObject* report_;
    bool entered_;
};

// `node_outputs` or `branch_outputs`, folded by the engine from the trace on first access and kept
// in `field`.
template <std::vector<Outputs> (RunTrace::*fold)(const Dag&) const,
          PyObject* RunReportObject::*field>
PyObject* get_outputs(RunReportObject* report, void*) {
    if (PyObject* kept = published(report->*field)) {
        return new_reference(kept);
    }
    const std::vector<PyRef>* keys =
        check_whole(report) ? result_keys(as_dag_object(report->dag_object)) : nullptr;
    if (keys == nullptr) {
        return nullptr;
    }
    const Folding folding(report);
    if (!folding.entered()) {
        return new_reference(published(report->*field));
    }
    PyRef made = outputs_to_python((report->state->trace.*fold)(*report->dag), *keys);
    return made ? new_reference(publish_once(report->*field, std::move(made))) : nullptr;
}

// (nodes, failed) as a new tuple.
PyRef make_records(RunReportObject* report) {
    ReportState& state = *report->state;
    const std::vector<Node>& dag_nodes = report->dag->nodes();
    const std::vector<NodeTrace>& ran_nodes = state.trace.nodes();
    PyRef nodes = PyRef::steal(PyList_New(0));
    PyRef failed = PyRef::steal(PyList_New(0));
    if (!nodes || !failed) {
        return PyRef();
    }
    std::vector<bool> ran(dag_nodes.size(), false);
    const Py_ssize_t made = report->made == nullptr ? 0 : PyList_GET_SIZE(report->made);
    LastThread last;
    for (std::size_t k = 0; k < ran_nodes.size(); ++k) {
        const NodeTrace& node = ran_nodes[k];
        const auto index = static_cast<Py_ssize_t>(k);
        ran[static_cast<std::size_t>(node.node - dag_nodes.data())] = true;
        PyRef record = index < made
                           ? PyRef::borrow(PyList_GET_ITEM(report->made, index))
                           : state.records.ran(node, PyList_GET_ITEM(report->errors, index), last);
        if (!record || PyList_Append(nodes.get(), record.get()) < 0 ||
            (node.failed && PyList_Append(failed.get(), record.get()) < 0)) {
            return PyRef();
        }
    }
    for (std::size_t position = 0; position < dag_nodes.size(); ++position) {
        if (ran[position]) {
            continue;
        }
        PyRef record = state.records.not_run(dag_nodes[position]);
        if (!record || PyList_Append(nodes.get(), record.get()) < 0) {
            return PyRef();
        }
    }
    return PyRef::steal(PyTuple_Pack(2, nodes.get(), failed.get()));
}

// `nodes` (0) or `failed` (1), made together on first need.
template <Py_ssize_t which> PyObject* get_records(RunReportObject* report, void*) {
    PyObject* records = published(report->records);
    if (records == nullptr) {
        PyRef made = check_whole(report) ? make_records(report) : PyRef();
        if (!made) {
            return nullptr;
        }
        records = publish_once(report->records, std::move(made));
    }
    return new_reference(PyTuple_GET_ITEM(records, which));
}

PyObject* run_report_repr(PyObject* self) {
    auto* report = reinterpret_cast<RunReportObject*>(self);
    if (!check_whole(report)) {
        return nullptr;
    }
    const std::vector<NodeTrace>& traced = report->state->trace.nodes();
    const std::size_t total = report->dag->nodes().size();
    const auto count = [&traced](auto&& is) {
        return static_cast<std::size_t>(std::count_if(traced.begin(), traced.end(), is));
    };
    const std::size_t failed = count([](const NodeTrace& node) { return node.failed; });
    const std::size_t skipped = count([](const NodeTrace& node) { return node.skipped; });
    const std::size_t cached = count([](const NodeTrace& node) { return node.cached; });
    const std::size_t ok = traced.size() - failed - skipped - cached;
    PyRef text = PyRef::steal(
        cached == 0 ? PyUnicode_FromFormat("<vantorix.RunReport: %zu node%s, %zu ok, %zu failed",
                                           total, total == 1 ? "" : "s", ok, failed)
                    : PyUnicode_FromFormat(
                          "<vantorix.RunReport: %zu node%s, %zu ok, %zu cached, %zu failed", total,
                          total == 1 ? "" : "s", ok, cached, failed));
    PyRef tail =
        PyRef::steal(skipped == 0 ? PyUnicode_FromFormat(", %zu not run>", total - traced.size())
                                  : PyUnicode_FromFormat(", %zu skipped, %zu not run>", skipped,
                                                         total - traced.size()));
    return text && tail ? PyUnicode_Concat(text.get(), tail.get()) : nullptr;
}

PyObject* run_report_to_mermaid(RunReportObject* report, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) {
    static const Signature signature{"RunReport.to_mermaid()", {"durations"}, 0, 1};
    PyObject* given[1];
    bool durations = true;
    if (!read_arguments(signature, args, nargsf, kwnames, given) ||
        !read_bool(given[0], "durations", durations) || !check_whole(report)) {
        return nullptr;
    }
    return text_to_python(run_to_mermaid(*report->dag, report->state->trace, durations)).release();
}

// The run's diagram and its timeline, each in a fenced block, for notebooks.
PyObject* run_report_repr_markdown(RunReportObject* report, PyObject*) {
    if (!check_whole(report)) {
        return nullptr;
    }
    const RunTrace& trace = report->state->trace;
    return text_to_python("```mermaid\n" + run_to_mermaid(*report->dag, trace, true) +
                          "```\n\n```mermaid\n" + run_to_gantt(trace) + "```\n")
        .release();
}

PyObject* run_report_to_gantt(RunReportObject* report, PyObject*) {
    if (!check_whole(report)) {
        return nullptr;
    }
    return text_to_python(run_to_gantt(report->state->trace)).release();
}

PyMethodDef g_methods[] = {
    {"to_mermaid", method<run_report_to_mermaid>(), METH_FASTCALL | METH_KEYWORDS,
     "to_mermaid($self, *, durations=True)\n--\n\n"
     "Mermaid diagram of the run\n\n"
     "The DAG's diagram, with every box saying how its node ended and, with durations, how long\n"
     "it took; boxes are coloured by status. Labels and names are escaped so that Mermaid shows\n"
     "them as they are.\n\n"
     "Returns:\n"
     "    String containing the Mermaid diagram"},
    {"_repr_markdown_", method<run_report_repr_markdown>(), METH_NOARGS,
     "_repr_markdown_($self)\n--\n\n"
     "The run's Mermaid diagram and timeline in fenced blocks, for notebooks"},
    {"to_gantt", method<run_report_to_gantt>(), METH_NOARGS,
     "to_gantt($self)\n--\n\n"
     "Mermaid gantt chart of the run\n\n"
     "A section per thread, numbered in the order the threads started their first node, and a\n"
     "bar per node that ran, named by its label and tagged by status: done (ok), active\n"
     "(cached), crit (failed). Times count from the start of the run, in microseconds when it\n"
     "ended within 10 ms, else in milliseconds; every bar lasts at least one unit and 1/200 of\n"
     "the chart, so that the shortest node still shows. Names are escaped so that Mermaid shows\n"
     "them as they are.\n\n"
     "Returns:\n"
     "    String containing the Mermaid gantt chart"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"context", getter_of<get_context>(), nullptr, "the final context, as execute() returns it",
     nullptr},
    {"node_outputs",
     getter_of<get_outputs<&RunTrace::node_outputs, &RunReportObject::node_outputs>>(), nullptr,
     "{node id: the outputs it published} for every node that ran, in the order they ran",
     nullptr},
    {"branch_outputs",
     getter_of<get_outputs<&RunTrace::branch_outputs, &RunReportObject::branch_outputs>>(),
     nullptr, "{branch id: the outputs of its nodes, merged} for every branch of which a node ran",
     nullptr},
    {"nodes", getter_of<get_records<0>>(), nullptr,
     "a NodeRecord per node: those that ran in the order they ran, then those that did not",
     nullptr},
    {"failed", getter_of<get_records<1>>(), nullptr, "the records whose status is 'failed'",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>("What PyDag.execute_detailed() reports about one run.")},
    {Py_tp_new, reinterpret_cast<void*>(run_report_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(run_report_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(run_report_traverse)},
    {Py_tp_clear, guarded_slot<run_report_clear>()},
    {Py_tp_repr, guarded_slot<run_report_repr>()},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {0, nullptr},
};

PyType_Spec g_spec{"vantorix.RunReport", sizeof(RunReportObject), 0,
                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, g_slots};

} // namespace

PyRef new_run_report(PyDagObject* dag_object, PyRef context, RunTrace trace, NodeRecords records,
                     PyRef made) {
    // Made on first need; making it may run the collector, and a finaliser another report.
    PyTypeObject* type = published(module_state().report_type);
    if (type == nullptr) {
        PyRef new_type = PyRef::steal(PyType_FromSpec(&g_spec));
        if (!new_type) {
            return PyRef();
        }
        type = publish_once(module_state().report_type, std::move(new_type));
    }
    std::vector<NodeTrace>& ran = trace.nodes();
    PyRef errors = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ran.size())));
    if (!errors) {
        return PyRef();
    }
    // Errors move into a list the collector sees: a traceback's frames can lead back to the
    // frame that holds the report.
    for (std::size_t k = 0; k < ran.size(); ++k) {
        GraphData& error = ran[k].error;
        PyObject* object =
            error.kind() == GraphData::Kind::PyObject ? handle_object(error.as_object()) : Py_None;
        PyList_SET_ITEM(errors.get(), static_cast<Py_ssize_t>(k), new_reference(object));
        error = GraphData::none();
    }
    auto state =
        std::unique_ptr<ReportState>(new ReportState{std::move(trace), std::move(records)});
    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) {
        return self;
    }
    auto* report = reinterpret_cast<RunReportObject*>(self.get());
    report->state = state.release();
    report->dag = &dag_of(dag_object);
    report->dag_object = new_reference(reinterpret_cast<PyObject*>(dag_object));
    report->context = context.release();
    report->errors = errors.release();
    report->made = made.release();
    return self;
}

} // namespace vantorix::python
