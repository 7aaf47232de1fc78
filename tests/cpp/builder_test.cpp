#include "builder/builder.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace vantorix;
using namespace vantorix::test;

namespace {

using Lists = std::vector<std::vector<NodeId>>;

Graph chain(std::initializer_list<const char*> labels) {
    Graph graph;
    for (const char* label : labels) {
        graph.add(noop_node_function(), label);
    }
    return graph;
}

// The built node list in one line: "label#id(dependencies)", then "b<branch>" for branch nodes
// and "!" for branch entries.
std::string shape(const Dag& dag) {
    std::string text;
    for (const Node& node : dag.nodes()) {
        text += text.empty() ? "" : " ";
        text += node.label.value_or("?");
        text += key("#", static_cast<long long>(node.id));
        text += "(";
        for (std::size_t i = 0; i < node.dependencies.size(); ++i) {
            text += i == 0 ? "" : ",";
            text += std::to_string(node.dependencies[i]);
        }
        text += ")";
        if (node.branch_id) {
            text += key("b", static_cast<long long>(*node.branch_id));
        }
        text += node.is_branch_entry ? "!" : "";
    }
    return text;
}

} // namespace

TEST(Builder, BranchNodesFollowTheMainNodesAndStartFromTheBranchPoint) {
    Graph main = chain({"A", "B"});
    EXPECT_EQ(main.branch(chain({"X", "Y"})), 1u);
    main.add(noop_node_function(), "C");
    const Dag dag = std::move(main).build();

    EXPECT_EQ(shape(dag), "A#0() B#1(0) C#2(1) X#3(1)b1! Y#4(3)b1");
    EXPECT_EQ(dag.execution_order(), (std::vector<NodeId>{0, 1, 2, 3, 4}));
    EXPECT_EQ(dag.level_ids(), (Lists{{0}, {1}, {2, 3}, {4}}));
}

TEST(Builder, NestedBranchFollowsItsParentsNewIdentifierAndKeepsItsOwnNumber) {
    Graph sub = chain({"X"});
    EXPECT_EQ(sub.branch(chain({"P", "Q"})), 1u);
    sub.add(noop_node_function(), "Y");
    Graph main = chain({"A"});
    EXPECT_EQ(main.branch(std::move(sub)), 1u);
    main.add(noop_node_function(), "C");
    const Dag dag = std::move(main).build();

    EXPECT_EQ(shape(dag), "A#0() C#1(0) X#2(0)b1! Y#3(2)b1 P#4(2)b1! Q#5(4)b1");
    EXPECT_EQ(dag.level_ids(), (Lists{{0}, {1, 2}, {3, 4}, {5}}));
}

TEST(Builder, SiblingBranchesAreNumberedInAttachOrderWithTheirNestedNodesInBetween) {
    Graph first = chain({"F"});
    first.branch(chain({"N"}));
    Graph main = chain({"A"});
    EXPECT_EQ(main.branch(std::move(first)), 1u);
    EXPECT_EQ(main.branch(chain({"S"})), 2u);
    EXPECT_EQ(shape(std::move(main).build()), "A#0() F#1(0)b1! N#2(1)b1! S#3(0)b2!");
}

TEST(Builder, ConsecutiveBranchesShareTheBranchPointAndTheNextAddFollowsIt) {
    Graph main = chain({"A"});
    EXPECT_EQ(main.branch(chain({"X"})), 1u);
    EXPECT_EQ(main.branch(chain({"Y"})), 2u);
    main.add(noop_node_function(), "B");
    EXPECT_EQ(main.branch(chain({"Z"})), 3u);
    EXPECT_EQ(shape(std::move(main).build()), "A#0() B#1(0) X#2(0)b1! Y#3(0)b2! Z#4(1)b3!");
}

TEST(Builder, BranchOnAnEmptyGraphAttachesTheSubgraphUnchanged) {
    Graph main;
    EXPECT_EQ(main.branch(chain({"X", "Y"})), 1u);
    EXPECT_EQ(main.branch(Graph()), 2u);
    main.add(noop_node_function(), "A");
    const Dag dag = std::move(main).build();

    EXPECT_EQ(shape(dag), "A#0() X#1() Y#2(1)");
    EXPECT_EQ(dag.level_ids(), (Lists{{0, 1}, {2}}));
}

TEST(Builder, EmptySubgraphUsesUpANumberAndAddsNoNode) {
    Graph main = chain({"A"});
    EXPECT_EQ(main.branch(Graph()), 1u);
    EXPECT_EQ(main.branch(chain({"X"})), 2u);
    EXPECT_EQ(shape(std::move(main).build()), "A#0() X#1(0)b2!");
}

TEST(Builder, RepeatedMappingKeysKeepTheLastPair) {
    Graph main;
    main.add(constant(7), "n", {{"a", "x"}, {"b", "y"}, {"a", "z"}},
             {{"out", "first"}, {"out", "second"}});
    const Dag dag = std::move(main).build();
    const Node& node = dag.nodes().front();

    EXPECT_EQ(node.input_mapping.size(), 2u);
    for (const auto& [broadcast_var, impl_var] : node.input_mapping) {
        EXPECT_EQ(impl_var, broadcast_var == "a" ? "z" : "y");
    }
    EXPECT_EQ(as_ints(execute(dag, false, std::nullopt)),
              (std::map<std::string, std::int64_t>{{"second", 7}}));
}
