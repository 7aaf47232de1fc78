#include "support.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace vantorix;
using namespace vantorix::test;

namespace {

// Records what the function was called with and answers with fixed implementation variables.
struct Probe {
    int calls = 0;
    Context inputs;
    bool params_empty = false;

    NodeFunctionPtr function(Context outputs) {
        return make_node_function([this, outputs](const Context& in, const Context& params) {
            ++calls;
            inputs = in;
            params_empty = params.empty();
            return outputs;
        });
    }
};

} // namespace

TEST(Node, ReadsMappedInputsAndPublishesOnlyMappedOutputsUnderBroadcastNames) {
    Probe probe;
    const Node node = make_node(0, {}, probe.function(ints({{"r", 3}, {"s", 4}, {"private", 9}})),
                                {{"a", "x"}, {"b", "y"}, {"absent", "z"}},
                                {{"r", "result"}, {"s", "second"}, {"never", "nothing"}});
    const Context context = ints({{"a", 1}, {"b", 2}, {"c", 3}});

    const Context result = node.execute(context);

    EXPECT_EQ(probe.calls, 1);
    EXPECT_EQ(as_ints(probe.inputs), (std::map<std::string, std::int64_t>{{"x", 1}, {"y", 2}}));
    EXPECT_TRUE(probe.params_empty);
    EXPECT_EQ(as_ints(result),
              (std::map<std::string, std::int64_t>{{"result", 3}, {"second", 4}}));
    EXPECT_EQ(as_ints(context),
              (std::map<std::string, std::int64_t>{{"a", 1}, {"b", 2}, {"c", 3}}));
}

TEST(Node, FunctionRunsOnceWhenNoInputIsAvailable) {
    Probe probe;
    const Node node = make_node(0, {}, probe.function(Context()), {{"a", "x"}}, {{"r", "out"}});

    EXPECT_TRUE(node.execute(Context()).empty());
    EXPECT_TRUE(node.execute(ints({{"other", 1}})).empty());
    EXPECT_EQ(probe.calls, 2);
    EXPECT_TRUE(probe.inputs.empty());
}

TEST(Node, OutputsWithoutMappingArePrivate) {
    Probe probe;
    const Node node = make_node(0, {}, probe.function(ints({{"out", 1}})));
    EXPECT_TRUE(node.execute(ints({{"out", 5}})).empty());
    EXPECT_EQ(probe.calls, 1);
}

// Mappings of up to eight pairs and longer ones take different paths to drop repeated keys.
class MappingOfLength : public ::testing::TestWithParam<int> {};

INSTANTIATE_TEST_SUITE_P(ShortAndLong, MappingOfLength, ::testing::Values(2, 8, 9, 30));

TEST_P(MappingOfLength, LaterPairsReplaceEarlierOnesWithTheSameKey) {
    const int n = GetParam();
    Pairs pairs;
    for (int i = 0; i < n; ++i) {
        pairs.emplace_back(key("k", i % (n / 2)), key("v", i));
    }
    const VariableMapping mapping = VariableMapping::from_pairs(pairs);

    std::map<std::string, std::string> seen;
    for (const auto& [key, value] : mapping) {
        EXPECT_TRUE(seen.emplace(key, value).second) << "repeated key " << key;
    }
    std::map<std::string, std::string> expected;
    for (const auto& [key, value] : pairs) {
        expected[key] = value;
    }
    EXPECT_EQ(mapping.size(), expected.size());
    EXPECT_EQ(seen, expected);
}
