// Instances of the module's types freed while a reference released without the interpreter lock
// waits in the queue. The queued object's finaliser runs the cyclic collector, which must never
// meet the instance being freed.
#include "runtime/object_handles.hpp"

#include <gtest/gtest.h>

#include <thread>

using namespace vantorix;
using vantorix::python::PyRef;

namespace {

PyRef run(const char* code, PyObject* globals, int start = Py_eval_input) {
    PyRef result = PyRef::steal(PyRun_String(code, start, globals, globals));
    if (!result) {
        PyErr_Print();
    }
    return result;
}

class Deallocation : public ::testing::TestWithParam<const char*> {};

TEST_P(Deallocation, QueuedReleasesRunAfterTheInstanceIsGoneNotInsideItsDeallocator) {
    PyRef globals = PyRef::steal(PyDict_New());
    PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
    ASSERT_TRUE(run("import gc, vantorix\n"
                    "finalised = []\n"
                    "class Collects:\n"
                    "    def __del__(self):\n"
                    "        gc.collect()\n"
                    "        finalised.append(True)\n",
                    globals.get(), Py_file_input));
    PyRef instance = run(GetParam(), globals.get());
    ASSERT_TRUE(instance);

    // The only reference to a `Collects` object, released on a thread without the lock.
    PyRef object = run("Collects()", globals.get());
    ASSERT_TRUE(object);
    GraphData value = python::wrap_object(object.get());
    object = PyRef();
    std::thread([held = std::move(value)]() mutable {
        GraphData dropped = std::move(held);
    }).join();

    instance = PyRef();
    PyRef finalised = run("len(finalised)", globals.get());
    EXPECT_EQ(PyLong_AsLong(finalised.get()), 0);
    python::ModuleEntry entry; // the next entry into the module gives the reference back
    finalised = run("len(finalised)", globals.get());
    EXPECT_EQ(PyLong_AsLong(finalised.get()), 1);
}

INSTANTIATE_TEST_SUITE_P(EveryType, Deallocation,
                         ::testing::Values("vantorix.PyGraph()", "vantorix.PyGraph().build()",
                                           "vantorix.PyGraph().build().execute_detailed()"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                             return std::string(param.index == 0   ? "PyGraph"
                                                : param.index == 1 ? "PyDag"
                                                                   : "RunReport");
                         });

} // namespace
