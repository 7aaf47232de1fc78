// The floor under a parallel level while every node gets a fresh thread: per node, start a thread,
// give it a new Python thread state and the interpreter lock, call a trivial Python function
// with a dict of inputs and an empty dict of parameters, give everything back and join the
// thread. No engine, no mapping, no result list.
//
//   thread_floor [threads per level (64)] [repetitions (15)]
//
// Prints one line per stack source: stacks reused from the engine's pool, as its workers get
// them, and stacks the thread facility maps for every thread. Figures are medians in µs per
// node.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "dag/worker_stacks.hpp"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

PyObject* g_function = nullptr;

void* call_node(void*) {
    const PyGILState_STATE state = PyGILState_Ensure();
    PyObject* inputs = PyDict_New();
    PyObject* params = PyDict_New();
    PyObject* zero = PyLong_FromLong(0);
    PyDict_SetItemString(inputs, "x", zero);
    PyObject* arguments[] = {inputs, params};
    PyObject* returned = PyObject_Vectorcall(g_function, arguments, 2, nullptr);
    if (returned == nullptr) {
        PyErr_Print();
    }
    Py_XDECREF(returned);
    Py_DECREF(zero);
    Py_DECREF(params);
    Py_DECREF(inputs);
    PyGILState_Release(state);
    return nullptr;
}

// Seconds to run one level of `count` nodes.
double run_level(std::size_t count, bool pooled) {
    std::vector<pthread_t> threads(count);
    std::vector<vantorix::WorkerStack> stacks;
    const auto begin = std::chrono::steady_clock::now();
    for (pthread_t& thread : threads) {
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        const vantorix::WorkerStack stack =
            pooled ? vantorix::acquire_worker_stack() : vantorix::WorkerStack{};
        if (stack) {
            pthread_attr_setstack(&attributes, stack.base, stack.size);
            stacks.push_back(stack);
        } else {
            pthread_attr_setstacksize(&attributes, vantorix::kWorkerStackSize);
        }
        if (pthread_create(&thread, &attributes, call_node, nullptr) != 0) {
            std::perror("pthread_create");
            std::exit(1);
        }
        pthread_attr_destroy(&attributes);
    }
    for (const pthread_t thread : threads) {
        pthread_join(thread, nullptr);
    }
    const auto end = std::chrono::steady_clock::now();
    for (const vantorix::WorkerStack& stack : stacks) {
        vantorix::release_worker_stack(stack);
    }
    return std::chrono::duration<double>(end - begin).count();
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 15;
    Py_InitializeEx(0);
    PyObject* globals = PyDict_New();
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyObject* defined = PyRun_String("def node(inputs, params):\n"
                                     "    return {'y': inputs.get('x', 0) + 1}\n",
                                     Py_file_input, globals, globals);
    if (defined == nullptr) {
        PyErr_Print();
        return 1;
    }
    Py_DECREF(defined);
    g_function = PyDict_GetItemString(globals, "node");
    PyThreadState* main_state = PyEval_SaveThread();

    // Sampled round-robin, like the Python benchmark, after one warm-up level of each.
    std::vector<double> pooled;
    std::vector<double> fresh;
    run_level(count, true);
    run_level(count, false);
    for (int repetition = 0; repetition < repetitions; ++repetition) {
        pooled.push_back(run_level(count, true));
        fresh.push_back(run_level(count, false));
    }
    PyEval_RestoreThread(main_state);
    auto median_us_per_node = [count](std::vector<double>& samples) {
        std::sort(samples.begin(), samples.end());
        return samples[samples.size() / 2] / static_cast<double>(count) * 1e6;
    };
    std::printf("pooled stacks %.1f\n", median_us_per_node(pooled));
    std::printf("fresh stacks %.1f\n", median_us_per_node(fresh));
    Py_DECREF(globals);
    return Py_FinalizeEx() < 0 ? 1 : 0;
}
