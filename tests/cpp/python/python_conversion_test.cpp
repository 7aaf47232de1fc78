// Engine values as Python objects, tested inside an embedded interpreter: Python code only ever
// produces PyObject values, so every other variant and every Map shape is made here directly.
#include "builder/builder.hpp"
#include "dag/run.hpp"
#include "module/module.hpp"
#include "runtime/interpreter_lock.hpp"
#include "runtime/object_handles.hpp"
#include "values/conversion.hpp"
#include "values/python_node.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

using namespace vantorix;
using vantorix::python::PyRef;

namespace {

PyObject* init_vantorix() { return vantorix::python::initialise(); }

GraphData map_of(std::vector<std::pair<std::string, GraphData>> entries) {
    Context map;
    for (auto& [key, value] : entries) {
        map.insert(std::move(key), std::move(value));
    }
    return GraphData::from_map(std::move(map));
}

GraphData complex_entry(GraphData re, GraphData im) {
    return map_of({{"re", std::move(re)}, {"im", std::move(im)}});
}

std::string text_of(PyObject* object) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    EXPECT_NE(data, nullptr);
    return data == nullptr ? std::string() : std::string(data, static_cast<std::size_t>(size));
}

// Every test holds the interpreter lock, entered the way a method call enters the module.
class Conversion : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Py_IsInitialized()); }
    void TearDown() override { EXPECT_FALSE(PyErr_Occurred()); }

    // Evaluates a Python expression (with `math` available).
    static PyRef eval(const char* expression) {
        PyRef globals = PyRef::steal(PyDict_New());
        PyRef math = PyRef::steal(PyImport_ImportModule("math"));
        PyDict_SetItemString(globals.get(), "math", math.get());
        PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
        PyRef result =
            PyRef::steal(PyRun_String(expression, Py_eval_input, globals.get(), globals.get()));
        if (!result) {
            PyErr_Print();
        }
        return result;
    }

    static std::string repr(PyObject* object) {
        PyRef text = PyRef::steal(PyObject_Repr(object));
        return text ? text_of(text.get()) : "<repr failed>";
    }

    // The conversion of `value` has exactly this repr (types included, order fixed).
    static void expect_repr(const GraphData& value, const std::string& expected) {
        PyRef converted = python::graph_data_to_python(value);
        ASSERT_TRUE(converted);
        EXPECT_EQ(repr(converted.get()), expected);
    }

    // The conversion of `value` has the type of `expected` and equals it (for dicts, whose
    // order is unspecified).
    static void expect_equal(const GraphData& value, const char* expected) {
        PyRef converted = python::graph_data_to_python(value);
        ASSERT_TRUE(converted);
        PyRef wanted = eval(expected);
        ASSERT_TRUE(wanted);
        EXPECT_EQ(Py_TYPE(converted.get()), Py_TYPE(wanted.get())) << repr(converted.get());
        EXPECT_EQ(PyObject_RichCompareBool(converted.get(), wanted.get(), Py_EQ), 1)
            << repr(converted.get()) << " != " << expected;
    }

    python::ModuleEntry entry_;
};

TEST_F(Conversion, IntKeepsItsValue) {
    for (const std::int64_t number :
         {std::int64_t{0}, std::int64_t{-7}, std::numeric_limits<std::int64_t>::min(),
          std::numeric_limits<std::int64_t>::max()}) {
        PyRef converted = python::graph_data_to_python(GraphData::from_int(number));
        ASSERT_TRUE(PyLong_CheckExact(converted.get()));
        EXPECT_EQ(PyLong_AsLongLong(converted.get()), number);
    }
}

TEST_F(Conversion, FloatKeepsItsBits) {
    const std::uint64_t payload_nan = 0x7ff8000000000123ULL;
    double nan_with_payload;
    std::memcpy(&nan_with_payload, &payload_nan, sizeof nan_with_payload);
    for (const double number :
         {1.5, -0.0, std::numeric_limits<double>::infinity(),
          -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN(),
          nan_with_payload, std::numeric_limits<double>::denorm_min()}) {
        PyRef converted = python::graph_data_to_python(GraphData::from_float(number));
        ASSERT_TRUE(PyFloat_CheckExact(converted.get()));
        const double back = PyFloat_AsDouble(converted.get());
        EXPECT_EQ(std::memcmp(&back, &number, sizeof back), 0) << number;
    }
}

TEST_F(Conversion, StringDecodesUtf8) {
    expect_repr(GraphData::from_string(""), "''");
    expect_repr(GraphData::from_string("caf\xc3\xa9 \xe2\x86\x92"), "'café →'");
    expect_repr(GraphData::from_string(std::string("a\0b", 3)), "'a\\x00b'");
}

TEST_F(Conversion, InvalidUtf8StringUsesSurrogateEscape) {
    PyRef converted = python::graph_data_to_python(GraphData::from_string("a\xff\xc3("));
    ASSERT_TRUE(converted);
    const Py_UCS4 expected[] = {'a', 0xDCFF, 0xDCC3, '('};
    PyRef wanted = PyRef::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, expected, 4));
    EXPECT_EQ(PyUnicode_Compare(converted.get(), wanted.get()), 0) << repr(converted.get());
}

TEST_F(Conversion, ListsBecomeNewLists) {
    expect_repr(GraphData::from_float_list({1.0, -2.5, 3e100}), "[1.0, -2.5, 3e+100]");
    expect_repr(GraphData::from_int_list({3, -1, 0}), "[3, -1, 0]");
    expect_repr(GraphData::from_float_list({}), "[]");
    expect_repr(GraphData::from_int_list({}), "[]");
    PyRef first = python::graph_data_to_python(GraphData::from_int_list({1}));
    PyRef second = python::graph_data_to_python(GraphData::from_int_list({1}));
    EXPECT_TRUE(PyList_CheckExact(first.get()));
    EXPECT_NE(first.get(), second.get());
}

TEST_F(Conversion, NoneBecomesNone) {
    PyRef converted = python::graph_data_to_python(GraphData::none());
    EXPECT_EQ(converted.get(), Py_None);
}

TEST_F(Conversion, PyObjectComesBackAsTheSameObjectWithOneMoreReference) {
    PyRef list = eval("[1, 2]");
    const Py_ssize_t baseline = Py_REFCNT(list.get());
    {
        GraphData value = python::wrap_object(list.get());
        EXPECT_EQ(Py_REFCNT(list.get()), baseline + 1);
        GraphData copy = value; // copies share the holder: no new Python reference
        EXPECT_EQ(Py_REFCNT(list.get()), baseline + 1);
        PyRef converted = python::graph_data_to_python(copy);
        EXPECT_EQ(converted.get(), list.get());
        EXPECT_EQ(Py_REFCNT(list.get()), baseline + 2);
        PyList_Append(converted.get(), Py_None); // the engine holds the changed object
        PyRef again = python::graph_data_to_python(value);
        EXPECT_EQ(repr(again.get()), "[1, 2, None]");
    }
    EXPECT_EQ(Py_REFCNT(list.get()), baseline);
}

TEST_F(Conversion, EmptyMapBecomesAnEmptyDict) { expect_equal(map_of({}), "{}"); }

TEST_F(Conversion, IndexKeysZeroToNMinusOneBecomeAListInIndexOrder) {
    expect_repr(map_of({{"2", GraphData::from_int(30)},
                        {"0", GraphData::from_string("zero")},
                        {"1", GraphData::none()}}),
                "['zero', None, 30]");
}

TEST_F(Conversion, KeysThatAreNotExactlyZeroToNMinusOneGiveADict) {
    expect_equal(map_of({{"0", GraphData::from_int(1)}, {"2", GraphData::from_int(3)}}),
                 "{'0': 1, '2': 3}");
    expect_equal(map_of({{"1", GraphData::from_int(1)}, {"2", GraphData::from_int(2)}}),
                 "{'1': 1, '2': 2}");
    expect_equal(map_of({{"0", GraphData::from_int(1)}, {"-1", GraphData::from_int(2)}}),
                 "{'0': 1, '-1': 2}");
    expect_equal(map_of({{"0", GraphData::from_int(1)}, {"", GraphData::from_int(2)}}),
                 "{'0': 1, '': 2}");
    expect_equal(map_of({{"0", GraphData::from_int(1)}, {"007", GraphData::from_int(2)}}),
                 "{'0': 1, '007': 2}");
    expect_equal(map_of({{"+", GraphData::from_int(1)}}), "{'+': 1}");
    expect_equal(map_of({{"0x", GraphData::from_int(1)}}), "{'0x': 1}");
    expect_equal(map_of({{"18446744073709551616", GraphData::from_int(1)}}),
                 "{'18446744073709551616': 1}");
}

TEST_F(Conversion, IndexKeysWithSignOrLeadingZerosLandAtTheirIndex) {
    expect_repr(map_of({{"+0", GraphData::from_int(5)}}), "[5]");
    expect_repr(map_of({{"01", GraphData::from_int(1)}, {"0", GraphData::from_int(0)}}), "[0, 1]");
    // Two keys for one index cannot form a list.
    expect_equal(map_of({{"0", GraphData::from_int(1)}, {"00", GraphData::from_int(2)}}),
                 "{'0': 1, '00': 2}");
}

TEST_F(Conversion, ReAndImMapsBecomeTuplesOfFloats) {
    expect_repr(map_of({{"0", complex_entry(GraphData::from_int(1), GraphData::from_float(2.5))}}),
                "[(1.0, 2.5)]");
    expect_repr(
        map_of({{"0", complex_entry(GraphData::from_string("x"), GraphData::from_float(2.5))}}),
        "[(0.0, 2.5)]");
    expect_repr(map_of({{"1", complex_entry(GraphData::from_float(-1), GraphData::none())},
                        {"0", complex_entry(GraphData::from_int(3), GraphData::from_int(4))}}),
                "[(3.0, 4.0), (-1.0, 0.0)]");
}

TEST_F(Conversion, ReWithoutImFallsBackToTheIndexList) {
    expect_repr(map_of({{"0", map_of({{"re", GraphData::from_int(1)}})}}), "[{'re': 1}]");
    // One entry that breaks the shape turns the whole map into an index list.
    expect_equal(map_of({{"0", complex_entry(GraphData::from_int(1), GraphData::from_int(2))},
                         {"1", GraphData::from_int(3)}}),
                 "[{'re': 1, 'im': 2}, 3]");
}

TEST_F(Conversion, NestedMapsFollowTheSameRules) {
    expect_repr(
        map_of({{"0", map_of({{"0", GraphData::from_int(1)}, {"1", GraphData::from_int(2)}})},
                {"1", map_of({{"0", GraphData::from_int(3)}})}}),
        "[[1, 2], [3]]");
    expect_equal(map_of({{"outer", map_of({{"0", GraphData::from_float_list({0.5})}})},
                         {"empty", map_of({})}}),
                 "{'outer': [[0.5]], 'empty': {}}");
}

// A native node publishes engine values of several variants; a Python-backed node downstream
// receives them converted in its inputs dict, in both execution modes.
class NativeToPython : public Conversion {
protected:
    static Dag build(PyObject* capture) {
        Graph graph;
        graph.add(make_node_function([](const Context&, const Context&) {
                      Context out;
                      out.insert("n", GraphData::from_int(7));
                      out.insert("s", GraphData::from_string("text"));
                      out.insert("m", map_of({{"1", GraphData::from_int(2)},
                                              {"0", GraphData::from_int(1)}}));
                      out.insert("c", map_of({{"0", complex_entry(GraphData::from_int(1),
                                                                  GraphData::from_float(2.5))}}));
                      out.insert("d", map_of({{"k", GraphData::from_float_list({})}}));
                      return out;
                  }),
                  "native", {}, {{"n", "n"}, {"s", "s"}, {"m", "m"}, {"c", "c"}, {"d", "d"}});
        // The Python node shares its level with a no-op node, so in parallel mode it runs on a
        // worker thread that Python has never seen.
        Graph branch;
        branch.add(python::create_python_node_function(PyRef::borrow(capture)), "python",
                   {{"n", "number"}, {"s", "text"}, {"m", "list"}, {"c", "pairs"}, {"d", "dict"}},
                   {{"echo", "echo"}});
        graph.branch(std::move(branch));
        graph.add(noop_node_function());
        return std::move(graph).build();
    }
};

TEST_F(NativeToPython, NativeValuesReachThePythonNodeConverted) {
    PyRef seen = eval("[]");
    PyRef capture = eval("lambda seen: lambda inputs, params: seen.append((inputs, params, "
                         "__import__('threading').get_ident())) or {'echo': inputs}");
    PyRef main_thread = eval("__import__('threading').get_ident()");
    PyRef function = PyRef::steal(PyObject_CallOneArg(capture.get(), seen.get()));
    ASSERT_TRUE(function);
    const Dag dag = build(function.get());
    for (const bool parallel : {false, true}) {
        Context result;
        {
            python::ReleasedLock released; // lets the node take the lock on any thread
            RunOptions options;
            options.parallel = parallel;
            result = run(dag, options).take_context(dag, nullptr);
        }
        ASSERT_EQ(PyList_GET_SIZE(seen.get()), 1);
        PyObject* call = PyList_GET_ITEM(seen.get(), 0);
        PyObject* inputs = PyTuple_GET_ITEM(call, 0);
        PyRef expected = eval("{'number': 7, 'text': 'text', 'list': [1, 2], "
                              "'pairs': [(1.0, 2.5)], 'dict': {'k': []}}");
        EXPECT_EQ(PyObject_RichCompareBool(inputs, expected.get(), Py_EQ), 1) << repr(inputs);
        EXPECT_EQ(repr(PyTuple_GET_ITEM(call, 1)), "{}");
        EXPECT_EQ(PyObject_RichCompareBool(PyTuple_GET_ITEM(call, 2), main_thread.get(), Py_EQ),
                  parallel ? 0 : 1);
        const GraphData* echo = result.find("echo");
        ASSERT_NE(echo, nullptr);
        ASSERT_EQ(echo->kind(), GraphData::Kind::PyObject);
        EXPECT_EQ(python::graph_data_to_python(*echo).get(), inputs);
        EXPECT_EQ(result.find("n")->as_int(), 7);
        PyList_SetSlice(seen.get(), 0, 1, nullptr);
    }
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (PyImport_AppendInittab("vantorix", &init_vantorix) != 0) {
        return 2;
    }
    Py_InitializeEx(0);
    PyRef module = PyRef::steal(PyImport_ImportModule("vantorix"));
    if (!module) {
        PyErr_Print();
        return 2;
    }
    const int status = RUN_ALL_TESTS();
    module = PyRef();
    if (Py_FinalizeEx() < 0) {
        return 3;
    }
    return status;
}
