// Scaling benchmark of the graph engine: how building, ordering, executing and rendering grow with
// the number of nodes, for a chain and for one wide level.
//
//   engine_bench [largest node count]   (default 1000000; sizes are 1k, 10k, 100k, 1M)
//
// Every figure is printed per size, then as the ratio between consecutive sizes (10x nodes);
// linear growth gives ratios near 10.
#include "builder/builder.hpp"
#include "dag/dag.hpp"
#include "dag/mermaid.hpp"
#include "dag/run.hpp"

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

using namespace vantorix;

namespace {

enum class Shape { Chain, Wide };
enum class Work { Mapped, Noop };

constexpr std::size_t kWideMaxThreads = 64;

const char* name(Shape shape) { return shape == Shape::Chain ? "chain" : "wide"; }
const char* name(Work work) { return work == Work::Mapped ? "mapped" : "noop"; }

std::string variable(std::size_t index) {
    std::string name = "v";
    name += std::to_string(index);
    return name;
}

// Mapped nodes read one variable (`in`) and publish it again under their own name; the first
// node of a graph has nothing to read and publishes a constant instead.
NodeFunctionPtr forward_function() {
    return make_node_function([](const Context& inputs, const Context&) {
        Context outputs;
        if (const GraphData* value = inputs.find("in")) {
            outputs.insert_copy("out", *value);
        }
        return outputs;
    });
}

NodeFunctionPtr seed_function() {
    return make_node_function([](const Context&, const Context&) {
        Context outputs;
        outputs.insert("out", GraphData::from_int(1));
        return outputs;
    });
}

// The node of position `index` in a graph of `shape`: what it reads and publishes, and which node
// it depends on (a chain node on the one before it, a wide-level node on the root).
struct NodePlan {
    NodeFunctionPtr function;
    Graph::MappingPairs inputs;
    Graph::MappingPairs outputs;
    std::optional<NodeId> dependency;
};

class Planner {
public:
    Planner(Shape shape, Work work) : shape_(shape), work_(work) {}

    NodePlan plan(std::size_t index) const {
        NodePlan node{noop_node_function(), {}, {}, std::nullopt};
        if (index > 0) {
            node.dependency = shape_ == Shape::Chain ? index - 1 : 0;
        }
        if (work_ == Work::Noop) {
            return node;
        }
        node.function = index == 0 ? seed_ : forward_;
        if (node.dependency) {
            node.inputs.emplace_back(variable(*node.dependency), "in");
        }
        node.outputs.emplace_back("out", variable(index));
        return node;
    }

    // Through the builder: a chain of `add` calls, or a root followed by one single-node branch
    // per sibling (all sharing the root as branch point).
    Dag build(std::size_t count) const {
        Graph graph;
        for (std::size_t index = 0; index < count; ++index) {
            NodePlan node = plan(index);
            if (shape_ == Shape::Chain || index == 0) {
                graph.add(std::move(node.function), std::nullopt, std::move(node.inputs),
                          std::move(node.outputs));
                continue;
            }
            Graph sibling;
            sibling.add(std::move(node.function), std::nullopt, std::move(node.inputs),
                        std::move(node.outputs));
            graph.branch(std::move(sibling));
        }
        return std::move(graph).build();
    }

    // The same graph as a prepared node list.
    std::vector<Node> nodes(std::size_t count) const {
        std::vector<Node> nodes;
        nodes.reserve(count);
        for (std::size_t index = 0; index < count; ++index) {
            NodePlan plan_of = plan(index);
            Node node(index, std::nullopt, std::move(plan_of.function),
                      VariableMapping::from_pairs(std::move(plan_of.inputs)),
                      VariableMapping::from_pairs(std::move(plan_of.outputs)));
            if (plan_of.dependency) {
                node.dependencies.push_back(*plan_of.dependency);
            }
            nodes.push_back(std::move(node));
        }
        return nodes;
    }

    std::optional<std::size_t> parallel_max_threads() const {
        return shape_ == Shape::Wide ? std::optional<std::size_t>(kWideMaxThreads) : std::nullopt;
    }

private:
    Shape shape_;
    Work work_;
    NodeFunctionPtr seed_ = seed_function();
    NodeFunctionPtr forward_ = forward_function();
};

std::size_t heap_bytes() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// Streams through more memory than the last-level cache holds, so that every timed run starts
// with the graph out of cache whatever its size. Otherwise repeated runs on a small graph are
// timed from cache and runs on a large one from memory, and the ratios measure the cache.
void evict_caches() {
    static std::vector<std::uint64_t> buffer(std::size_t{128} << 20 >> 3, 1);
    std::uint64_t sum = 0;
    for (std::uint64_t& word : buffer) {
        sum += ++word;
    }
    static volatile std::uint64_t sink;
    sink = sum;
}

// Best of `repeats` runs of `make`, in milliseconds; what `make` returns is destroyed outside the
// timed span. `prepare` builds each run's input, also untimed.
template <class Prepare, class Make> double best_ms(int repeats, Prepare prepare, Make make) {
    double best = std::numeric_limits<double>::infinity();
    for (int run = 0; run < repeats; ++run) {
        auto input = prepare();
        evict_caches();
        const auto start = std::chrono::steady_clock::now();
        auto output = make(std::move(input));
        const auto stop = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::milli>(stop - start).count());
    }
    return best;
}

constexpr int kFigureCount = 6;
const char* const kFigureNames[kFigureCount] = {"build ms",    "dag ms",     "seq exec ms",
                                                "par exec ms", "mermaid ms", "bytes/node"};

struct Row {
    Shape shape;
    Work work;
    std::size_t nodes;
    double figures[kFigureCount];
};

Row measure(Shape shape, Work work, std::size_t count) {
    const Planner planner(shape, work);
    const int repeats = count <= 10000 ? 10 : count <= 100000 ? 5 : 3;
    // A wide parallel run starts a thread per node: one run is plenty from 100k nodes on.
    const int parallel_repeats = shape == Shape::Wide && count >= 100000 ? 1 : repeats;
    auto nothing = [] { return 0; };
    Row row{shape, work, count, {}};

    row.figures[0] = best_ms(repeats, nothing, [&](int) { return planner.build(count); });
    row.figures[1] = best_ms(
        repeats, [&] { return planner.nodes(count); },
        [](std::vector<Node> nodes) { return Dag(std::move(nodes)); });

    const std::size_t before = heap_bytes();
    const Dag dag(planner.nodes(count));
    row.figures[5] = static_cast<double>(heap_bytes() - before) / static_cast<double>(count);

    row.figures[2] = best_ms(
        repeats, nothing, [&](int) { return run(dag, RunOptions()).take_context(dag, nullptr); });
    row.figures[3] = best_ms(parallel_repeats, nothing, [&](int) {
        RunOptions options;
        options.parallel = true;
        options.max_threads = planner.parallel_max_threads();
        return run(dag, options).take_context(dag, nullptr);
    });
    row.figures[4] = best_ms(repeats, nothing, [&](int) { return to_mermaid(dag); });
    return row;
}

std::string size_text(std::size_t count) {
    if (count >= 1000000 && count % 1000000 == 0) {
        return std::to_string(count / 1000000) + "M";
    }
    if (count >= 1000 && count % 1000 == 0) {
        return std::to_string(count / 1000) + "k";
    }
    return std::to_string(count);
}

void print_header(const char* first) {
    std::printf("%-7s %-7s %-9s", "shape", "work", first);
    for (const char* figure : kFigureNames) {
        std::printf(" %12s", figure);
    }
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t largest = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    std::vector<std::size_t> sizes;
    for (std::size_t count = 1000; count <= largest; count *= 10) {
        sizes.push_back(count);
    }

    std::printf(
        "vantorix engine scaling: native nodes, best of 10 runs up to 10k nodes, 5 at 100k, 3 at "
        "1M (wide parallel: 1 run from 100k)\n");
    std::printf("chain: parallel mode runs single-node levels (no max_threads)\n");
    std::printf("wide:  a root plus N-1 siblings on one level, built as branches; parallel mode "
                "uses max_threads=%zu\n",
                kWideMaxThreads);
    std::printf("mapped: each node reads one variable and publishes one; noop: no mappings\n");
    std::printf("every timed run starts with the caches flushed (128 MiB streamed)\n");
    std::printf("bytes/node: heap in use (mallinfo2) for the Dag built from a node list\n\n");

    std::vector<Row> rows;
    print_header("nodes");
    for (const Shape shape : {Shape::Chain, Shape::Wide}) {
        for (const Work work : {Work::Mapped, Work::Noop}) {
            for (const std::size_t count : sizes) {
                const Row row = measure(shape, work, count);
                std::printf("%-7s %-7s %-9s", name(shape), name(work), size_text(count).c_str());
                for (const double figure : row.figures) {
                    std::printf(" %12.3f", figure);
                }
                std::printf("\n");
                std::fflush(stdout);
                rows.push_back(row);
            }
        }
    }

    std::printf(
        "\ngrowth ratio between consecutive sizes (goal: every ratio <= 12; the bytes/node "
        "column compares total bytes)\n");
    print_header("sizes");
    double worst = 0;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        const Row& small = rows[i - 1];
        const Row& large = rows[i];
        if (small.shape != large.shape || small.work != large.work) {
            continue;
        }
        const std::string sizes_text = size_text(large.nodes) + "/" + size_text(small.nodes);
        std::printf("%-7s %-7s %-9s", name(large.shape), name(large.work), sizes_text.c_str());
        for (int figure = 0; figure < kFigureCount; ++figure) {
            // Per-node memory should stay flat; the ratio of totals is what compares with 10.
            const double scale = figure == 5 ? 10.0 : 1.0;
            const double ratio =
                scale * large.figures[figure] / std::max(small.figures[figure], 1e-9);
            worst = std::max(worst, ratio);
            std::printf(" %12.2f", ratio);
        }
        std::printf("\n");
    }
    std::printf("\nworst ratio: %.2f (%s)\n", worst, worst <= 12 ? "within goal" : "ABOVE GOAL");
    return 0;
}
