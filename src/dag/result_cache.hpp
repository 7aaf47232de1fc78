// A store of node results that a traced run asks before it calls a node's function, and offers
// the results of every node that succeeded.
#pragma once

#include "graph_data/graph_data.hpp"
#include "node/node.hpp"

#include <span>

namespace vantorix {

// What a result cache found for one node.
struct CacheLookup {
    // The results were set in the node's outputs: the node publishes them and its function is
    // not called.
    bool hit = false;
    // After a miss, what `store` is handed once the node has succeeded; none: nothing is stored.
    GraphData key;
    // Why the cache neither serves nor keeps the node (a host object), or none.
    GraphData note;
};

// Asked on the thread that runs each node that has a function, so by several threads at once in
// a parallel run. What it throws ends the node's step as if its function had thrown it.
class ResultCache {
public:
    virtual ~ResultCache() = default;
    // `inputs` as the function would receive them. On a hit, sets in `outputs` what the
    // function would have returned for the names it lists.
    virtual CacheLookup lookup(const Node& node, std::span<const InputRef> inputs,
                               PublishedOutputs& outputs) = 0;
    // After a miss with a key, once the function has returned without a failure: what it
    // returned for the names `outputs` lists. Returns why they were not stored, or none.
    virtual GraphData store(const Node& node, const GraphData& key,
                            const PublishedOutputs& outputs) = 0;
};

} // namespace vantorix
