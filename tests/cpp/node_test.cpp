#include "support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

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

    const Context result = execute_node(node, context);

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

    EXPECT_TRUE(execute_node(node, Context()).empty());
    EXPECT_TRUE(execute_node(node, ints({{"other", 1}})).empty());
    EXPECT_EQ(probe.calls, 2);
    EXPECT_TRUE(probe.inputs.empty());
}

TEST(Node, OutputsWithoutMappingArePrivate) {
    Probe probe;
    const Node node = make_node(0, {}, probe.function(ints({{"out", 1}})));
    EXPECT_TRUE(execute_node(node, ints({{"out", 5}})).empty());
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

TEST(VariableMapping, NamesOfEveryLengthKeepTheirTextAndHashes) {
    // Lengths around each step of the stored length's encoding (one byte below 128, two below
    // 16384, three below 2^21).
    Pairs pairs;
    for (const std::size_t length : {0, 1, 127, 128, 129, 16383, 16384, 70000}) {
        pairs.emplace_back(key(std::string(length, 'k'), static_cast<long long>(length)),
                           std::string(length, 'v'));
    }
    const VariableMapping mapping = VariableMapping::from_pairs(pairs);
    ASSERT_EQ(mapping.size(), pairs.size());
    std::map<std::string, std::string> seen;
    for (auto entry = mapping.begin(); entry != mapping.end(); ++entry) {
        const auto [name, value] = *entry;
        EXPECT_EQ(entry.key_hash(), Context::hash(name));
        EXPECT_EQ(entry.value_hash(), Context::hash(value));
        seen.emplace(name, value);
    }
    EXPECT_EQ(seen, (std::map<std::string, std::string>(pairs.begin(), pairs.end())));

    const VariableMapping copy = mapping;
    EXPECT_TRUE(std::equal(copy.begin(), copy.end(), mapping.begin(), mapping.end()));
}

TEST(VariableMapping, LengthsBeyondThirtyTwoBitsAreStoredWhole) {
    // A mapping whose names add up to more than 4 GiB would take that much memory to build, so
    // the stored form is checked on its own: nothing of a length is cut off at 32 bits.
    constexpr std::size_t five_gib = std::size_t{5} << 30;
    for (const std::size_t length : {five_gib, std::size_t{UINT32_MAX} + 1, SIZE_MAX}) {
        char stored[16];
        std::size_t read = 0;
        const char* end = VariableMapping::write_length(stored, length);
        EXPECT_EQ(VariableMapping::read_length(stored, read), end);
        EXPECT_EQ(read, length);
    }
    EXPECT_EQ(VariableMapping::stored_size(five_gib, five_gib),
              8 + 2 * 5 + 2 * five_gib); // hashes, two five-byte lengths, the texts
    EXPECT_EQ(VariableMapping::stored_size(1, 2), 8 + 1 + 1 + 3);
}

TEST(Dependencies, GrowShrinkAndCopyKeepTheirOrder) {
    Dependencies ids;
    std::vector<NodeId> expected;
    for (NodeId id = 10; id < 30; ++id) {
        ids.push_back(id);
        expected.push_back(id);
        ASSERT_EQ(ids, expected);
    }
    Dependencies copy = ids;
    EXPECT_EQ(copy, expected);
    copy = Dependencies{7};
    EXPECT_EQ(copy, (std::vector<NodeId>{7}));
    copy.push_back(8);
    EXPECT_EQ(copy, (std::vector<NodeId>{7, 8}));
    ids = Dependencies{1, 2, 3}; // fits the list already allocated
    EXPECT_EQ(ids, (std::vector<NodeId>{1, 2, 3}));
    Dependencies moved = std::move(ids);
    EXPECT_EQ(moved, (std::vector<NodeId>{1, 2, 3}));
    EXPECT_TRUE(ids.empty());
    moved = Dependencies{};
    EXPECT_TRUE(moved.empty());
}
