#include "builder/builder.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <functional>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>

using namespace vantorix;
using namespace vantorix::test;

namespace {

using Values = std::map<std::string, std::int64_t>;

// Publishes its input `in` as `out`.
NodeFunctionPtr forward() {
    return make_node_function([](const Context& in, const Context&) {
        Context out;
        if (const GraphData* value = in.find("in")) {
            out.insert("out", *value);
        }
        return out;
    });
}

// The exception of type `Error` that `run` throws, or nothing.
template <class Error, class Run> std::optional<Error> caught(Run run) {
    try {
        run();
    } catch (const Error& error) {
        return error;
    }
    return std::nullopt;
}

struct Stop : ExecutionInterrupt {
    explicit Stop(int stop_code) : code(stop_code) {}
    int code;
};

// Shared by the failure tests: a root, a level of workers and one node on the level after.
// Workers that wait hold at `gate` until the calling thread's wait hook opens it, which it only
// does while it is waiting for their batch.
struct FailureScene {
    Latch gate{1};
    std::atomic<int> finished{0};
    std::atomic<int> later_ran{0};
    std::atomic<bool> failure_raised{false};

    NodeFunctionPtr waiting_worker() {
        return make_node_function([this](const Context&, const Context&) {
            EXPECT_TRUE(gate.wait());
            ++finished;
            return Context();
        });
    }
    NodeFunctionPtr must_not_run() {
        return make_node_function([this](const Context&, const Context&) {
            ++later_ran;
            return Context();
        });
    }
    template <class Exception> NodeFunctionPtr throwing(Exception exception) {
        return make_node_function([this, exception](const Context&, const Context&) -> Context {
            failure_raised = true;
            throw exception;
        });
    }
    // Root 0, workers 1..n on one level (in this order), then node 99 behind worker 1.
    Dag dag(std::vector<NodeFunctionPtr> workers) {
        std::vector<Node> nodes;
        nodes.push_back(make_node(0, {}));
        for (std::size_t i = 0; i < workers.size(); ++i) {
            nodes.push_back(make_node(i + 1, {0}, workers[i]));
        }
        nodes.push_back(make_node(99, {1}, must_not_run()));
        return Dag(std::move(nodes));
    }
    static WorkerHooks hooks(std::function<void()> on_wait) {
        WorkerHooks hooks;
        hooks.tick = std::chrono::milliseconds(1);
        hooks.on_wait = std::move(on_wait);
        return hooks;
    }
    WorkerHooks opening_hooks() {
        return hooks([this] {
            if (failure_raised) {
                gate.count_down();
            }
        });
    }
};

} // namespace

TEST(Execution, ParallelSiblingsReadTheLevelSnapshotSequentialOnesDoNot) {
    const Dag dag = dag_of(make_node(0, {}, constant(1), {}, {{"out", "x"}}),
                           make_node(1, {0}, constant(2), {}, {{"out", "x"}}),
                           make_node(2, {0}, forward(), {{"x", "in"}}, {{"out", "seen"}}));
    // One worker at a time: node 1 has certainly finished before node 2 starts.
    const ExecutionResult parallel = execute_detailed(dag, true, 1);
    EXPECT_EQ(as_ints(parallel.context), (Values{{"x", 2}, {"seen", 1}}));
    EXPECT_EQ(as_ints(parallel.node_outputs.at(2)), (Values{{"seen", 1}}));

    EXPECT_EQ(as_ints(execute(dag, false, std::nullopt)), (Values{{"x", 2}, {"seen", 2}}));
}

TEST(Execution, MultiNodeLevelsReadTheContextWithoutCopyingIt) {
    CountingHandles handles;
    CountingHandles::Object object{0};
    const NodeFunctionPtr source = make_node_function([&object](const Context&, const Context&) {
        Context out;
        out.insert("out", CountingHandles::reference(object));
        return out;
    });
    const Dag dag = dag_of(make_node(0, {}, source, {}, {{"out", "obj"}}), make_node(1, {0}),
                           make_node(2, {0}));
    EXPECT_EQ(execute(dag, true, std::nullopt).size(), 1u);
    EXPECT_EQ(CountingHandles::retains.load(), 0);
    EXPECT_EQ(object.load(), 0);
}

TEST(Execution, DetailedResultKeepsEveryNodeAndOneEntryPerBranchNumber) {
    Graph inner;
    inner.add(constant(3), "c", {}, {{"out", "c"}});
    Graph sub;
    sub.add(constant(2), "b", {}, {{"out", "b"}});
    EXPECT_EQ(sub.branch(std::move(inner)), 1u);
    Graph main;
    main.add(constant(1), "a", {}, {{"out", "a"}});
    EXPECT_EQ(main.branch(std::move(sub)), 1u);
    main.add(noop_node_function(), "silent");
    const Dag dag = std::move(main).build();

    for (const bool parallel : {false, true}) {
        const ExecutionResult result = execute_detailed(dag, parallel, std::nullopt);
        const Values all{{"a", 1}, {"b", 2}, {"c", 3}};
        EXPECT_EQ(as_ints(result.context), all);
        EXPECT_EQ(as_ints(execute(dag, parallel, std::nullopt)), all);
        ASSERT_EQ(result.node_outputs.size(), 4u);
        EXPECT_EQ(as_ints(result.node_outputs.at(0)), (Values{{"a", 1}}));
        EXPECT_TRUE(result.node_outputs.at(1).empty()); // "silent"
        ASSERT_EQ(result.branch_outputs.size(), 1u);
        EXPECT_EQ(as_ints(result.branch_outputs.at(1)), (Values{{"b", 2}, {"c", 3}}));
    }
}

TEST(Execution, EmptyDagGivesAnEmptyResultInBothModes) {
    const Dag dag{std::vector<Node>()};
    for (const bool parallel : {false, true}) {
        const ExecutionResult result = execute_detailed(dag, parallel, 4);
        EXPECT_TRUE(result.context.empty());
        EXPECT_TRUE(result.node_outputs.empty());
        EXPECT_TRUE(result.branch_outputs.empty());
        EXPECT_TRUE(execute(dag, parallel, std::nullopt).empty());
    }
}

TEST(Execution, SingleNodeLevelsRunOnTheCallingThreadWiderOnesOnWorkers) {
    std::mutex mutex;
    std::map<NodeId, std::thread::id> threads;
    auto record = [&](NodeId id) {
        return make_node_function([&mutex, &threads, id](const Context&, const Context&) {
            std::lock_guard lock(mutex);
            threads[id] = std::this_thread::get_id();
            return Context();
        });
    };
    const Dag dag = dag_of(make_node(0, {}, record(0)), make_node(1, {0}, record(1)),
                           make_node(2, {0}, record(2)), make_node(3, {1, 2}, record(3)));
    execute(dag, true, std::nullopt);
    const std::thread::id caller = std::this_thread::get_id();
    EXPECT_EQ(threads.at(0), caller);
    EXPECT_NE(threads.at(1), caller);
    EXPECT_NE(threads.at(2), caller);
    EXPECT_EQ(threads.at(3), caller);
}

namespace {

// Runs one level of `count` independent nodes in parallel and observes how they overlap. Nodes
// with a meeting latch wait there for their partners; the spawn seam reports each worker's index
// within its batch.
struct BatchObservation {
    std::vector<std::size_t> spawn_indexes;
    std::vector<int> finished_at_start;
    int max_active = 0;
};

BatchObservation observe_batches(std::size_t count, std::optional<std::size_t> max_threads,
                                 const std::vector<Latch*>& meetings) {
    std::atomic<int> active{0};
    std::atomic<int> max_active{0};
    std::atomic<int> finished{0};
    BatchObservation seen;
    seen.finished_at_start.assign(count, -1);
    std::vector<Node> nodes;
    for (std::size_t i = 0; i < count; ++i) {
        Latch* meeting = meetings.empty() ? nullptr : meetings[i];
        nodes.push_back(make_node(
            i, {}, make_node_function([&, i, meeting](const Context&, const Context&) {
                seen.finished_at_start[i] = finished.load();
                const int now = ++active;
                int peak = max_active.load();
                while (now > peak && !max_active.compare_exchange_weak(peak, now)) {
                }
                if (meeting != nullptr) {
                    EXPECT_TRUE(meeting->arrive_and_wait()) << "node " << i << " met nobody";
                }
                --active;
                ++finished;
                return Context();
            })));
    }
    WorkerHooks hooks;
    hooks.spawn_fault = [&](std::size_t index) {
        seen.spawn_indexes.push_back(index);
        return 0;
    };
    run(Dag(std::move(nodes)), run_options(true, max_threads, hooks));
    seen.max_active = max_active.load();
    return seen;
}

} // namespace

TEST(Execution, MaxThreadsCutsALevelIntoBatchesThatRunOneAfterAnother) {
    Latch first(2);
    Latch second(2);
    const BatchObservation seen =
        observe_batches(5, 2, {&first, &first, &second, &second, nullptr});
    EXPECT_EQ(seen.spawn_indexes, (std::vector<std::size_t>{0, 1, 0, 1, 0}));
    EXPECT_EQ(seen.max_active, 2);
    EXPECT_EQ(seen.finished_at_start, (std::vector<int>{0, 0, 2, 2, 4}));
}

TEST(Execution, ZeroMaxThreadsRunsOneWorkerAtATime) {
    const BatchObservation seen = observe_batches(3, 0, {});
    EXPECT_EQ(seen.spawn_indexes, (std::vector<std::size_t>{0, 0, 0}));
    EXPECT_EQ(seen.max_active, 1);
    EXPECT_EQ(seen.finished_at_start, (std::vector<int>{0, 1, 2}));
}

TEST(Execution, NoMaxThreadsRunsTheWholeLevelAtOnce) {
    Latch all(6);
    const BatchObservation seen = observe_batches(6, std::nullopt, std::vector<Latch*>(6, &all));
    EXPECT_EQ(seen.spawn_indexes, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(seen.max_active, 6);
}

TEST(ExecutionFailure, ThrowingWorkerFailsTheRunAfterItsBatchFinished) {
    FailureScene scene;
    const Dag dag = scene.dag({scene.waiting_worker(), scene.throwing(std::runtime_error("boom")),
                               scene.waiting_worker(), scene.must_not_run()});
    const auto error =
        caught<ExecutionError>([&] { run(dag, run_options(true, 3, scene.opening_hooks())); });
    ASSERT_TRUE(error.has_value());
    EXPECT_STREQ(error->what(), "a scoped thread panicked");
    EXPECT_EQ(scene.finished.load(), 2);
    EXPECT_EQ(scene.later_ran.load(), 0);
}

TEST(ExecutionFailure, WorkerOutOfMemoryReachesTheCallerAsItselfAfterItsBatch) {
    FailureScene scene;
    const Dag dag = scene.dag({scene.waiting_worker(), scene.throwing(std::bad_alloc()),
                               scene.waiting_worker(), scene.must_not_run()});
    const auto error =
        caught<std::bad_alloc>([&] { run(dag, run_options(true, 3, scene.opening_hooks())); });
    EXPECT_TRUE(error.has_value());
    EXPECT_EQ(scene.finished.load(), 2);
    EXPECT_EQ(scene.later_ran.load(), 0);
}

TEST(ExecutionFailure, WorkerThatCannotStartFailsTheRunAfterJoiningTheStartedOnes) {
    FailureScene scene;
    const Dag dag = scene.dag({scene.waiting_worker(), scene.waiting_worker(),
                               scene.must_not_run(), scene.must_not_run()});
    WorkerHooks hooks = scene.opening_hooks();
    hooks.spawn_fault = [&](std::size_t index) {
        if (index == 2) {
            scene.failure_raised = true;
            return EAGAIN;
        }
        return 0;
    };
    const auto error =
        caught<ExecutionError>([&] { run(dag, run_options(true, std::nullopt, hooks)); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(std::string(error->what()).rfind("failed to spawn thread", 0), 0u) << error->what();
    EXPECT_EQ(scene.finished.load(), 2);
    EXPECT_EQ(scene.later_ran.load(), 0);
}

TEST(ExecutionFailure, InterruptFromAWorkerStopsAfterItsBatchAndKeepsItsType) {
    FailureScene scene;
    const Dag dag = scene.dag({scene.throwing(Stop(7)), scene.waiting_worker(),
                               scene.must_not_run(), scene.must_not_run()});
    const auto stop = caught<Stop>([&] { run(dag, run_options(true, 2, scene.opening_hooks())); });
    EXPECT_EQ(stop.value_or(Stop(0)).code, 7);
    EXPECT_EQ(scene.finished.load(), 1);
    EXPECT_EQ(scene.later_ran.load(), 0);
}

TEST(ExecutionFailure, InterruptOnTheCallingThreadStopsTheRunInBothModes) {
    for (const bool parallel : {false, true}) {
        FailureScene scene;
        const Dag dag = dag_of(make_node(0, {}), make_node(1, {0}, scene.throwing(Stop(1))),
                               make_node(2, {1}, scene.must_not_run()));
        EXPECT_THROW(execute(dag, parallel, std::nullopt), Stop);
        EXPECT_EQ(scene.later_ran.load(), 0);
    }
}

TEST(ExecutionFailure, WaitHookInterruptStopsTheRunOnceTheBatchFinished) {
    FailureScene scene;
    const Dag dag = scene.dag({scene.waiting_worker(), scene.waiting_worker()});
    const WorkerHooks hooks = FailureScene::hooks([&] {
        scene.gate.count_down();
        throw Stop(3);
    });
    const auto stop = caught<Stop>([&] { run(dag, run_options(true, std::nullopt, hooks)); });
    EXPECT_EQ(stop.value_or(Stop(0)).code, 3);
    EXPECT_EQ(scene.finished.load(), 2);
    EXPECT_EQ(scene.later_ran.load(), 0);
}

TEST(ExecutionFailure, OtherWaitHookFailureWaitsForTheBatchBeforeItSurfaces) {
    FailureScene scene;
    const Dag dag = scene.dag({scene.waiting_worker(), scene.waiting_worker()});
    std::atomic<int> calls{0};
    const WorkerHooks hooks = FailureScene::hooks([&] {
        if (++calls == 1) {
            throw std::runtime_error("hook failed");
        }
        scene.gate.count_down();
    });
    EXPECT_THROW(run(dag, run_options(true, std::nullopt, hooks)), std::runtime_error);
    EXPECT_EQ(scene.finished.load(), 2);
    EXPECT_EQ(scene.later_ran.load(), 0);
    scene.gate.count_down();
}

// A root and a level of `worker` and a no-op node: the calling thread waits for one worker.
Dag one_worker_dag(NodeFunctionPtr worker) {
    return dag_of(make_node(0, {}), make_node(1, {0}, std::move(worker)), make_node(2, {0}));
}

TEST(ExecutionWait, SignalHandlerRunOnTheCallingThreadWakesItsWait) {
    // Installed without SA_RESTART, as Python installs its handlers.
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    const pthread_t caller = pthread_self();
    Latch woken(1);
    std::atomic<bool> woken_while_running{false};
    const Dag dag = one_worker_dag(make_node_function([&](const Context&, const Context&) {
        // A signal that comes before the wait has begun wakes nothing: send until one does.
        for (int attempt = 0; attempt < 2000 && !woken_while_running; ++attempt) {
            pthread_kill(caller, SIGUSR1);
            woken_while_running = woken.wait(std::chrono::milliseconds(10));
        }
        return Context();
    }));
    WorkerHooks hooks;
    hooks.tick = std::chrono::hours(1);
    hooks.on_wait = [&] { woken.count_down(); };
    run(dag, run_options(true, std::nullopt, hooks));
    EXPECT_TRUE(woken_while_running);
    sigaction(SIGUSR1, &previous, nullptr);
}

TEST(ExecutionWait, CallingThreadEndedInItsWaitHookLetsItsWorkersFinishFirst) {
    struct Scene {
        Latch hook_called{1};
        Latch release{1};
        std::atomic<bool> caller_unwound{false};
        std::atomic<bool> worker_outlived_caller{true};
        WorkerHooks hooks;
        std::optional<Dag> dag;
    } scene;
    scene.dag = one_worker_dag(make_node_function([&scene](const Context&, const Context&) {
        EXPECT_TRUE(scene.release.wait());
        scene.worker_outlived_caller = scene.caller_unwound.load();
        return Context();
    }));
    scene.hooks.tick = std::chrono::milliseconds(1);
    scene.hooks.on_wait = [&scene] {
        scene.hook_called.count_down();
        pthread_exit(nullptr); // unwinds the calling thread, as thread cancellation does
    };
    pthread_t caller;
    ASSERT_EQ(pthread_create(
                  &caller, nullptr,
                  [](void* argument) -> void* {
                      auto& shared = *static_cast<Scene*>(argument);
                      struct Mark {
                          std::atomic<bool>& unwound;
                          ~Mark() { unwound = true; }
                      } mark{shared.caller_unwound};
                      run(*shared.dag, run_options(true, std::nullopt, shared.hooks));
                      return nullptr;
                  },
                  &scene),
              0);
    EXPECT_TRUE(scene.hook_called.wait());
    scene.release.count_down();
    pthread_join(caller, nullptr);
    EXPECT_TRUE(scene.caller_unwound);
    EXPECT_FALSE(scene.worker_outlived_caller);
}

TEST(Execution, EveryHandleCopyIsReleasedInBothModes) {
    CountingHandles handles;
    CountingHandles::Object object{0};
    Graph graph;
    graph.add(make_node_function([&object](const Context&, const Context&) {
                  Context out;
                  out.insert("out", CountingHandles::reference(object));
                  return out;
              }),
              "source", {}, {{"out", "obj"}});
    for (int i = 0; i < 20; ++i) {
        graph.add(forward(), std::nullopt, {{"obj", "in"}}, {{"out", "obj"}});
    }
    for (int i = 0; i < 16; ++i) {
        Graph reader;
        reader.add(forward(), std::nullopt, {{"obj", "in"}}, {{"out", key("r", i)}});
        graph.branch(std::move(reader));
    }
    const Dag dag = std::move(graph).build();

    for (const bool parallel : {false, true}) {
        for (const auto max_threads : std::vector<std::optional<std::size_t>>{std::nullopt, 3}) {
            {
                const ExecutionResult result = execute_detailed(dag, parallel, max_threads);
                EXPECT_EQ(result.context.find("r15")->as_object(), &object);
                EXPECT_GT(object.load(), 16);
                const Context context = execute(dag, parallel, max_threads);
                EXPECT_EQ(context.size(), 17u);
            }
            EXPECT_EQ(object.load(), 0);
        }
    }
    EXPECT_GT(CountingHandles::retains.load(), 0);
}

TEST(Execution, ParallelRunOverLevelsOutOfExecutionOrderReadsEachLevelsSnapshot) {
    // The first node 2 has no dependencies, so it is on level 0, but it runs after node 1,
    // which the second node 2 waits for. Level 0 is nodes 0 and 2, level 1 nodes 1 and 4.
    const Dag dag =
        dag_of(make_node(0, {}, constant(1), {}, {{"out", "a"}}),
               make_node(1, {0}, constant(2), {}, {{"out", "a"}}),
               make_node(2, {}, echo(5), {{"a", "x"}}, {{"x", "seen"}, {"z", "ran"}}),
               make_node(2, {1}), make_node(4, {2}, echo(6), {{"a", "y"}}, {{"y", "later"}}));
    EXPECT_EQ(dag.execution_order(), (std::vector<NodeId>{0, 1, 2, 4}));
    EXPECT_EQ(dag.level_ids(), (std::vector<std::vector<NodeId>>{{0, 2}, {1, 4}}));
    EXPECT_EQ(as_ints(execute(dag, false, std::nullopt)),
              (Values{{"a", 2}, {"seen", 2 * 7 + 5}, {"ran", 5}, {"later", 2 * 7 + 6}}));
    // In parallel mode node 2 reads the state before level 0, node 4 the state after it.
    const Values parallel{{"a", 2}, {"ran", 5}, {"later", 1 * 7 + 6}};
    for (const auto max_threads : std::vector<std::optional<std::size_t>>{std::nullopt, 1}) {
        EXPECT_EQ(as_ints(execute(dag, true, max_threads)), parallel);
        EXPECT_EQ(as_ints(execute_detailed(dag, true, max_threads).context), parallel);
    }
}

TEST(Execution, OnlyNamesThatScheduledNodesPublishAreVariables) {
    const Dag dag = dag_of(make_node(0, {}, constant(1), {{"ghost", "in"}}, {{"out", "a"}}),
                           make_node(1, {0}, constant(2), {{"a", "in"}}, {{"out", "a"}}),
                           make_node(2, {0}, constant(3), {}, {{"out", "b"}, {"x", "c"}}),
                           make_node(3, {99}, constant(4), {}, {{"out", "unscheduled"}}));
    std::map<std::string, VariableId> numbered;
    dag.variables().for_each(dag.nodes(), [&](VariableId variable, std::string_view name) {
        EXPECT_TRUE(numbered.emplace(name, variable).second);
    });
    // Numbered in the order a sequential run first publishes them.
    EXPECT_EQ(numbered, (std::map<std::string, VariableId>{{"a", 0}, {"b", 1}, {"c", 2}}));
    EXPECT_EQ(dag.variables().inputs(0, dag.nodes()[0])[0], Variables::kUnpublished);
    EXPECT_EQ(dag.variables().inputs(1, dag.nodes()[1])[0], 0u);
    EXPECT_TRUE(dag.variables().outputs(3, dag.nodes()[3]).empty());

    RunResult result = run(dag, run_options(false, std::nullopt));
    EXPECT_FALSE(result.values[2].has_value()); // "c" is never returned
    EXPECT_EQ(as_ints(result.take_context(dag, nullptr)), (Values{{"a", 2}, {"b", 3}}));
}

TEST(Execution, SeedingLeavesTheCallersContextAsItWas) {
    const Dag dag = dag_of(make_node(0, {}, echo(1), {{"a", "x"}}, {{"x", "a"}, {"z", "b"}}),
                           make_node(1, {0}, echo(2), {{"c", "x"}}, {{"x", "c"}}));
    const Context initial = ints({{"a", 3}, {"c", 5}, {"d", 9}});
    for (const bool parallel : {false, true}) {
        RunOptions options = run_options(parallel, std::nullopt);
        options.initial = &initial;
        EXPECT_EQ(as_ints(run(dag, options).take_context(dag, &initial)),
                  (Values{{"a", 22}, {"b", 1}, {"c", 37}, {"d", 9}}));
        EXPECT_EQ(as_ints(initial), (Values{{"a", 3}, {"c", 5}, {"d", 9}}));
    }
}

TEST(ExecutionWorkers, EveryWorkerAttachesWhileTheBatchIsStartedAndDetachesAfterItsNode) {
    static thread_local bool attached_here = false;
    std::mutex mutex;
    std::atomic<bool> starting{false};
    std::vector<std::string> events;
    auto note = [&](std::string event) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
    };
    WorkerHooks hooks;
    // The host holds back what the workers do until `start` returns (Python: the lock); every
    // worker has attached by then.
    std::vector<std::size_t> batch_sizes;
    hooks.around_start = [&](std::size_t workers, const std::function<void()>& start) {
        batch_sizes.push_back(workers);
        starting = true;
        start();
        starting = false;
        note("started");
    };
    hooks.attach = [&] {
        attached_here = true;
        note(starting ? "attach while starting" : "attach late");
    };
    hooks.detach = [&] { note(attached_here ? "detach" : "detach elsewhere"); };
    const NodeFunctionPtr worker = make_node_function([&](const Context&, const Context&) {
        note(attached_here ? "node" : "node without attaching");
        return Context();
    });
    const Dag dag = dag_of(make_node(0, {}), make_node(1, {0}, worker), make_node(2, {0}, worker),
                           make_node(3, {0}, worker));
    run(dag, run_options(true, 2, hooks));
    std::map<std::string, int> counts;
    for (const std::string& event : events) {
        ++counts[event];
    }
    EXPECT_EQ(counts,
              (std::map<std::string, int>{
                  {"attach while starting", 3}, {"started", 2}, {"node", 3}, {"detach", 3}}));
    EXPECT_EQ(batch_sizes, (std::vector<std::size_t>{2, 1}));
}
