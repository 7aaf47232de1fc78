// Run reports of DAGs that Python code cannot build: nodes that cannot be scheduled, wrapped in a
// PyDag here and run through PyDag.execute_detailed.
#include "runtime/object_handles.hpp"
#include "types/py_dag.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace vantorix;
using vantorix::python::PyRef;

namespace {

Node node(NodeId id, std::vector<NodeId> dependencies, std::string label) {
    Node made(id, std::move(label), noop_node_function(), {}, {});
    made.dependencies = std::move(dependencies);
    return made;
}

// Whether `expression` is true with `value` bound to `name`.
bool holds(const char* expression, PyObject* value, const char* name = "report") {
    PyRef globals = PyRef::steal(PyDict_New());
    PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
    PyDict_SetItemString(globals.get(), name, value);
    PyRef result =
        PyRef::steal(PyRun_String(expression, Py_eval_input, globals.get(), globals.get()));
    if (!result) {
        PyErr_Print();
    }
    return result && PyObject_IsTrue(result.get()) == 1;
}

TEST(RunReport, NodesThatCannotBeScheduledAreReportedLastAsNotRun) {
    python::ModuleEntry entry;
    // Node 1 waits for an identifier no node has, node 2 for node 1.
    std::vector<Node> nodes;
    nodes.push_back(node(1, {99}, "orphan"));
    nodes.push_back(node(2, {1}, "behind it"));
    nodes.push_back(node(0, {}, "root"));
    PyRef dag = PyRef::steal(python::new_py_dag(Dag(std::move(nodes))));
    ASSERT_TRUE(dag);
    for (const char* parallel : {"False", "True"}) {
        PyRef flag = PyRef::borrow(std::string(parallel) == "True" ? Py_True : Py_False);
        PyRef report =
            PyRef::steal(PyObject_CallMethod(dag.get(), "execute_detailed", "O", flag.get()));
        ASSERT_TRUE(report);
        EXPECT_TRUE(holds("[(r.id, r.status, r.level, r.seconds, r.thread) for r in "
                          "report.nodes][1:] == [(1, 'not run', None, None, None), "
                          "(2, 'not run', None, None, None)]",
                          report.get()));
        EXPECT_TRUE(holds("(report.nodes[0].id, report.nodes[0].status, report.nodes[0].level) "
                          "== (0, 'ok', 0)",
                          report.get()));
        EXPECT_TRUE(
            holds("report.failed == [] and list(report.node_outputs) == [0]", report.get()));
        EXPECT_TRUE(holds("repr(report) == "
                          "'<vantorix.RunReport: 3 nodes, 1 ok, 0 failed, 2 not run>'",
                          report.get()));
        EXPECT_TRUE(holds("report.to_mermaid(durations=False) == 'graph TD\\n"
                          "    1[\"orphan<br/>not run\"]\\n"
                          "    2[\"behind it<br/>not run\"]\\n"
                          "    0[\"root\"]\\n"
                          "    99 --> 1\\n"
                          "    1 --> 2\\n"
                          "    classDef ok fill:#e8f5e9,stroke:#2e7d32,color:#1b5e20\\n"
                          "    class 0 ok\\n"
                          "    classDef not_run fill:#f5f5f5,stroke:#9e9e9e,"
                          "stroke-dasharray:4 4,color:#616161\\n"
                          "    class 1,2 not_run\\n'",
                          report.get()));
    }
    PyRef order = PyRef::steal(PyObject_GetAttrString(dag.get(), "execution_order"));
    PyRef levels = PyRef::steal(PyObject_GetAttrString(dag.get(), "levels"));
    ASSERT_TRUE(order && levels);
    EXPECT_TRUE(holds("order == [0]", order.get(), "order"));
    EXPECT_TRUE(holds("levels == [[0]]", levels.get(), "levels"));
}

} // namespace
