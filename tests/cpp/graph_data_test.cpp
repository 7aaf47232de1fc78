#include "builder/builder.hpp"

#include <gtest/gtest.h>

using namespace vantorix;

TEST(Smoke, WorkedExampleBuilds) {
    Graph main;
    main.add(noop_node_function(), "A").add(noop_node_function(), "B");
    Graph sub;
    sub.add(noop_node_function(), "X").add(noop_node_function(), "Y");
    EXPECT_EQ(main.branch(std::move(sub)), 1u);
    main.add(noop_node_function(), "C");
    Dag dag = std::move(main).build();
    EXPECT_EQ(dag.execution_order(), (std::vector<NodeId>{0, 1, 2, 3, 4}));
    EXPECT_EQ(dag.levels().to_lists(), (std::vector<std::vector<NodeId>>{{0}, {1}, {2, 3}, {4}}));
}
