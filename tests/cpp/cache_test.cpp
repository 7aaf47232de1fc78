#include "dag/mermaid.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <map>
#include <mutex>

using namespace vantorix;
using namespace vantorix::test;

namespace {

// Keys a node by its identifier and its integer inputs; remembers where it was asked.
class MapCache final : public ResultCache {
public:
    CacheLookup lookup(const Node& node, std::span<const InputRef> inputs,
                       PublishedOutputs& outputs) override {
        std::string key = std::to_string(node.id);
        for (const InputRef& input : inputs) {
            key += ' ';
            key += input.name;
            key += '=';
            key += std::to_string(input.value->as_int());
        }
        std::lock_guard lock(mutex_);
        asked_on[node.id] = static_cast<std::uint64_t>(pthread_self());
        const auto found = entries.find(key);
        if (found == entries.end()) {
            return {false, GraphData::from_string(key), GraphData::from_int(-1)};
        }
        for (std::size_t i = 0; i < outputs.size(); ++i) {
            if (const GraphData* value = found->second.find(outputs.name(i))) {
                outputs.set(i, *value);
            }
        }
        return {true, GraphData(), GraphData()};
    }

    GraphData store(const Node& node, const GraphData& key,
                    const PublishedOutputs& outputs) override {
        Context results;
        for (std::size_t i = 0; i < outputs.size(); ++i) {
            if (outputs.value(i)) {
                results.insert(std::string(outputs.name(i)), *outputs.value(i));
            }
        }
        std::lock_guard lock(mutex_);
        entries[key.as_string()] = std::move(results);
        return GraphData::from_int(static_cast<std::int64_t>(node.id));
    }

    std::map<std::string, Context> entries;
    std::map<NodeId, std::uint64_t> asked_on;

private:
    std::mutex mutex_;
};

// Root publishes x = 1; nodes 1 and 2 (one level) publish x + 10 and x + 20; node 3 fails; a no-op
// node 4 ends it. Every call of a function is counted.
struct Pipeline {
    std::atomic<int> calls{0};
    Dag dag;

    Pipeline() : dag(build()) {}

    NodeFunctionPtr add(std::int64_t amount) {
        return make_node_function([this, amount](const Context& in, const Context&) {
            ++calls;
            const GraphData* x = in.find("x");
            return ints({{"y", (x != nullptr ? x->as_int() : 0) + amount}});
        });
    }

    Dag build() {
        auto fails = make_node_function([this](const Context&, const Context&) {
            ++calls;
            report_node_failure(GraphData::from_int(3));
            return Context();
        });
        return dag_of(make_node(0, {}, add(1), {}, {{"y", "x"}}),
                      make_node(1, {0}, add(10), {{"x", "x"}}, {{"y", "a"}}),
                      make_node(2, {0}, add(20), {{"x", "x"}}, {{"y", "b"}}),
                      make_node(3, {1}, fails, {}, {{"y", "c"}}), make_node(4, {3}));
    }

    RunResult run_with(ResultCache& cache, bool parallel) {
        RunOptions options = run_options(parallel, std::nullopt);
        options.trace = true;
        options.cache = &cache;
        return run(dag, options);
    }
};

std::map<NodeId, const NodeTrace*> by_id(const RunResult& result) {
    std::map<NodeId, const NodeTrace*> traces;
    for (const NodeTrace& trace : result.trace.nodes()) {
        traces[trace.node->id] = &trace;
    }
    return traces;
}

} // namespace

class CacheRun : public testing::TestWithParam<bool> {};

TEST_P(CacheRun, HitsPublishWhatTheMissesStoredWithoutCallingTheFunctions) {
    Pipeline pipeline;
    MapCache cache;
    RunResult first = pipeline.run_with(cache, GetParam());
    const std::map<std::string, std::int64_t> expected{{"x", 1}, {"a", 11}, {"b", 21}};
    EXPECT_EQ(pipeline.calls, 4);
    // The failed node is not stored, the no-op node is never asked.
    EXPECT_EQ(cache.entries.size(), 3U);
    EXPECT_EQ(cache.asked_on.size(), 4U);
    for (const auto& [id, trace] : by_id(first)) {
        EXPECT_FALSE(trace->cached);
        if (id == 4) {
            EXPECT_EQ(trace->cache_note.kind(), GraphData::Kind::None);
            continue;
        }
        // Asked on the thread that ran it; the note is the store's, or the lookup's when the
        // node failed and nothing was stored.
        EXPECT_EQ(cache.asked_on.at(id), trace->thread);
        EXPECT_EQ(trace->cache_note.as_int(), id == 3 ? -1 : static_cast<std::int64_t>(id));
    }

    RunResult second = pipeline.run_with(cache, GetParam());
    EXPECT_EQ(pipeline.calls, 5); // only the failed node ran again
    const std::map<NodeId, const NodeTrace*> traces = by_id(second);
    for (const NodeId id : {0, 1, 2}) {
        EXPECT_TRUE(traces.at(id)->cached);
        EXPECT_EQ(traces.at(id)->cache_note.kind(), GraphData::Kind::None);
    }
    EXPECT_FALSE(traces.at(3)->cached || traces.at(4)->cached);
    EXPECT_TRUE(traces.at(3)->failed);
    EXPECT_EQ(as_ints(second.take_context(pipeline.dag, nullptr)), expected);
    EXPECT_EQ(as_ints(first.take_context(pipeline.dag, nullptr)), expected);

    const std::string diagram = run_to_mermaid(pipeline.dag, second.trace, false);
    EXPECT_NE(diagram.find("0[\"Node 0<br/>cached\"]"), std::string::npos);
    EXPECT_NE(diagram.find("    class 0,1,2 cached\n"), std::string::npos);
    EXPECT_NE(diagram.find("    class 4 ok\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Modes, CacheRun, testing::Bool());

TEST(CacheRun, UntracedRunsLeaveItAloneAndARunStoppedByAFailureStoresWhatSucceeded) {
    Pipeline pipeline;
    MapCache cache;
    RunOptions options = run_options(false, std::nullopt);
    options.cache = &cache; // without `trace` the cache is not used
    run(pipeline.dag, options);
    EXPECT_TRUE(cache.asked_on.empty());

    options.trace = true;
    options.on_failure = OnFailure::Stop;
    EXPECT_THROW(run(pipeline.dag, options), NodeFailed);
    EXPECT_EQ(cache.asked_on.size(), 4U);
    EXPECT_EQ(cache.entries.size(), 3U);
}
