#include "dag/mermaid.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace vantorix {

namespace {

void append_id(std::string& out, NodeId id) {
    char digits[24];
    const auto [end, error] = std::to_chars(digits, digits + sizeof digits, id);
    (void)error;
    out.append(digits, end);
}

struct EdgeHash {
    std::size_t operator()(const std::pair<NodeId, NodeId>& edge) const noexcept {
        return std::hash<NodeId>{}(edge.first * 0x9E3779B97F4A7C15ULL ^ edge.second);
    }
};

// Annotations for the arrow dependency -> node: every variable the node reads that the
// dependency publishes, as "variable → implementation name", joined with "<br/>".
template <class WriteName>
void append_annotations(std::string& line, const Node& dependency, const Node& node,
                        const WriteName& write_name) {
    bool first = true;
    for (const auto& [broadcast_var, impl_var] : node.input_mapping) {
        const bool published = std::any_of(
            dependency.output_mapping.begin(), dependency.output_mapping.end(),
            [&](const VariableMapping::View& output) { return output.second == broadcast_var; });
        if (!published) {
            continue;
        }
        if (!first) {
            line += "<br/>";
        }
        first = false;
        write_name(line, broadcast_var);
        line += " \u2192 ";
        write_name(line, impl_var);
    }
}

void append_stored_box(std::string& out, const Node& node) {
    if (node.label) {
        out += *node.label;
    } else {
        out += "Node ";
        append_id(out, node.id);
    }
}

void append_stored_name(std::string& out, std::string_view name) { out += name; }

// The diagram of a finished run.

enum class Outcome { Ok, Cached, Failed, Skipped, NotRun };

struct StatusClass {
    const char* name;
    const char* style;
};

// Light fills with dark text of their own, so that boxes read alike in light and dark themes. A
// branch entry keeps the fill of its style line, so the stroke carries the status too.
constexpr StatusClass kStatusClasses[] = {
    {"ok", "fill:#e8f5e9,stroke:#2e7d32,color:#1b5e20"},
    {"cached", "fill:#ede7f6,stroke:#4527a0,color:#311b92"},
    {"failed", "fill:#ffebee,stroke:#c62828,stroke-width:2px,color:#b71c1c"},
    {"skipped", "fill:#fff8e1,stroke:#f9a825,stroke-dasharray:2 2,color:#795548"},
    {"not_run", "fill:#f5f5f5,stroke:#9e9e9e,stroke-dasharray:4 4,color:#616161"},
};

// Characters that the renderer would not show as they are, with the entity codes it shows as
// them instead. Inside a box's quotes only a double quote ends the text, but arrow annotations
// also end at brackets and "|"; entity codes are understood in both places, so one rule serves
// both. "#" is escaped so that text which looks like an entity code stays literal, "<", ">" and
// "&" so that text is not taken for HTML, "`" so that text in backticks is not taken for
// Markdown; a line break becomes the renderer's own.
constexpr std::pair<char, const char*> kEscapes[] = {
    {'"', "#quot;"}, {'#', "#35;"},  {'&', "#amp;"}, {'<', "#lt;"},   {'>', "#gt;"},
    {'|', "#124;"},  {'[', "#91;"},  {']', "#93;"},  {'(', "#40;"},   {')', "#41;"},
    {'{', "#123;"},  {'}', "#125;"}, {'`', "#96;"},  {'\n', "<br/>"}, {'\r', "#13;"},
};

void append_escaped(std::string& out, std::string_view text) {
    for (const char c : text) {
        const auto* escape = std::find_if(std::begin(kEscapes), std::end(kEscapes),
                                          [c](const auto& entry) { return entry.first == c; });
        if (escape == std::end(kEscapes)) {
            out += c;
        } else {
            out += escape->second;
        }
    }
}

// "<1 µs", "12 µs", "3.4 ms", "1.25 s".
void append_duration(std::string& out, double seconds) {
    char text[32];
    if (seconds < 0.5e-6) {
        out += "<1 \u00b5s";
        return;
    }
    if (seconds < 999.5e-6) {
        std::snprintf(text, sizeof text, "%.0f \u00b5s", seconds * 1e6);
    } else if (seconds < 0.99995) {
        std::snprintf(text, sizeof text, "%.1f ms", seconds * 1e3);
    } else {
        std::snprintf(text, sizeof text, "%.2f s", seconds);
    }
    out += text;
}

} // namespace

void write_mermaid(std::string& out, const Dag& dag, const MermaidText& text) {
    auto write_box = [&](std::string& line, const Node& node) {
        text.box ? text.box(line, node) : append_stored_box(line, node);
    };
    auto write_name = [&](std::string& line, std::string_view name) {
        text.name ? text.name(line, name) : append_stored_name(line, name);
    };
    const std::vector<Node>& nodes_ = dag.nodes();
    out.reserve(out.size() + 9 + nodes_.size() * 40);
    out += "graph TD\n";

    for (const Node& node : nodes_) {
        out += "    ";
        append_id(out, node.id);
        out += "[\"";
        write_box(out, node);
        out += "\"]\n";
    }

    // A repeated (dependency, node) pair is drawn once. With unique identifiers a pair can only
    // repeat inside one node's list, which is short, so the set is needed only when identifiers
    // repeat or a list is long.
    std::unordered_set<std::pair<NodeId, NodeId>, EdgeHash> drawn;
    std::string annotations;
    for (const Node& node : nodes_) {
        const auto& dependencies = node.dependencies;
        for (std::size_t i = 0; i < dependencies.size(); ++i) {
            const NodeId dependency_id = dependencies[i];
            if (dag.ids_unique() && dependencies.size() <= 16) {
                if (std::find(dependencies.begin(), dependencies.begin() + static_cast<long>(i),
                              dependency_id) != dependencies.begin() + static_cast<long>(i)) {
                    continue;
                }
            } else if (!drawn.emplace(dependency_id, node.id).second) {
                continue;
            }
            annotations.clear();
            if (const Node* dependency = dag.find_node(dependency_id)) {
                append_annotations(annotations, *dependency, node, write_name);
            }
            out += "    ";
            append_id(out, dependency_id);
            if (annotations.empty()) {
                out += " --> ";
            } else {
                out += " -->|";
                out += annotations;
                out += "| ";
            }
            append_id(out, node.id);
            out += '\n';
        }
    }

    for (const Node& node : nodes_) {
        if (node.is_branch_entry) {
            out += "    style ";
            append_id(out, node.id);
            out += " fill:#e1f5ff\n";
        }
    }
}

std::string to_mermaid(const Dag& dag) {
    std::string out;
    write_mermaid(out, dag);
    return out;
}

namespace {

void append_escaped_label(std::string& out, const Node& node) {
    if (node.label) {
        append_escaped(out, *node.label);
    } else {
        out += "Node ";
        append_id(out, node.id);
    }
}

// A box text escaped; an empty one gets a space, which the renderer requires.
void append_escaped_box(std::string& out, const Node& node) {
    const std::size_t start = out.size();
    append_escaped_label(out, node);
    if (out.size() == start) {
        out += ' ';
    }
}

} // namespace

std::string to_escaped_mermaid(const Dag& dag) {
    std::string out;
    write_mermaid(out, dag, MermaidText{append_escaped_box, append_escaped});
    return out;
}

std::string run_to_mermaid(const Dag& dag, const RunTrace& run_trace, bool durations) {
    const std::vector<Node>& nodes = dag.nodes();
    // Per node position: its trace, if it ran.
    std::vector<const NodeTrace*> trace_of(nodes.size(), nullptr);
    for (const NodeTrace& trace : run_trace.nodes()) {
        if (trace.node != nullptr && trace.node >= nodes.data() &&
            trace.node < nodes.data() + nodes.size()) {
            trace_of[static_cast<std::size_t>(trace.node - nodes.data())] = &trace;
        }
    }
    auto outcome_of = [&](const Node& node) {
        const NodeTrace* trace = trace_of[static_cast<std::size_t>(&node - nodes.data())];
        return trace == nullptr ? Outcome::NotRun
               : trace->failed  ? Outcome::Failed
               : trace->skipped ? Outcome::Skipped
               : trace->cached  ? Outcome::Cached
                                : Outcome::Ok;
    };

    MermaidText text;
    text.box = [&](std::string& out, const Node& node) {
        const std::size_t start = out.size();
        append_escaped_label(out, node);
        const NodeTrace* trace = trace_of[static_cast<std::size_t>(&node - nodes.data())];
        if (trace == nullptr) {
            out += "<br/>not run";
        } else if (trace->skipped) {
            out += "<br/>skipped";
        } else if (trace->cached) {
            out += durations ? "<br/>cached in " : "<br/>cached";
            if (durations) {
                append_duration(out, trace->seconds);
            }
        } else if (trace->failed || durations) {
            out += "<br/>";
            if (trace->failed) {
                out += durations ? "failed after " : "failed";
            }
            if (durations) {
                append_duration(out, trace->seconds);
            }
        }
        if (out.size() == start) {
            out += ' '; // the renderer rejects an empty box
        }
    };
    text.name = append_escaped;

    std::string out;
    write_mermaid(out, dag, text);
    for (const Outcome outcome :
         {Outcome::Ok, Outcome::Cached, Outcome::Failed, Outcome::Skipped, Outcome::NotRun}) {
        const StatusClass& status = kStatusClasses[static_cast<int>(outcome)];
        std::string members;
        for (const Node& node : nodes) {
            if (outcome_of(node) == outcome) {
                if (!members.empty()) {
                    members += ',';
                }
                append_id(members, node.id);
            }
        }
        if (members.empty()) {
            continue;
        }
        out += "    classDef ";
        out += status.name;
        out += ' ';
        out += status.style;
        out += "\n    class ";
        out += members;
        out += ' ';
        out += status.name;
        out += '\n';
    }
    return out;
}

namespace {

// Words that the gantt parser takes for a statement when a line starts with them, in any case.
constexpr std::string_view kGanttKeywords[] = {
    "accdescr",    "accdescription",    "acctitle", "axisformat",   "call",
    "click",       "dateformat",        "excludes", "gantt",        "href",
    "includes",    "inclusiveenddates", "section",  "tickinterval", "title",
    "todaymarker", "topaxis",           "weekday",  "weekend",
};

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Whether the parser would read `text`, the start of a line, as a statement or a date.
bool reads_as_statement(std::string_view text) {
    if (text.size() >= 5 && std::all_of(text.begin(), text.begin() + 4, is_ascii_digit) &&
        text[4] == '-') {
        return true;
    }
    std::string word;
    for (const char c : text) {
        if (!is_ascii_letter(c)) {
            break;
        }
        word += static_cast<char>(c | 0x20);
    }
    return std::find(std::begin(kGanttKeywords), std::end(kGanttKeywords), word) !=
           std::end(kGanttKeywords);
}

// A bar's name: the flowchart's escapes, and ":" and ";", which end a name, and
// "%", which starts comments and directives; a line break becomes a space. A name that the
// parser would take for a statement starts with an entity code, and a blank one is a space's.
void append_gantt_name(std::string& out, std::string_view text) {
    const std::size_t first = static_cast<std::size_t>(
        std::find_if_not(text.begin(), text.end(), is_ascii_space) - text.begin());
    out.append(first, ' ');
    if (first == text.size()) {
        out += "#32;";
        return;
    }
    std::string_view rest = text.substr(first);
    if (reads_as_statement(rest)) {
        out += '#';
        append_id(out, static_cast<unsigned char>(rest.front()));
        out += ';';
        rest.remove_prefix(1);
    }
    for (const char c : rest) {
        switch (c) {
        case ':':
            out += "#58;";
            break;
        case ';':
            out += "#59;";
            break;
        case '%':
            out += "#37;";
            break;
        case '\n':
        case '\r':
            out += ' ';
            break;
        default:
            append_escaped(out, std::string_view(&c, 1));
        }
    }
}

// `seconds` in whole units of `per_second`, rounded half up.
long long whole_units(double seconds, double per_second) {
    return static_cast<long long>(std::floor(seconds * per_second + 0.5));
}

void append_number(std::string& out, long long number) {
    char digits[24];
    const auto [end, error] = std::to_chars(digits, digits + sizeof digits, number);
    (void)error;
    out.append(digits, end);
}

} // namespace

std::string run_to_gantt(const RunTrace& run_trace) {
    std::vector<const NodeTrace*> bars;
    for (const NodeTrace& trace : run_trace.nodes()) {
        if (!trace.skipped && trace.node != nullptr) {
            bars.push_back(&trace);
        }
    }
    // In order of start, ties in the order of the trace; threads numbered in that order too.
    std::stable_sort(bars.begin(), bars.end(), [](const NodeTrace* a, const NodeTrace* b) {
        return a->started < b->started;
    });
    std::unordered_map<std::uint64_t, std::size_t> lane_of;
    std::vector<std::vector<const NodeTrace*>> lanes;
    double end = 0.0;
    for (const NodeTrace* bar : bars) {
        const auto [lane, added] = lane_of.emplace(bar->thread, lanes.size());
        if (added) {
            lanes.emplace_back();
        }
        lanes[lane->second].push_back(bar);
        end = std::max(end, bar->started + bar->seconds);
    }
    const bool micro = whole_units(end, 1e6) < 10000;
    const double per_second = micro ? 1e6 : 1e3;
    // The renderer rounds bars to whole pixels: one unit of a long chart would be none.
    const long long shortest = std::max(1LL, (whole_units(end, per_second) + 199) / 200);

    std::string out = "gantt\n    dateFormat x\n    axisFormat %Q ";
    out += micro ? "\u00b5s" : "ms";
    out += "\n    todayMarker off\n";
    for (std::size_t lane = 0; lane < lanes.size(); ++lane) {
        out += "    section thread ";
        append_number(out, static_cast<long long>(lane + 1));
        out += '\n';
        for (const NodeTrace* bar : lanes[lane]) {
            out += "    ";
            if (bar->node->label) {
                append_gantt_name(out, *bar->node->label);
            } else {
                out += "node ";
                append_id(out, bar->node->id);
            }
            out += bar->failed ? " :crit, " : bar->cached ? " :active, " : " :done, ";
            const long long begin = whole_units(bar->started, per_second);
            append_number(out, begin);
            out += ", ";
            append_number(out, std::max(begin + shortest,
                                        whole_units(bar->started + bar->seconds, per_second)));
            out += '\n';
        }
    }
    return out;
}

} // namespace vantorix
