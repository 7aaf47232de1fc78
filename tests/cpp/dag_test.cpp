#include "support.hpp"

#include <gtest/gtest.h>

using namespace vantorix;
using namespace vantorix::test;

namespace {

using Lists = std::vector<std::vector<NodeId>>;
using Ids = std::vector<NodeId>;

} // namespace

TEST(Dag, EmptyNodeListHasNoOrderAndNoLevels) {
    const Dag dag{std::vector<Node>()};
    EXPECT_TRUE(dag.execution_order().empty());
    EXPECT_TRUE(dag.levels().empty());
    EXPECT_EQ(dag.find_node(0), nullptr);
}

TEST(Dag, OrdersBreadthFirstReleasingDependentsInListOrder) {
    // Depth first would give 0, 1, 3, 2, 4.
    const Dag dag = dag_of(make_node(0, {}), make_node(1, {0}), make_node(3, {1}),
                           make_node(2, {0}), make_node(4, {2}));
    EXPECT_EQ(dag.execution_order(), (Ids{0, 1, 2, 3, 4}));
    EXPECT_EQ(dag.level_ids(), (Lists{{0}, {1, 2}, {3, 4}}));
}

TEST(Dag, RootsAndDependentsFollowTheNodeListNotTheIdentifiers) {
    const Dag dag = dag_of(make_node(5, {}), make_node(3, {}), make_node(9, {5}),
                           make_node(7, {5}), make_node(1, {3}));
    EXPECT_EQ(dag.execution_order(), (Ids{5, 3, 9, 7, 1}));
    EXPECT_EQ(dag.level_ids(), (Lists{{5, 3}, {9, 7, 1}}));
}

TEST(Dag, LevelIsOneMoreThanTheDeepestDependency) {
    const Dag dag = dag_of(make_node(0, {}), make_node(1, {0}), make_node(2, {1}),
                           make_node(3, {0, 2}), make_node(4, {0}), make_node(5, {2, 0}));
    EXPECT_EQ(dag.execution_order(), (Ids{0, 1, 4, 2, 3, 5}));
    EXPECT_EQ(dag.level_ids(), (Lists{{0}, {1, 4}, {2}, {3, 5}}));
}

TEST(Dag, CyclesAndEverythingBehindThemAreLeftUnscheduled) {
    const Dag dag = dag_of(make_node(0, {}), make_node(1, {2}), make_node(2, {1}),
                           make_node(3, {2}), make_node(4, {0}));
    EXPECT_EQ(dag.execution_order(), (Ids{0, 4}));
    EXPECT_EQ(dag.level_ids(), (Lists{{0}, {4}}));
    EXPECT_EQ(dag.nodes().size(), 5u);
    EXPECT_NE(dag.find_node(2), nullptr);
}

TEST(Dag, SelfDependencyIsNeverSatisfied) {
    const Dag dag = dag_of(make_node(0, {}), make_node(1, {1}), make_node(2, {0, 1}));
    EXPECT_EQ(dag.execution_order(), (Ids{0}));
    EXPECT_EQ(dag.level_ids(), (Lists{{0}}));
}

TEST(Dag, DependencyOnAnUnknownIdentifierIsNeverSatisfied) {
    const Dag dag =
        dag_of(make_node(0, {}), make_node(1, {0, 42}), make_node(2, {1}), make_node(3, {0}));
    EXPECT_EQ(dag.execution_order(), (Ids{0, 3}));
    EXPECT_EQ(dag.find_node(42), nullptr);
}

TEST(Dag, RepeatedDependencyEntriesAreEachReleased) {
    const Dag dag = dag_of(make_node(0, {}), make_node(1, {0, 0, 0}), make_node(2, {1, 0, 1}));
    EXPECT_EQ(dag.execution_order(), (Ids{0, 1, 2}));
    EXPECT_EQ(dag.level_ids(), (Lists{{0}, {1}, {2}}));
}

TEST(Dag, RepeatedEntryOnAMissingIdentifierStillBlocks) {
    const Dag dag = dag_of(make_node(0, {}), make_node(1, {0, 0, 7}));
    EXPECT_EQ(dag.execution_order(), (Ids{0}));
}

TEST(Dag, FarApartIdentifiersAreOrderedAndFound) {
    constexpr NodeId big = NodeId{1} << 62;
    const Dag dag = dag_of(make_node(big, {}), make_node(3, {big}), make_node(big + 1, {3, big}),
                           make_node(17, {99}));
    EXPECT_EQ(dag.execution_order(), (Ids{big, 3, big + 1}));
    EXPECT_EQ(dag.level_ids(), (Lists{{big}, {3}, {big + 1}}));
    ASSERT_NE(dag.find_node(big + 1), nullptr);
    EXPECT_EQ(dag.find_node(big + 1)->dependencies, (Ids{3, big}));
    EXPECT_EQ(dag.find_node(99), nullptr);
    EXPECT_EQ(dag.find_node(big + 2), nullptr);
}
