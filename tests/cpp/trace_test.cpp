#include "builder/builder.hpp"
#include "dag/mermaid.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

using namespace vantorix;
using namespace vantorix::test;

namespace {

std::uint64_t this_thread() { return static_cast<std::uint64_t>(pthread_self()); }

// A node function that reports a failure carrying `code` and returns nothing.
NodeFunctionPtr failing(std::int64_t code) {
    return make_node_function([code](const Context&, const Context&) {
        report_node_failure(GraphData::from_int(code));
        return Context();
    });
}

// Publishes its input `in` plus one as `out`, or 1 without input.
NodeFunctionPtr increment() {
    return make_node_function([](const Context& in, const Context&) {
        const GraphData* value = in.find("in");
        return ints({{"out", value == nullptr ? 1 : value->as_int() + 1}});
    });
}

struct Stop : ExecutionInterrupt {};

// Collects the records a run hands over, with the thread each was handed over on.
struct Traces {
    std::vector<NodeTrace> traces;
    std::vector<std::uint64_t> handed_over_on;

    RunOptions options(bool parallel, std::optional<std::size_t> max_threads) {
        RunOptions options = run_options(parallel, max_threads);
        options.trace = true;
        options.on_node = [this](const RunTrace& record, std::size_t k) {
            handed_over_on.push_back(this_thread());
            traces.push_back(record.nodes()[k]);
        };
        return options;
    }
    std::vector<NodeId> ids() const {
        std::vector<NodeId> ids;
        for (const NodeTrace& trace : traces) {
            ids.push_back(trace.node->id);
        }
        return ids;
    }
};

// A record of `nodes`, as a run would leave it.
RunTrace record_of(std::vector<NodeTrace> nodes) {
    RunTrace record;
    for (NodeTrace& node : nodes) {
        record.add_node(std::move(node));
    }
    return record;
}

// Root 0, then nodes 1..count on one level.
Dag fan(std::size_t count, NodeFunctionPtr function) {
    std::vector<Node> nodes;
    nodes.push_back(make_node(0, {}));
    for (std::size_t i = 1; i <= count; ++i) {
        nodes.push_back(make_node(i, {0}, function));
    }
    return Dag(std::move(nodes));
}

} // namespace

TEST(Trace, SequentialRunTracesEveryNodeInOrderOnTheCallingThread) {
    const Dag dag =
        dag_of(make_node(0, {}, increment(), {}, {{"out", "x"}}), make_node(1, {0}, failing(7)),
               make_node(2, {1}, increment(), {{"x", "in"}}, {{"out", "x"}}));
    Traces seen;
    RunResult result = run(dag, seen.options(false, std::nullopt));

    EXPECT_EQ(as_ints(result.take_context(dag, nullptr)),
              (std::map<std::string, std::int64_t>{{"x", 2}}));
    ASSERT_EQ(seen.ids(), (std::vector<NodeId>{0, 1, 2}));
    for (const NodeTrace& trace : seen.traces) {
        EXPECT_EQ(trace.thread, this_thread());
        EXPECT_GE(trace.seconds, 0.0);
    }
    EXPECT_EQ(seen.handed_over_on, std::vector<std::uint64_t>(3, this_thread()));
    EXPECT_FALSE(seen.traces[0].failed);
    EXPECT_EQ(seen.traces[0].error.kind(), GraphData::Kind::None);
    EXPECT_TRUE(seen.traces[1].failed);
    ASSERT_EQ(seen.traces[1].error.kind(), GraphData::Kind::Int);
    EXPECT_EQ(seen.traces[1].error.as_int(), 7);
    EXPECT_FALSE(seen.traces[2].failed);
}

TEST(Trace, WorkersAreTracedOnTheirOwnThreadAndHandedOverAfterTheirBatch) {
    std::atomic<int> finished{0};
    std::mutex mutex;
    std::vector<std::uint64_t> ran_on;
    const Dag dag = fan(4, make_node_function([&](const Context&, const Context&) {
                            {
                                std::lock_guard lock(mutex);
                                ran_on.push_back(this_thread());
                            }
                            ++finished;
                            return Context();
                        }));
    Traces seen;
    RunOptions options = seen.options(true, 2);
    std::vector<int> finished_when_handed_over;
    options.on_node = [&, inner = options.on_node](const RunTrace& record, std::size_t k) {
        finished_when_handed_over.push_back(finished.load());
        inner(record, k);
    };
    run(dag, options);

    // The root runs on the calling thread; then two batches of two workers each.
    ASSERT_EQ(seen.traces.size(), 5U);
    EXPECT_EQ(seen.traces[0].node->id, 0U);
    EXPECT_EQ(seen.traces[0].thread, this_thread());
    EXPECT_EQ(finished_when_handed_over, (std::vector<int>{0, 2, 2, 4, 4}));
    EXPECT_EQ(seen.handed_over_on, std::vector<std::uint64_t>(5, this_thread()));
    std::vector<std::uint64_t> traced_on;
    for (std::size_t i = 1; i < 5; ++i) {
        EXPECT_NE(seen.traces[i].thread, this_thread());
        traced_on.push_back(seen.traces[i].thread);
    }
    std::sort(traced_on.begin(), traced_on.end());
    std::sort(ran_on.begin(), ran_on.end());
    EXPECT_EQ(traced_on, ran_on);
}

TEST(Trace, ParallelTracesFollowTheOrderOfTheResults) {
    // Two nodes of one level write "v", both running at once: whichever finishes last wins the
    // context, and its trace comes last.
    for (int round = 0; round < 20; ++round) {
        Latch both_running(2);
        auto publish = [&](std::int64_t value) {
            return make_node_function([&both_running, value](auto&, auto&) {
                EXPECT_TRUE(both_running.arrive_and_wait());
                return ints({{"v", value}});
            });
        };
        const Dag dag = dag_of(make_node(0, {}), make_node(1, {0}, publish(1), {}, {{"v", "v"}}),
                               make_node(2, {0}, publish(2), {}, {{"v", "v"}}));
        Traces seen;
        RunResult result = run(dag, seen.options(true, std::nullopt));
        const std::vector<NodeId> ids = seen.ids();
        ASSERT_EQ(ids.size(), 3U);
        EXPECT_EQ(ids[0], 0U);
        EXPECT_EQ((std::set<NodeId>{ids[1], ids[2]}), (std::set<NodeId>{1, 2}));
        EXPECT_EQ(as_ints(result.take_context(dag, nullptr)),
                  (std::map<std::string, std::int64_t>{{"v", static_cast<std::int64_t>(ids[2])}}));
    }
}

TEST(Trace, SecondsCoverTheNodesWork) {
    const Dag dag =
        dag_of(make_node(0, {}, make_node_function([](auto&, auto&) {
                             std::this_thread::sleep_for(std::chrono::milliseconds(20));
                             return Context();
                         })));
    for (const bool parallel : {false, true}) {
        Traces seen;
        run(dag, seen.options(parallel, std::nullopt));
        ASSERT_EQ(seen.traces.size(), 1U);
        EXPECT_GE(seen.traces[0].seconds, 0.020);
    }
}

TEST(Trace, HookThatThrowsStopsTheRunBeforeAnythingElseStarts) {
    std::atomic<int> ran{0};
    auto counting = make_node_function([&](const Context&, const Context&) {
        ++ran;
        return Context();
    });
    for (const bool parallel : {false, true}) {
        ran = 0;
        // Root, a level of four in batches of two, then one more node.
        std::vector<Node> nodes;
        nodes.push_back(make_node(0, {}, counting));
        for (NodeId id = 1; id <= 4; ++id) {
            nodes.push_back(make_node(id, {0}, counting));
        }
        nodes.push_back(make_node(5, {1}, counting));
        const Dag dag(std::move(nodes));
        int handed_over = 0;
        RunOptions options = run_options(parallel, 2);
        options.trace = true;
        options.on_node = [&](const RunTrace&, std::size_t) {
            if (++handed_over == 2) {
                throw Stop();
            }
        };
        EXPECT_THROW(run(dag, options), Stop);
        // Sequential: the root and node 1. Parallel: the root and the first batch.
        EXPECT_EQ(ran.load(), parallel ? 3 : 2);
        EXPECT_EQ(handed_over, 2);
    }
}

TEST(Trace, FailuresOfANestedUnrecordedRunAreNotTakenForTheEnclosingNode) {
    const Dag inner = dag_of(make_node(0, {}, make_node_function([](auto&, auto&) {
                                           EXPECT_FALSE(node_failure_wanted());
                                           report_node_failure(GraphData::from_int(1));
                                           return Context();
                                       })));
    // Both nodes run the inner DAG; only the second fails itself afterwards.
    auto run_inner_then = [&](bool fail) {
        return make_node_function([&inner, fail](const Context&, const Context&) {
            execute(inner, false, std::nullopt);
            EXPECT_TRUE(node_failure_wanted());
            if (fail) {
                report_node_failure(GraphData::from_int(2));
            }
            return Context();
        });
    };
    const Dag outer =
        dag_of(make_node(0, {}, run_inner_then(false)), make_node(1, {0}, run_inner_then(true)));
    Traces seen;
    run(outer, seen.options(false, std::nullopt));
    ASSERT_EQ(seen.traces.size(), 2U);
    EXPECT_FALSE(seen.traces[0].failed);
    EXPECT_TRUE(seen.traces[1].failed);
    EXPECT_EQ(seen.traces[1].error.as_int(), 2);
}

TEST(Trace, FailureReportsOutsideARecordedRunAreIgnored) {
    EXPECT_FALSE(node_failure_wanted());
    report_node_failure(GraphData::from_int(1)); // nothing to record it in
    const Dag dag = dag_of(make_node(0, {}, make_node_function([](auto&, auto&) {
                                         EXPECT_FALSE(node_failure_wanted());
                                         return Context();
                                     })));
    for (const bool parallel : {false, true}) {
        execute(dag, parallel, std::nullopt);
    }
}

TEST(Trace, InitialContextIsSeenByTheFirstNodeAndOverwrittenByOutputs) {
    const Dag dag = dag_of(make_node(0, {}, increment(), {{"seed", "in"}}, {{"out", "seed"}}),
                           make_node(1, {0}, noop_node_function()));
    const Context initial = ints({{"seed", 41}, {"kept", 1}});
    for (const bool parallel : {false, true}) {
        RunOptions options = run_options(parallel, std::nullopt);
        options.initial = &initial;
        options.trace = true;
        RunResult result = run(dag, options);
        const std::span<const PublishedValue> first = result.trace.published(0);
        ASSERT_EQ(first.size(), 1U);
        EXPECT_EQ(first[0].value.as_int(), 42);
        EXPECT_EQ(as_ints(result.take_context(dag, &initial)),
                  (std::map<std::string, std::int64_t>{{"seed", 42}, {"kept", 1}}));
    }
}

TEST(Trace, ErrorsHeldByTracesAreReleased) {
    CountingHandles handles;
    CountingHandles::Object error{0};
    const Dag dag = fan(3, make_node_function([&](const Context&, const Context&) {
                            report_node_failure(CountingHandles::reference(error));
                            return Context();
                        }));
    for (const bool parallel : {false, true}) {
        Traces seen;
        run(dag, seen.options(parallel, std::nullopt));
        EXPECT_EQ(error.load(), 3);
    }
    EXPECT_EQ(error.load(), 0);
}

TEST(RunMermaid, BoxesTellHowEachNodeEndedAndTheRestIsTheDagsDiagram) {
    // "load" publishing `raw`, "report" after it and a branch entry reading `raw` as `d`.
    Node entry = make_node(2, {0}, noop_node_function(), {{"raw", "d"}});
    entry.branch_id = 1;
    entry.is_branch_entry = true;
    const Dag dag =
        dag_of(make_node(0, {}, noop_node_function(), {}, {{"data", "raw"}}, "load"),
               make_node(1, {0}, noop_node_function(), {}, {}, "report"), std::move(entry));
    std::vector<NodeTrace> traces(2);
    traces[0].node = dag.find_node(0);
    traces[0].seconds = 0.0123;
    traces[1].node = dag.find_node(2);
    traces[1].seconds = 2.5;
    traces[1].failed = true;
    const RunTrace record = record_of(std::move(traces));

    EXPECT_EQ(run_to_mermaid(dag, record, true),
              "graph TD\n"
              "    0[\"load<br/>12.3 ms\"]\n"
              "    1[\"report<br/>not run\"]\n"
              "    2[\"Node 2<br/>failed after 2.50 s\"]\n"
              "    0 --> 1\n"
              "    0 -->|raw \u2192 d| 2\n"
              "    style 2 fill:#e1f5ff\n"
              "    classDef ok fill:#e8f5e9,stroke:#2e7d32,color:#1b5e20\n"
              "    class 0 ok\n"
              "    classDef failed fill:#ffebee,stroke:#c62828,"
              "stroke-width:2px,color:#b71c1c\n"
              "    class 2 failed\n"
              "    classDef not_run fill:#f5f5f5,stroke:#9e9e9e,"
              "stroke-dasharray:4 4,color:#616161\n"
              "    class 1 not_run\n");
    // Without durations, boxes of nodes that ran well are the DAG's own.
    const std::string plain = run_to_mermaid(dag, record, false);
    EXPECT_EQ(plain.substr(0, plain.find("    0 -->")), "graph TD\n"
                                                        "    0[\"load\"]\n"
                                                        "    1[\"report<br/>not run\"]\n"
                                                        "    2[\"Node 2<br/>failed\"]\n");
}

TEST(RunMermaid, DurationsPickTheirUnit) {
    const Dag dag = dag_of(make_node(0, {}), make_node(1, {}), make_node(2, {}), make_node(3, {}),
                           make_node(4, {}));
    const double seconds[] = {0.0000004, 0.0000126, 0.0009996, 0.99996, 61.0};
    std::vector<NodeTrace> traces(5);
    for (std::size_t i = 0; i < 5; ++i) {
        traces[i].node = &dag.nodes()[i];
        traces[i].seconds = seconds[i];
    }
    const std::string text = run_to_mermaid(dag, record_of(std::move(traces)), true);
    EXPECT_EQ(text.substr(0, text.find("    classDef")), "graph TD\n"
                                                         "    0[\"Node 0<br/><1 \u00b5s\"]\n"
                                                         "    1[\"Node 1<br/>13 \u00b5s\"]\n"
                                                         "    2[\"Node 2<br/>1.0 ms\"]\n"
                                                         "    3[\"Node 3<br/>1.00 s\"]\n"
                                                         "    4[\"Node 4<br/>61.00 s\"]\n");
    EXPECT_NE(text.find("    class 0,1,2,3,4 ok\n"), std::string::npos);
}

TEST(RunMermaid, LabelsAndNamesAreEscapedSoTheRendererShowsThemAsTheyAre) {
    const Dag dag = dag_of(
        make_node(0, {}, noop_node_function(), {}, {{"o", "a|b"}, {"p", "[x](y){z}"}},
                  "say \"hi\" #1 <b>&</b> `code`"),
        make_node(1, {0}, noop_node_function(), {{"a|b", "in\"put"}, {"[x](y){z}", "q"}}, {}, ""),
        make_node(2, {1}, noop_node_function(), {}, {}, "two\nlines\r"));
    std::vector<NodeTrace> traces(3);
    for (std::size_t i = 0; i < 3; ++i) {
        traces[i].node = &dag.nodes()[i];
    }
    const std::string text = run_to_mermaid(dag, record_of(std::move(traces)), false);
    EXPECT_EQ(text.substr(0, text.find("    0 -->")),
              "graph TD\n"
              "    0[\"say #quot;hi#quot; #35;1 #lt;b#gt;#amp;#lt;/b#gt; #96;code#96;\"]\n"
              "    1[\" \"]\n" // the renderer rejects an empty box
              "    2[\"two<br/>lines#13;\"]\n");
    // One arrow; the order of its annotations follows the input mapping, which is unspecified.
    const std::string arrow = text.substr(text.find("    0 -->|"));
    const std::string arrow_line = arrow.substr(0, arrow.find('\n') + 1);
    EXPECT_TRUE(arrow_line.ends_with("| 1\n")) << arrow_line;
    EXPECT_EQ(arrow.substr(arrow_line.size(), 12), "    1 --> 2\n");
    EXPECT_NE(arrow.find("a#124;b \u2192 in#quot;put"), std::string::npos);
    EXPECT_NE(arrow.find("#91;x#93;#40;y#41;#123;z#125; \u2192 q"), std::string::npos);
}

TEST(RunMermaid, UnscheduledNodesDidNotRun) {
    const Dag dag = dag_of(make_node(0, {}), make_node(1, {99}), make_node(2, {1}));
    Traces seen;
    const RunResult result = run(dag, seen.options(false, std::nullopt));
    ASSERT_EQ(seen.ids(), std::vector<NodeId>{0});
    const std::string text = run_to_mermaid(dag, result.trace, false);
    EXPECT_NE(text.find("    1[\"Node 1<br/>not run\"]\n    2[\"Node 2<br/>not run\"]\n"),
              std::string::npos);
    EXPECT_NE(text.find("    class 1,2 not_run\n"), std::string::npos);
}

TEST(Trace, RecordedWideLevelKeepsEachNodesOwnOutputs) {
    // Eight workers at once, each publishing its own name: whatever order they finish in, the
    // k-th record holds what the k-th node published.
    std::vector<Node> nodes;
    nodes.push_back(make_node(0, {}, constant(5), {}, {{"out", "seed"}}));
    for (NodeId id = 1; id <= 8; ++id) {
        nodes.push_back(make_node(id, {0}, increment(), {{"seed", "in"}},
                                  {{"out", key("v", static_cast<long long>(id))}}));
    }
    const Dag dag(std::move(nodes));
    std::vector<std::string> names(dag.variables().size());
    dag.variables().for_each(
        dag.nodes(), [&](VariableId variable, std::string_view name) { names[variable] = name; });
    for (int round = 0; round < 20; ++round) {
        RunOptions options = run_options(true, std::nullopt);
        options.trace = true;
        RunResult result = run(dag, options);
        const RunTrace& record = result.trace;
        ASSERT_EQ(record.nodes().size(), 9u);
        EXPECT_EQ(as_ints(result.take_context(dag, nullptr)).size(), 9u);
        for (std::size_t k = 1; k < record.nodes().size(); ++k) {
            const auto published = record.published(k);
            ASSERT_EQ(published.size(), 1u);
            EXPECT_EQ(names[published[0].variable],
                      key("v", static_cast<long long>(record.nodes()[k].node->id)));
            EXPECT_EQ(published[0].value.as_int(), 6);
        }
    }
}
