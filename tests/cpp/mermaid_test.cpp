#include "builder/builder.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

using namespace vantorix;
using namespace vantorix::test;

TEST(Mermaid, BranchEntryIsStyledAndItsArrowNamesTheVariableItReads) {
    Graph sub;
    sub.add(noop_node_function(), std::nullopt, {{"raw", "d"}});
    Graph main;
    main.add(noop_node_function(), "load", {}, {{"data", "raw"}});
    main.branch(std::move(sub));
    main.add(noop_node_function(), "report");
    const Dag dag = std::move(main).build();

    EXPECT_EQ(to_mermaid(dag), "graph TD\n"
                               "    0[\"load\"]\n"
                               "    1[\"report\"]\n"
                               "    2[\"Node 2\"]\n"
                               "    0 --> 1\n"
                               "    0 -->|raw \u2192 d| 2\n"
                               "    style 2 fill:#e1f5ff\n");
}

TEST(Mermaid, EmptyDagIsJustTheHeader) {
    EXPECT_EQ(to_mermaid(Dag(std::vector<Node>())), "graph TD\n");
}

TEST(Mermaid, LabelsAreWrittenAsGiven) {
    const Dag dag = dag_of(make_node(7, {}), make_node(8, {}, noop_node_function(), {}, {}, ""),
                           make_node(9, {}, noop_node_function(), {}, {}, "say \"hi\" <b>"));
    EXPECT_EQ(to_mermaid(dag), "graph TD\n"
                               "    7[\"Node 7\"]\n"
                               "    8[\"\"]\n"
                               "    9[\"say \"hi\" <b>\"]\n");
}

TEST(Mermaid, RepeatedDependencyIsDrawnOnce) {
    std::vector<NodeId> many;
    for (NodeId id = 0; id < 20; ++id) {
        many.push_back(0);
    }
    const Dag dag = dag_of(make_node(0, {}), make_node(1, {0, 0}), make_node(2, many));
    EXPECT_EQ(to_mermaid(dag), "graph TD\n"
                               "    0[\"Node 0\"]\n"
                               "    1[\"Node 1\"]\n"
                               "    2[\"Node 2\"]\n"
                               "    0 --> 1\n"
                               "    0 --> 2\n");
}

TEST(Mermaid, SameArrowFromTwoNodesSharingAnIdentifierIsDrawnOnce) {
    const Dag dag = dag_of(make_node(0, {}), make_node(1, {0}), make_node(1, {0}));
    EXPECT_EQ(to_mermaid(dag), "graph TD\n"
                               "    0[\"Node 0\"]\n"
                               "    1[\"Node 1\"]\n"
                               "    1[\"Node 1\"]\n"
                               "    0 --> 1\n");
}

TEST(Mermaid, UnscheduledNodesAndDanglingDependenciesAreDrawn) {
    const Dag dag =
        dag_of(make_node(0, {1}, noop_node_function(), {{"v", "p"}}), make_node(1, {0}),
               make_node(2, {5}, noop_node_function(), {{"v", "p"}}));
    EXPECT_TRUE(dag.execution_order().empty());
    EXPECT_EQ(to_mermaid(dag), "graph TD\n"
                               "    0[\"Node 0\"]\n"
                               "    1[\"Node 1\"]\n"
                               "    2[\"Node 2\"]\n"
                               "    1 --> 0\n"
                               "    0 --> 1\n"
                               "    5 --> 2\n");
}

TEST(Mermaid, ArrowListsEveryPublishedInputOnce) {
    const Dag dag =
        dag_of(make_node(0, {}, noop_node_function(), {}, {{"a", "x"}, {"b", "y"}, {"c", "x"}}),
               make_node(1, {0}, noop_node_function(), {{"x", "p"}, {"z", "r"}, {"y", "q"}}));
    const std::string mermaid = to_mermaid(dag);
    const std::string header = "graph TD\n    0[\"Node 0\"]\n    1[\"Node 1\"]\n";
    const std::string x = "x \u2192 p";
    const std::string y = "y \u2192 q";
    EXPECT_TRUE(mermaid == header + "    0 -->|" + x + "<br/>" + y + "| 1\n" ||
                mermaid == header + "    0 -->|" + y + "<br/>" + x + "| 1\n")
        << mermaid;
}
