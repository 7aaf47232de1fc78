// A DAG as the text of a Mermaid flowchart, and the diagram and the timeline of one traced run.
#pragma once

#include "dag/dag.hpp"
#include "dag/run_trace.hpp"

#include <functional>
#include <string>
#include <string_view>

namespace vantorix {

// How a diagram writes the texts it takes from the nodes. Absent writers copy them as stored.
struct MermaidText {
    // The text of a node's box, between its quotes.
    std::function<void(std::string& out, const Node& node)> box;
    // One variable name of an arrow's annotation.
    std::function<void(std::string& out, std::string_view name)> name;
};

// "graph TD", a box per node, an arrow per dependency annotated with the variables that flow
// along it, and a highlight for the first node of every branch; appended to `out`.
void write_mermaid(std::string& out, const Dag& dag, const MermaidText& text = {});
std::string to_mermaid(const Dag& dag);

// The same diagram with labels and variable names escaped (as `run_to_mermaid` escapes them), so
// that a renderer shows every text as it is; `to_mermaid` copies them as stored.
std::string to_escaped_mermaid(const Dag& dag);

// The diagram of one traced run: every box says how its node ended (and, with `durations`, how
// long it took), boxes are coloured by status classes, and the arrows and branch highlights are
// those of `to_mermaid`. Texts taken from labels and variable names are escaped so that the
// renderer shows them as they are. Nodes without a trace did not run.
std::string run_to_mermaid(const Dag& dag, const RunTrace& trace, bool durations);

// The timeline of one traced run as a Mermaid gantt chart: a section per thread ("thread 1",
// "thread 2", ... in the order of their first node), and in it a bar per node that ran, named
// by its label ("node N" without one) and tagged by status (done: ok, active: cached, crit:
// failed), in the order the nodes started. Times count from the start of the run in whole
// microseconds when the last bar ends within 10 ms, else in whole milliseconds (the axis says
// which), and every bar lasts at least one unit and 1/200 of the chart, so that the shortest
// node still shows. Names are escaped so that the renderer shows them as they are.
std::string run_to_gantt(const RunTrace& trace);

} // namespace vantorix
