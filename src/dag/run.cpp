#include "dag/run.hpp"

#include "dag/data_flow.hpp"

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <utility>

namespace vantorix {

namespace {

using Values = std::vector<std::optional<GraphData>>;

// Lets `cache` stand in for the node's function: a hit leaves its results in `outputs`, a miss
// calls the function and offers the cache its results unless the function reported a failure
// into `trace`, the node's armed trace.
void call_through_cache(const Node& node, std::span<const InputRef> inputs,
                        PublishedOutputs& outputs, ResultCache& cache, NodeTrace& trace) {
    CacheLookup found = cache.lookup(node, inputs, outputs);
    trace.cache_note = std::move(found.note);
    if (found.hit) {
        trace.cached = true;
        return;
    }
    node.function->call(inputs, node.variant_params, outputs);
    if (!trace.failed && found.key.kind() != GraphData::Kind::None) {
        GraphData note = cache.store(node, found.key, outputs);
        if (note.kind() != GraphData::Kind::None) {
            trace.cache_note = std::move(note);
        }
    }
}

// Runs the node at `position` against `values`, which it only reads, and hands
// `publish(variable, value)` each output it publishes. A name that no scheduled node publishes
// comes from `initial`, when there is one. With a cache, `trace` is the node's armed trace.
template <class Publish>
void run_node(const Dag& dag, NodePosition position, const Values& values, const Context* initial,
              ResultCache* cache, NodeTrace* trace, Publish&& publish) {
    const Node& node = dag.nodes()[position];
    const std::span<const VariableId> inputs = dag.variables().inputs(position, node);
    const std::span<const VariableId> outputs = dag.variables().outputs(position, node);
    auto find = [&](std::size_t index, VariableMapping::const_iterator entry) -> const GraphData* {
        const VariableId variable = inputs[index];
        if (variable != Variables::kUnpublished) {
            return values[variable] ? &*values[variable] : nullptr;
        }
        return initial != nullptr ? initial->find((*entry).first, entry.key_hash()) : nullptr;
    };
    auto emit = [&](std::size_t index, VariableMapping::const_iterator, GraphData&& value) {
        publish(outputs[index], std::move(value));
    };
    if (cache == nullptr || is_noop_node_function(*node.function)) {
        node.run(find, emit);
        return;
    }
    node.run(find, emit, [&](std::span<const InputRef> gathered, PublishedOutputs& results) {
        call_through_cache(node, gathered, results, *cache, *trace);
    });
}

// Runs `step`, the node of `trace`, traced, timed from `run_start`. With OnFailure::Stop and a
// failure, returns a copy of the trace, to throw once the trace has its place in the run's.
template <class Step>
std::optional<NodeTrace> run_traced_node(NodeTrace& trace, const RunOptions& options,
                                         detail::RunClock::time_point run_start, Step&& step) {
    detail::run_traced(trace, options.quiet_failures, run_start, std::forward<Step>(step));
    if (trace.failed && options.on_failure == OnFailure::Stop) {
        return trace;
    }
    return std::nullopt;
}

// The nodes of one wide level, run by workers against the values as they stood when the level
// began (nothing writes them until every batch of the level has finished). Each worker takes the
// next place for its result with one atomic step, so results stand in the order the workers
// finished.
class WideLevel final : public BatchWork {
public:
    struct Result {
        std::vector<PublishedValue> published;
        NodeTrace trace;
    };

    WideLevel(const Dag& dag, std::span<const NodePosition> level, const Values& values,
              const Context* initial, const RunOptions& options,
              detail::RunClock::time_point run_start)
        : dag_(dag), level_(level), values_(values), initial_(initial), options_(options),
          run_start_(run_start), results_(level.size()) {}

    void run(std::size_t index) override {
        const NodePosition position = level_[index];
        Result result;
        auto step = [&] {
            run_node(dag_, position, values_, initial_, options_.trace ? options_.cache : nullptr,
                     &result.trace, [&](VariableId variable, GraphData&& value) {
                         result.published.push_back({variable, std::move(value)});
                     });
        };
        if (!options_.trace) {
            step();
            results_[next_.fetch_add(1, std::memory_order_relaxed)] = std::move(result);
            return;
        }
        result.trace.node = &dag_.nodes()[position];
        std::optional<NodeTrace> failed =
            run_traced_node(result.trace, options_, run_start_, step);
        results_[next_.fetch_add(1, std::memory_order_relaxed)] = std::move(result);
        if (failed) {
            throw NodeFailed(std::move(*failed));
        }
    }

    // The results appended so far, read by the calling thread between batches only.
    std::span<Result> results() noexcept {
        return {results_.data(), next_.load(std::memory_order_relaxed)};
    }

private:
    const Dag& dag_;
    std::span<const NodePosition> level_;
    const Values& values_;
    const Context* initial_;
    const RunOptions& options_;
    detail::RunClock::time_point run_start_;
    std::vector<Result> results_;
    std::atomic<std::size_t> next_{0};
};

class Run {
public:
    Run(const Dag& dag, const RunOptions& options, RunResult& result)
        : dag_(dag), options_(options), values_(result.values), trace_(result.trace),
          initial_(options.initial != nullptr && !options.initial->empty() ? options.initial
                                                                           : nullptr) {
        values_.resize(dag.variables().size());
        if (initial_ != nullptr) {
            dag.variables().for_each(dag.nodes(), [&](VariableId variable, std::string_view name) {
                if (const GraphData* value = initial_->find(name)) {
                    values_[variable] = *value;
                }
            });
        }
        if (options.trace) {
            trace_.reserve(dag.order().size());
        }
        if (options.trace && options.on_failure == OnFailure::Skip) {
            flow_.emplace(dag, options.parallel);
            left_out_.assign(dag.nodes().size(), false);
        }
    }

    void go() {
        start_ = detail::RunClock::now();
        if (!options_.parallel) {
            for (const NodePosition position : dag_.order()) {
                on_calling_thread(position);
            }
            return;
        }
        const Levels& levels = dag_.levels();
        for (std::size_t level = 0; level < levels.size(); ++level) {
            if (levels[level].size() == 1) {
                on_calling_thread(levels[level].front());
            } else {
                on_workers(levels[level]);
            }
        }
    }

private:
    void store(VariableId variable, GraphData&& value) { values_[variable] = std::move(value); }

    // Adds a node to the trace once what it published is there, and tells the host.
    void add_trace(NodeTrace&& node) {
        if (flow_) {
            left_out_[static_cast<std::size_t>(node.node - dag_.nodes().data())] =
                node.failed || node.skipped;
        }
        trace_.add_node(std::move(node));
        if (options_.on_node) {
            options_.on_node(trace_, trace_.nodes().size() - 1);
        }
    }

    // With OnFailure::Skip: whether the node reads from a node that failed or was left out, and
    // is then left out itself, with a trace that says so.
    bool left_out(NodePosition position) {
        if (!flow_) {
            return false;
        }
        const Node& node = dag_.nodes()[position];
        for (const NodePosition writer : flow_->reads(position, node)) {
            if (writer != DataFlow::kNone && left_out_[writer]) {
                NodeTrace skipped;
                skipped.node = &node;
                skipped.skipped = true;
                add_trace(std::move(skipped));
                return true;
            }
        }
        return false;
    }

    void on_calling_thread(NodePosition position) {
        if (left_out(position)) {
            return;
        }
        NodeTrace node;
        auto step = [&] {
            run_node(dag_, position, values_, initial_, options_.trace ? options_.cache : nullptr,
                     &node, [&](VariableId variable, GraphData&& value) {
                         if (options_.trace) {
                             trace_.add_published(variable, value);
                         }
                         store(variable, std::move(value));
                     });
        };
        if (!options_.trace) {
            step();
            return;
        }
        node.node = &dag_.nodes()[position];
        std::optional<NodeTrace> failed = run_traced_node(node, options_, start_, step);
        add_trace(std::move(node));
        if (failed) {
            throw NodeFailed(std::move(*failed));
        }
    }

    void on_workers(std::span<const NodePosition> whole_level) {
        std::vector<NodePosition> running;
        std::span<const NodePosition> level = whole_level;
        if (flow_) {
            for (const NodePosition position : whole_level) {
                if (!left_out(position)) {
                    running.push_back(position);
                }
            }
            level = running;
        }
        WideLevel work(dag_, level, values_, initial_, options_, start_);
        const std::size_t batch_size =
            options_.max_threads ? std::max<std::size_t>(*options_.max_threads, 1) : level.size();
        std::size_t taken = 0;
        run_in_batches(work, level.size(), batch_size, detail::current_run_depth(),
                       options_.workers, [&] {
                           if (!options_.trace) {
                               return;
                           }
                           const std::span<WideLevel::Result> results = work.results();
                           for (; taken < results.size(); ++taken) {
                               for (const PublishedValue& published : results[taken].published) {
                                   trace_.add_published(published.variable, published.value);
                               }
                               add_trace(std::move(results[taken].trace));
                           }
                       });
        for (WideLevel::Result& result : work.results()) {
            for (PublishedValue& published : result.published) {
                store(published.variable, std::move(published.value));
            }
        }
    }

    const Dag& dag_;
    const RunOptions& options_;
    Values& values_;
    RunTrace& trace_;
    const Context* initial_;
    // Where every traced node's `started` counts from.
    detail::RunClock::time_point start_;
    // With OnFailure::Skip: the data flow, and per node position whether it failed or was left
    // out.
    std::optional<DataFlow> flow_;
    std::vector<bool> left_out_;
};

} // namespace

RunResult run(const Dag& dag, const RunOptions& options) {
    const detail::RunScope scope;
    RunResult result;
    Run(dag, options, result).go();
    return result;
}

Context RunResult::take_context(const Dag& dag, const Context* initial) {
    Context context = initial != nullptr ? *initial : Context();
    dag.variables().for_each(dag.nodes(), [&](VariableId variable, std::string_view name) {
        if (values[variable]) {
            context.insert(std::string(name), std::move(*values[variable]));
        }
    });
    values.clear();
    return context;
}

} // namespace vantorix
