// The engine's runs against the reference interpreter on generated graphs, in both modes, from
// an empty context and from a seeded one; and the schedule against Kahn's algorithm step by step.
#include "dag/data_flow.hpp"
#include "reference_run.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <set>

using namespace vantorix;
using namespace vantorix::test;

namespace {

const char* const kContextNames[] = {"a", "b", "c", "d", "e"};
const char* const kImplNames[] = {"x", "y", "z"};

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
// `function(tag)` gives node i its function, tag i + 1.
Dag generated_dag(
    unsigned seed, const std::function<NodeFunctionPtr(std::int64_t)>& function =
                       [](std::int64_t tag) { return echo(tag); }) {
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
        const NodeFunctionPtr node_function =
            random() % 5 == 0 ? noop_node_function() : function(static_cast<std::int64_t>(i + 1));
        nodes.push_back(make_node(id, dependencies, node_function,
                                  random_pairs(random, kContextNames, 5, kImplNames, 2),
                                  random_pairs(random, kImplNames, 3, kContextNames, 5)));
    }
    return Dag(std::move(nodes));
}

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

using OutputsByNode = std::map<NodeId, std::map<std::string, std::int64_t>>;

// The engine's run with one worker at a time, recorded, as the reference interpreter tells it.
struct EngineRun {
    std::map<std::string, std::int64_t> context;
    OutputsByNode node_outputs;
    std::map<BranchId, std::map<std::string, std::int64_t>> branch_outputs;
    std::vector<NodeId> ran;
};

EngineRun engine_run(const Dag& dag, bool parallel, const Context& initial) {
    std::vector<std::string> names(dag.variables().size());
    dag.variables().for_each(
        dag.nodes(), [&](VariableId variable, std::string_view name) { names[variable] = name; });
    auto as_map = [&](const Outputs& outputs) {
        std::map<std::string, std::int64_t> values;
        for (const VariableValue& value : outputs.values) {
            values[names[value.variable]] = value.value->as_int();
        }
        return values;
    };
    RunOptions options = run_options(parallel, 1);
    options.initial = &initial;
    options.trace = true;
    RunResult result = run(dag, options);
    EngineRun seen;
    for (const NodeTrace& node : result.trace.nodes()) {
        seen.ran.push_back(node.node->id);
    }
    for (const Outputs& outputs : result.trace.node_outputs(dag)) {
        seen.node_outputs[outputs.key] = as_map(outputs);
    }
    for (const Outputs& outputs : result.trace.branch_outputs(dag)) {
        seen.branch_outputs[outputs.key] = as_map(outputs);
    }
    seen.context = as_ints(result.take_context(dag, &initial));
    return seen;
}

} // namespace

TEST(Differential, RunsGiveTheReferenceResultOnGeneratedGraphs) {
    for (unsigned seed = 0; seed < 400; ++seed) {
        const Dag dag = generated_dag(seed);
        for (const Context& initial : {Context(), generated_initial(seed)}) {
            for (const bool parallel : {false, true}) {
                const ReferenceRun expected = reference_run(dag, parallel, initial);
                const EngineRun seen = engine_run(dag, parallel, initial);
                const std::string where = std::string(parallel ? "parallel" : "sequential") +
                                          ", seed " + std::to_string(seed) +
                                          (initial.empty() ? "" : ", seeded");
                EXPECT_EQ(seen.context, as_ints(expected.context)) << where;
                EXPECT_EQ(seen.ran, expected.ran) << where;
                OutputsByNode node_outputs;
                for (const auto& [id, outputs] : expected.node_outputs) {
                    node_outputs[id] = as_ints(outputs);
                }
                EXPECT_EQ(seen.node_outputs, node_outputs) << where;
                std::map<BranchId, std::map<std::string, std::int64_t>> branch_outputs;
                for (const auto& [id, outputs] : expected.branch_outputs) {
                    branch_outputs[id] = as_ints(outputs);
                }
                EXPECT_EQ(seen.branch_outputs, branch_outputs) << where;
                // The unrecorded run leaves the same context.
                RunOptions options = run_options(parallel, 1);
                options.initial = &initial;
                EXPECT_EQ(as_ints(run(dag, options).take_context(dag, &initial)),
                          as_ints(expected.context))
                    << where;
            }
        }
    }
}

// Repeated identifiers make levels that are not runs of the execution order.
TEST(Differential, OrderAndLevelsFollowKahnsAlgorithmOnGeneratedGraphs) {
    int out_of_order = 0;
    for (unsigned seed = 0; seed < 400; ++seed) {
        const Dag dag = generated_dag(seed);
        const Schedule expected = reference_schedule(dag.nodes());
        EXPECT_EQ(dag.execution_order(), expected.order) << "seed " << seed;
        EXPECT_EQ(dag.level_ids(), expected.levels) << "seed " << seed;
        std::vector<NodeId> concatenated;
        for (const std::vector<NodeId>& level : expected.levels) {
            concatenated.insert(concatenated.end(), level.begin(), level.end());
        }
        out_of_order += concatenated != expected.order ? 1 : 0;
    }
    EXPECT_GT(out_of_order, 0); // the generated graphs include such cases
}

TEST(Differential, DataFlowNamesTheWritersWhoseValuesNodesReceive) {
    // Every node publishes x, y and z, values made from its tag, and keeps the inputs it got.
    std::map<std::int64_t, std::map<std::string, std::int64_t>> received;
    auto publishing = [&received](std::int64_t tag) {
        return make_node_function([&received, tag](const Context& inputs, const Context&) {
            received[tag] = as_ints(inputs);
            return ints({{"x", tag * 10 + 1}, {"y", tag * 10 + 2}, {"z", tag * 10 + 3}});
        });
    };
    const std::map<std::string, std::int64_t> values_of{{"x", 1}, {"y", 2}, {"z", 3}};
    for (unsigned seed = 0; seed < 400; ++seed) {
        const Dag dag = generated_dag(seed, publishing);
        const Context initial = generated_initial(seed);
        for (const bool parallel : {false, true}) {
            received.clear();
            RunOptions options = run_options(parallel, 1);
            options.initial = &initial;
            run(dag, options);
            const DataFlow flow(dag, parallel);
            for (const NodePosition position : flow.order()) {
                const Node& node = dag.nodes()[position];
                if (node.function == noop_node_function()) {
                    continue;
                }
                // What the node should have got: per input entry, the value the writer that the
                // data flow names published last under that name, or the initial one. A no-op
                // writer publishes nothing: the value is then its previous writer's.
                std::map<std::string, std::int64_t> expected;
                std::size_t index = 0;
                for (const auto [context_name, impl_name] : node.input_mapping) {
                    NodePosition writer = flow.reads(position, node)[index++];
                    while (writer != DataFlow::kNone &&
                           dag.nodes()[writer].function == noop_node_function()) {
                        const Node& silent = dag.nodes()[writer];
                        std::size_t entry = 0;
                        for (const auto [result, published] : silent.output_mapping) {
                            if (published == context_name) {
                                break;
                            }
                            ++entry;
                        }
                        writer = flow.writes(writer, silent)[entry];
                    }
                    if (writer == DataFlow::kNone) {
                        if (const GraphData* value = initial.find(context_name)) {
                            expected[std::string(impl_name)] = value->as_int();
                        }
                        continue;
                    }
                    for (const auto [result, published] : dag.nodes()[writer].output_mapping) {
                        if (published == context_name) {
                            expected[std::string(impl_name)] =
                                (writer + 1) * 10 + values_of.at(std::string(result));
                        }
                    }
                }
                EXPECT_EQ(received[position + 1], expected)
                    << (parallel ? "parallel" : "sequential") << ", seed " << seed << ", position "
                    << position;
            }
        }
    }
}
