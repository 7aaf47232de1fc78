// The numbered-slot run behind `Dag::execute` against the Context run behind
// `Dag::execute_detailed`, on generated graphs; and the stacks that workers run on.
#include "dag/worker_stacks.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>

using namespace vantorix;
using namespace vantorix::test;

namespace {

const char* const kContextNames[] = {"a", "b", "c", "d", "e"};
const char* const kImplNames[] = {"x", "y", "z"};

// Publishes every input it received plus its own tag, and "z" = tag: what it returns depends on
// which value reached each name, so a wrong input, a lost output or a wrong winner shows.
NodeFunctionPtr echo(std::int64_t tag) {
    return make_node_function([tag](const Context& inputs, const Context&) {
        Context outputs;
        for (const auto& [name, value] : inputs) {
            outputs.insert(name, GraphData::from_int(value.as_int() * 7 + tag));
        }
        outputs.insert("z", GraphData::from_int(tag));
        return outputs;
    });
}

Pairs random_pairs(std::mt19937& random, const char* const* keys, std::size_t key_count,
                   const char* const* values, std::size_t value_count) {
    Pairs pairs;
    const std::size_t count = random() % 4;
    for (std::size_t i = 0; i < count; ++i) {
        pairs.emplace_back(keys[random() % key_count], values[random() % value_count]);
    }
    return pairs;
}

// Up to 12 nodes over a few shared names: inputs the context lacks, several nodes publishing one
// name, two context names read under one function name, two results published under one name,
// no-op nodes, repeated identifiers and dependencies on identifiers that no node has.
Dag generated_dag(unsigned seed) {
    std::mt19937 random(seed);
    std::vector<Node> nodes;
    const std::size_t count = 1 + random() % 12;
    for (std::size_t i = 0; i < count; ++i) {
        NodeId id = i;
        if (i > 0 && random() % 10 == 0) {
            id = random() % i; // a repeated identifier
        }
        std::vector<NodeId> dependencies;
        if (i > 0) {
            for (std::size_t d = random() % 3; d > 0; --d) {
                dependencies.push_back(random() % i);
            }
        }
        if (random() % 20 == 0) {
            dependencies.push_back(1000 + i); // never schedulable
        }
        const NodeFunctionPtr function =
            random() % 5 == 0 ? noop_node_function() : echo(static_cast<std::int64_t>(i + 1));
        nodes.push_back(make_node(id, dependencies, function,
                                  random_pairs(random, kContextNames, 5, kImplNames, 2),
                                  random_pairs(random, kImplNames, 3, kContextNames, 5)));
    }
    return Dag(std::move(nodes));
}

} // namespace

TEST(PlannedRun, GivesTheContextRunsResultOnGeneratedGraphs) {
    for (unsigned seed = 0; seed < 400; ++seed) {
        const Dag dag = generated_dag(seed);
        EXPECT_EQ(as_ints(dag.execute(false, std::nullopt)),
                  as_ints(dag.execute_detailed(false, std::nullopt).context))
            << "sequential, seed " << seed;
        // One worker at a time: the order in which results are appended is fixed.
        EXPECT_EQ(as_ints(dag.execute(true, 1)), as_ints(dag.execute_detailed(true, 1).context))
            << "parallel, seed " << seed;
    }
}

namespace {

struct Schedule {
    std::vector<NodeId> order;
    std::vector<std::vector<NodeId>> levels;
};

// Kahn's algorithm over maps keyed by identifier, step by step as the DAG is specified, with the
// nodes without dependencies taken in node-list order.
Schedule reference_schedule(const std::vector<Node>& nodes) {
    std::vector<NodeId> seen;
    std::map<NodeId, std::size_t> in_degree;
    std::map<NodeId, std::vector<NodeId>> dependents;
    for (const Node& node : nodes) {
        if (in_degree.try_emplace(node.id, 0).second) {
            seen.push_back(node.id);
        }
        for (const NodeId dependency : node.dependencies) {
            ++in_degree[node.id];
            dependents[dependency].push_back(node.id);
        }
    }
    Schedule schedule;
    for (const NodeId id : seen) {
        if (in_degree[id] == 0) {
            schedule.order.push_back(id);
        }
    }
    for (std::size_t head = 0; head < schedule.order.size(); ++head) {
        for (const NodeId dependent : dependents[schedule.order[head]]) {
            if (--in_degree[dependent] == 0) {
                schedule.order.push_back(dependent);
            }
        }
    }
    std::map<NodeId, std::size_t> level_of;
    for (const NodeId id : schedule.order) {
        const Node& node = *std::find_if(nodes.begin(), nodes.end(), [id](const Node& candidate) {
            return candidate.id == id;
        });
        std::size_t level = 0;
        for (const NodeId dependency : node.dependencies) {
            level = std::max(level, level_of.at(dependency) + 1);
        }
        level_of[id] = level;
        if (schedule.levels.size() <= level) {
            schedule.levels.resize(level + 1);
        }
        schedule.levels[level].push_back(id);
    }
    return schedule;
}

} // namespace

// Repeated identifiers make levels that are not runs of the execution order; the parallel run
// must then still give the Context run's result, which the generated graphs above also check.
TEST(PlannedRun, OrderAndLevelsFollowTheSpecifiedAlgorithmOnGeneratedGraphs) {
    int out_of_order = 0;
    for (unsigned seed = 0; seed < 400; ++seed) {
        const Dag dag = generated_dag(seed);
        const Schedule expected = reference_schedule(dag.nodes());
        EXPECT_EQ(dag.execution_order(), expected.order) << "seed " << seed;
        EXPECT_EQ(dag.levels().to_lists(), expected.levels) << "seed " << seed;
        std::vector<NodeId> concatenated;
        for (const std::vector<NodeId>& level : expected.levels) {
            concatenated.insert(concatenated.end(), level.begin(), level.end());
        }
        out_of_order += concatenated != expected.order ? 1 : 0;
    }
    EXPECT_GT(out_of_order, 0); // the generated graphs include such cases
}

TEST(PlannedRun, ParallelRunOverLevelsOutOfExecutionOrderGivesTheContextRunsResult) {
    // The first node 2 has no dependencies, so it is on level 0, but it runs after node 1,
    // which the second node 2 waits for. Level 0 is nodes 0 and 2, level 1 nodes 1 and 4.
    const Dag dag =
        dag_of(make_node(0, {}, constant(1), {}, {{"out", "a"}}),
               make_node(1, {0}, constant(2), {}, {{"out", "a"}}),
               make_node(2, {}, echo(5), {{"a", "x"}}, {{"x", "seen"}, {"z", "ran"}}),
               make_node(2, {1}), make_node(4, {2}, echo(6), {{"a", "y"}}, {{"y", "later"}}));
    EXPECT_EQ(dag.execution_order(), (std::vector<NodeId>{0, 1, 2, 4}));
    EXPECT_EQ(dag.levels().to_lists(), (std::vector<std::vector<NodeId>>{{0, 2}, {1, 4}}));
    EXPECT_EQ(as_ints(dag.execute(false, std::nullopt)),
              (std::map<std::string, std::int64_t>{
                  {"a", 2}, {"seen", 2 * 7 + 5}, {"ran", 5}, {"later", 2 * 7 + 6}}));
    // In parallel mode node 2 reads the state before level 0, node 4 the state after it.
    const std::map<std::string, std::int64_t> parallel{{"a", 2}, {"ran", 5}, {"later", 1 * 7 + 6}};
    for (const auto max_threads : std::vector<std::optional<std::size_t>>{std::nullopt, 1}) {
        EXPECT_EQ(as_ints(dag.execute(true, max_threads)), parallel);
        EXPECT_EQ(as_ints(dag.execute_detailed(true, max_threads).context), parallel);
    }
}

TEST(PlannedRun, OnlyNamesThatScheduledNodesPublishGetSlots) {
    const Dag dag = dag_of(make_node(0, {}, constant(1), {{"ghost", "in"}}, {{"out", "a"}}),
                           make_node(1, {0}, constant(2), {{"a", "in"}}, {{"out", "a"}}),
                           make_node(2, {0}, constant(3), {}, {{"out", "b"}, {"x", "c"}}),
                           make_node(3, {99}, constant(4), {}, {{"out", "unscheduled"}}));
    std::multiset<std::string> names;
    std::set<std::uint32_t> slots;
    dag.for_each_slot([&](std::uint32_t slot, std::string_view name) {
        slots.insert(slot);
        names.emplace(name);
    });
    EXPECT_EQ(dag.slot_count(), 3u);
    EXPECT_EQ(slots, (std::set<std::uint32_t>{0, 1, 2}));
    EXPECT_EQ(names, (std::multiset<std::string>{"a", "b", "c"}));

    ExecutionValues values = dag.execute_values(false, std::nullopt);
    EXPECT_EQ(values.size(), 2u); // "c" is never returned
    EXPECT_EQ(as_ints(std::move(values).to_context()),
              (std::map<std::string, std::int64_t>{{"a", 2}, {"b", 3}}));
}

namespace {

struct StackRange {
    char* base;
    std::size_t size;
    auto operator<=>(const StackRange&) const = default;
};

StackRange current_stack() {
    pthread_attr_t attributes;
    pthread_getattr_np(pthread_self(), &attributes);
    void* base = nullptr;
    std::size_t size = 0;
    pthread_attr_getstack(&attributes, &base, &size);
    pthread_attr_destroy(&attributes);
    return {static_cast<char*>(base), size};
}

bool resident(const void* address) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    auto* start = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(address) & ~(page - 1));
    unsigned char state = 0;
    return mincore(start, page, &state) == 0 && (state & 1) != 0;
}

} // namespace

TEST(WorkerStacks, WorkersOfLaterBatchesRunOnTheStacksOfEarlierOnes) {
    std::mutex mutex;
    std::set<StackRange> seen;
    const NodeFunctionPtr record = make_node_function([&](const Context&, const Context&) {
        const StackRange stack = current_stack();
        std::lock_guard lock(mutex);
        seen.insert(stack);
        return Context();
    });
    const Dag dag = dag_of(make_node(0, {}), make_node(1, {0}, record), make_node(2, {0}, record),
                           make_node(3, {0}, record));
    dag.execute(true, std::nullopt);
    const std::set<StackRange> first = seen;
    ASSERT_EQ(first.size(), 3u);
    for (const StackRange& stack : first) {
        EXPECT_GE(stack.size, kWorkerStackSize);
    }
    for (int run = 0; run < 5; ++run) {
        dag.execute(true, run % 2 == 0 ? std::optional<std::size_t>(1) : std::nullopt);
    }
    EXPECT_EQ(seen, first); // a fresh thread every time, never a fresh stack
}

TEST(WorkerStacks, AStackUsedDeeplyGivesItsDeepPagesBackBeforeItIsReused) {
    const WorkerStack stack = acquire_worker_stack();
    ASSERT_TRUE(stack);
    char* top = static_cast<char*>(stack.base) + stack.size;
    const std::size_t used = 3 * 1024 * 1024;
    std::memset(top - used, 1, used); // as a deep recursion would
    ASSERT_TRUE(resident(top - used));
    release_worker_stack(stack);

    const WorkerStack again = acquire_worker_stack();
    ASSERT_EQ(again.base, stack.base); // the pool hands back the stack it got last
    EXPECT_FALSE(resident(top - used));
    EXPECT_TRUE(resident(top - 1)); // the part every thread uses stays mapped
    release_worker_stack(again);
}

TEST(WorkerStacks, DeepRecursionOnAReusedStackStillRuns) {
    std::atomic<int> finished{0};
    // About 4 MiB of frames, each touching its own 64 KiB.
    struct Recurse {
        static int down(int depth) {
            volatile char frame[64 * 1024];
            std::memset(const_cast<char*>(frame), depth, sizeof frame);
            return depth == 0 ? frame[0] : down(depth - 1) + frame[1];
        }
    };
    const NodeFunctionPtr deep = make_node_function([&](const Context&, const Context&) {
        EXPECT_EQ(Recurse::down(64), 64 * 65 / 2);
        ++finished;
        return Context();
    });
    const Dag dag = dag_of(make_node(0, {}), make_node(1, {0}, deep), make_node(2, {0}, deep));
    for (int run = 0; run < 3; ++run) {
        dag.execute(true, std::nullopt);
    }
    EXPECT_EQ(finished.load(), 6);
}

namespace {

// A context over some of the generated graphs' names, and one name no node uses.
Context generated_initial(unsigned seed) {
    std::mt19937 random(seed * 7919 + 1);
    Context initial;
    for (const char* name : kContextNames) {
        if (random() % 2 == 0) {
            initial.insert(name,
                           GraphData::from_int(100 + static_cast<std::int64_t>(random() % 50)));
        }
    }
    if (random() % 3 == 0) {
        initial.insert("unused", GraphData::from_int(-1));
    }
    return initial;
}

// What a traced numbered run leaves, turned back into the Context run's bookkeeping.
struct SlotRun {
    std::map<std::string, std::int64_t> context;
    std::map<NodeId, std::map<std::string, std::int64_t>> node_outputs;
    std::vector<NodeId> traced;
};

SlotRun slot_run(const Dag& dag, const Context& initial, bool parallel) {
    std::vector<std::string> names(dag.slot_count());
    dag.for_each_slot([&](std::uint32_t slot, std::string_view name) { names[slot] = name; });
    SlotRun run;
    ExecutionHooks hooks;
    hooks.on_node_traced = [&](NodeTrace&& trace) { run.traced.push_back(trace.node->id); };
    PublishedRecord record;
    ExecutionValues values = dag.execute_values(initial, parallel, 1, hooks, &record);
    EXPECT_EQ(record.ends.size(), run.traced.size());
    for (std::size_t k = 0; k < run.traced.size(); ++k) {
        std::map<std::string, std::int64_t> outputs;
        for (const PublishedRecord::Value& published : record.of(k)) {
            outputs[names[published.slot]] = published.value.as_int();
        }
        run.node_outputs[run.traced[k]] = outputs; // a repeated identifier keeps its last run
    }
    run.context = as_ints(initial);
    for (const auto& [name, value] : as_ints(std::move(values).to_context())) {
        run.context[name] = value;
    }
    return run;
}

} // namespace

TEST(PlannedRun, SeededAndTracedGivesTheContextRunsResultOnGeneratedGraphs) {
    for (unsigned seed = 0; seed < 400; ++seed) {
        const Dag dag = generated_dag(seed);
        const Context initial = generated_initial(seed);
        for (const bool parallel : {false, true}) {
            std::vector<NodeId> traced;
            ExecutionHooks hooks;
            hooks.on_node_traced = [&](NodeTrace&& trace) { traced.push_back(trace.node->id); };
            const ExecutionResult expected = dag.execute_detailed(initial, parallel, 1, hooks);
            const SlotRun run = slot_run(dag, initial, parallel);
            EXPECT_EQ(run.context, as_ints(expected.context))
                << (parallel ? "parallel" : "sequential") << ", seed " << seed;
            EXPECT_EQ(run.traced, traced) << seed;
            std::map<NodeId, std::map<std::string, std::int64_t>> node_outputs;
            for (const auto& [id, outputs] : expected.node_outputs) {
                node_outputs[id] = as_ints(outputs);
            }
            EXPECT_EQ(run.node_outputs, node_outputs)
                << (parallel ? "parallel" : "sequential") << ", seed " << seed;
        }
    }
}

TEST(PlannedRun, SeedingLeavesTheCallersContextAsItWas) {
    const Dag dag = dag_of(make_node(0, {}, echo(1), {{"a", "x"}}, {{"x", "a"}, {"z", "b"}}),
                           make_node(1, {0}, echo(2), {{"c", "x"}}, {{"x", "c"}}));
    const Context initial = ints({{"a", 3}, {"c", 5}, {"d", 9}});
    for (const bool parallel : {false, true}) {
        EXPECT_EQ(as_ints(dag.execute_values(initial, parallel, std::nullopt, {}).to_context()),
                  (std::map<std::string, std::int64_t>{{"a", 22}, {"b", 1}, {"c", 37}}));
        EXPECT_EQ(as_ints(initial),
                  (std::map<std::string, std::int64_t>{{"a", 3}, {"c", 5}, {"d", 9}}));
    }
}

TEST(PlannedRun, TracedWideLevelRecordsEachNodesOwnOutputs) {
    // Eight workers at once, each publishing its own name: whatever order they finish in, the
    // k-th record belongs to the k-th trace.
    std::vector<Node> nodes;
    nodes.push_back(make_node(0, {}, constant(5), {}, {{"out", "seed"}}));
    for (NodeId id = 1; id <= 8; ++id) {
        nodes.push_back(make_node(id, {0}, echo(static_cast<std::int64_t>(id)), {{"seed", "x"}},
                                  {{"x", key("v", static_cast<long long>(id))}}));
    }
    const Dag dag(std::move(nodes));
    std::vector<std::string> names(dag.slot_count());
    dag.for_each_slot([&](std::uint32_t slot, std::string_view name) { names[slot] = name; });
    for (int run = 0; run < 20; ++run) {
        std::vector<NodeId> traced;
        ExecutionHooks hooks;
        hooks.on_node_traced = [&](NodeTrace&& trace) { traced.push_back(trace.node->id); };
        PublishedRecord record;
        const Context context =
            dag.execute_values(Context(), true, std::nullopt, hooks, &record).to_context();
        ASSERT_EQ(traced.size(), 9u);
        ASSERT_EQ(record.ends.size(), 9u);
        EXPECT_EQ(as_ints(context).size(), 9u);
        for (std::size_t k = 1; k < traced.size(); ++k) {
            const auto published = record.of(k);
            ASSERT_EQ(published.size(), 1u);
            const auto id = static_cast<std::int64_t>(traced[k]);
            EXPECT_EQ(names[published[0].slot], key("v", id));
            EXPECT_EQ(published[0].value.as_int(), 5 * 7 + id);
        }
    }
}
