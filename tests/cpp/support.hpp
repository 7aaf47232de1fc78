// Shared helpers of the engine tests: hand-built nodes, readable views of contexts, a latch that
// gives up instead of hanging, and handle operations that count references.
#pragma once

#include "dag/mermaid.hpp"
#include "dag/run.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vantorix::test {

using Pairs = std::vector<VariableMapping::Pair>;

inline Node make_node(NodeId id, std::vector<NodeId> dependencies,
                      NodeFunctionPtr function = noop_node_function(), Pairs inputs = {},
                      Pairs outputs = {}, std::optional<std::string> label = std::nullopt) {
    Node node(id, std::move(label), std::move(function),
              VariableMapping::from_pairs(std::move(inputs)),
              VariableMapping::from_pairs(std::move(outputs)));
    node.dependencies = std::move(dependencies);
    return node;
}

// A DAG over the given nodes, in argument order (nodes cannot be copied out of a braced list).
template <class... Nodes> Dag dag_of(Nodes&&... nodes) {
    std::vector<Node> list;
    list.reserve(sizeof...(nodes));
    (list.push_back(std::forward<Nodes>(nodes)), ...);
    return Dag(std::move(list));
}

// `prefix` followed by `number`. (Built by appending: GCC 12 at -O3 warns about a false overlap
// in `"text" + std::to_string(...)`.)
inline std::string key(std::string_view prefix, long long number) {
    std::string text(prefix);
    text += std::to_string(number);
    return text;
}

inline Context ints(std::initializer_list<std::pair<const char*, std::int64_t>> values) {
    Context context;
    for (const auto& [name, value] : values) {
        context.insert(name, GraphData::from_int(value));
    }
    return context;
}

// A context of integers as an ordered map, so that it compares with EXPECT_EQ whatever the
// iteration order. Non-integer values show up as INT64_MIN.
inline std::map<std::string, std::int64_t> as_ints(const Context& context) {
    std::map<std::string, std::int64_t> values;
    for (const auto& [name, value] : context) {
        values[name] = value.kind() == GraphData::Kind::Int ? value.as_int() : INT64_MIN;
    }
    return values;
}

// Runs `node` against `context`, which it only reads, and returns the outputs it publishes,
// keyed by broadcast variable.
inline Context execute_node(const Node& node, const Context& context) {
    Context result;
    node.run(
        [&context](std::size_t, VariableMapping::const_iterator entry) {
            return context.empty() ? nullptr : context.find((*entry).first, entry.key_hash());
        },
        [&result](std::size_t, VariableMapping::const_iterator entry, GraphData&& value) {
            result.insert(std::string((*entry).second), std::move(value), entry.value_hash());
        });
    return result;
}

// Options of a run in the given mode that waits for its workers with `wait`.
inline RunOptions run_options(bool parallel, std::optional<std::size_t> max_threads,
                              WorkerHooks workers = {}) {
    RunOptions options;
    options.parallel = parallel;
    options.max_threads = max_threads;
    options.workers = std::move(workers);
    return options;
}

// The final context of a run from an empty context.
inline Context execute(const Dag& dag, bool parallel, std::optional<std::size_t> max_threads) {
    return run(dag, run_options(parallel, max_threads)).take_context(dag, nullptr);
}

// The final context of a traced run, and for every node that ran and every branch of which a
// node ran, what it published, as the engine folds them from the trace.
struct ExecutionResult {
    Context context;
    std::unordered_map<NodeId, Context> node_outputs;
    std::unordered_map<BranchId, Context> branch_outputs;
};

inline ExecutionResult execute_detailed(const Dag& dag, bool parallel,
                                        std::optional<std::size_t> max_threads) {
    RunOptions options = run_options(parallel, max_threads);
    options.trace = true;
    RunResult result = run(dag, options);
    std::vector<std::string_view> names(dag.variables().size());
    dag.variables().for_each(
        dag.nodes(), [&](VariableId variable, std::string_view name) { names[variable] = name; });
    auto to_context = [&](const Outputs& outputs) {
        Context context;
        for (const VariableValue& value : outputs.values) {
            context.insert(std::string(names[value.variable]), *value.value);
        }
        return context;
    };
    ExecutionResult detailed;
    for (const Outputs& outputs : result.trace.node_outputs(dag)) {
        detailed.node_outputs.emplace(outputs.key, to_context(outputs));
    }
    for (const Outputs& outputs : result.trace.branch_outputs(dag)) {
        detailed.branch_outputs.emplace(outputs.key, to_context(outputs));
    }
    detailed.context = result.take_context(dag, nullptr);
    return detailed;
}

// A node function that publishes one constant integer as `out`.
inline NodeFunctionPtr constant(std::int64_t value) {
    return make_node_function([value](const Context&, const Context&) {
        return ints({{"out", value}});
    });
}

// Publishes every input it received plus its own tag, and "z" = tag: what it returns depends on
// which value reached each name, so a wrong input, a lost output or a wrong winner shows.
inline NodeFunctionPtr echo(std::int64_t tag) {
    return make_node_function([tag](const Context& inputs, const Context&) {
        Context outputs;
        for (const auto& [name, value] : inputs) {
            outputs.insert(name, GraphData::from_int(value.as_int() * 7 + tag));
        }
        outputs.insert("z", GraphData::from_int(tag));
        return outputs;
    });
}

// std::latch whose wait gives up after a generous timeout, so that a broken scheduler fails the
// test instead of hanging it.
class Latch {
public:
    explicit Latch(std::size_t count) : remaining_(count) {}

    void count_down() {
        std::lock_guard lock(mutex_);
        if (remaining_ > 0 && --remaining_ == 0) {
            opened_.notify_all();
        }
    }
    // True once the count reached zero; false on timeout.
    bool wait(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lock(mutex_);
        return opened_.wait_for(lock, timeout, [&] { return remaining_ == 0; });
    }
    bool arrive_and_wait() {
        count_down();
        return wait();
    }

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    std::size_t remaining_;
};

// Installs handle operations that keep a reference count in the object each handle points to,
// plus global totals; restores the previous operations when it goes out of scope.
class CountingHandles {
public:
    using Object = std::atomic<long>;
    static inline std::atomic<long> retains{0};
    static inline std::atomic<long> releases{0};

    CountingHandles() : previous_(object_handle_ops()) {
        retains = 0;
        releases = 0;
        set_object_handle_ops({[](void* object) {
                                   ++*static_cast<Object*>(object);
                                   ++retains;
                               },
                               [](void* object) {
                                   --*static_cast<Object*>(object);
                                   ++releases;
                               }});
    }
    ~CountingHandles() { set_object_handle_ops(previous_); }
    CountingHandles(const CountingHandles&) = delete;
    CountingHandles& operator=(const CountingHandles&) = delete;

    // A new reference to `object`, as a host would hand it over.
    static GraphData reference(Object& object) {
        ++object;
        return GraphData::from_object(ObjectHandle::adopt(&object));
    }

private:
    ObjectHandleOps previous_;
};

} // namespace vantorix::test
