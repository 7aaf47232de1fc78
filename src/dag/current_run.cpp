#include "dag/current_run.hpp"

#include <pthread.h>

namespace vantorix {

namespace detail {

NodeTrace*& current_node_trace() noexcept {
    thread_local NodeTrace* trace = nullptr;
    return trace;
}

bool& current_failures_quiet() noexcept {
    thread_local bool quiet = false;
    return quiet;
}

std::size_t& current_run_depth() noexcept {
    thread_local std::size_t depth = 0;
    return depth;
}

std::uint64_t this_thread_ident() noexcept { return static_cast<std::uint64_t>(pthread_self()); }

} // namespace detail

void report_node_failure(GraphData error) {
    if (NodeTrace* trace = detail::current_node_trace()) {
        trace->failed = true;
        trace->error = std::move(error);
    }
}

bool node_failure_wanted() noexcept { return detail::current_node_trace() != nullptr; }

bool node_failure_quiet() noexcept { return detail::current_failures_quiet(); }

std::size_t run_depth() noexcept { return detail::current_run_depth(); }

} // namespace vantorix
