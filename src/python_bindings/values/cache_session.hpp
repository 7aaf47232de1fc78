// The result cache of a run given `cache=`: a `vantorix_cache` session, called with the lock held
// on the thread that runs each node.
#pragma once

#include "dag/dag.hpp"
#include "dag/result_cache.hpp"
#include "runtime/py_ref.hpp"

#include <memory>
#include <vector>

namespace vantorix::python {

class CacheSession final : public ResultCache {
public:
    // The session of one run of `dag` with `cache`, a path or a `vantorix_cache.Cache`:
    // imports vantorix_cache, and for a path makes the Cache of that directory. Lock held. Null
    // with a Python error set; a TypeError is prefixed with "argument 'cache': ".
    static std::unique_ptr<CacheSession> open(PyObject* cache, const Dag& dag);

    // What the session raises stops the run and is raised again, as from a node's `on_node`.
    CacheLookup lookup(const Node& node, std::span<const InputRef> inputs,
                       PublishedOutputs& outputs) override;
    GraphData store(const Node& node, const GraphData& key,
                    const PublishedOutputs& outputs) override;

    // Once the run has finished: the session's one warning about the nodes it could not cache.
    // Lock held. False with a Python error set (the warning, when warnings are errors).
    bool finish();

private:
    // What the session is told of a node besides its inputs.
    struct NodeArguments {
        PyRef id, label, inputs, outputs;
    };

    CacheSession(const Dag& dag, PyRef session) : dag_(dag), session_(std::move(session)) {}
    bool prepare();

    const Dag& dag_;
    PyRef session_;
    PyRef lookup_, store_;
    std::vector<NodeArguments> nodes_; // per node position
};

} // namespace vantorix::python
