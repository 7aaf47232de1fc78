#include "values/conversion.hpp"

#include "runtime/object_handles.hpp"

#include <charconv>
#include <optional>
#include <string>
#include <vector>

namespace vantorix::python {

namespace {

// A map key read as a list index: optional "+", then at least one ASCII digit, fitting in 64
// bits. Leading zeros are allowed; "-" never is.
std::optional<std::uint64_t> parse_index(std::string_view key) {
    if (!key.empty() && key.front() == '+') {
        key.remove_prefix(1);
    }
    if (key.empty()) {
        return std::nullopt;
    }
    for (const char c : key) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
    }
    std::uint64_t index = 0;
    const auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), index);
    if (error != std::errc() || end != key.data() + key.size()) {
        return std::nullopt;
    }
    return index;
}

// When every key of a map is an index and the indices are exactly 0..n-1, the entries in index
// order; otherwise empty. Keys written with a sign or leading zeros still land at their index,
// so the list never comes out shorter than the map.
std::vector<const GraphData*> index_order(const Context& map) {
    const std::size_t count = map.size();
    std::vector<const GraphData*> ordered(count, nullptr);
    for (const auto& [key, value] : map) {
        const std::optional<std::uint64_t> index = parse_index(key);
        if (!index || *index >= count || ordered[*index] != nullptr) {
            return {};
        }
        ordered[*index] = &value;
    }
    return ordered;
}

double real_part(const GraphData* value) {
    if (value == nullptr) {
        return 0.0;
    }
    switch (value->kind()) {
    case GraphData::Kind::Float:
        return value->as_float();
    case GraphData::Kind::Int:
        return static_cast<double>(value->as_int());
    default:
        return 0.0;
    }
}

bool is_complex_entry(const GraphData& value) {
    return value.kind() == GraphData::Kind::Map && value.as_map().find("re") != nullptr &&
           value.as_map().find("im") != nullptr;
}

// Appends converted items; an item that cannot be created or appended is left out.
template <class Items, class Convert> PyRef build_list(const Items& items, Convert convert) {
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) {
        return list;
    }
    for (const auto& item : items) {
        PyRef element = convert(item);
        if (!element || PyList_Append(list.get(), element.get()) < 0) {
            PyErr_Clear();
        }
    }
    return list;
}

// A context as a `dict`. An entry that cannot be stored is left out (`skip_failures`), or fails
// the whole conversion with its error set.
PyRef context_to_dict(const Context& context, bool skip_failures) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) {
        return dict;
    }
    for (const auto& [name, value] : context) {
        PyRef key = text_to_python(name);
        PyRef item = key ? graph_data_to_python(value) : PyRef();
        if (!item || PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) {
            if (!skip_failures) {
                return PyRef();
            }
            PyErr_Clear();
        }
    }
    return dict;
}

PyRef map_to_python(const Context& map) {
    if (map.empty()) {
        return PyRef::steal(PyDict_New());
    }
    const std::vector<const GraphData*> ordered = index_order(map);
    if (ordered.empty()) {
        return context_to_dict(map, true);
    }
    bool complex = true;
    for (const GraphData* value : ordered) {
        complex = complex && is_complex_entry(*value);
    }
    if (complex) {
        return build_list(ordered, [](const GraphData* value) {
            const Context& parts = value->as_map();
            return PyRef::steal(
                Py_BuildValue("(dd)", real_part(parts.find("re")), real_part(parts.find("im"))));
        });
    }
    return build_list(ordered,
                      [](const GraphData* value) { return graph_data_to_python(*value); });
}

} // namespace

PyRef text_to_python(std::string_view text) {
    return PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                             "surrogateescape"));
}

PyRef graph_data_to_python(const GraphData& value) {
    switch (value.kind()) {
    case GraphData::Kind::Int:
        return PyRef::steal(PyLong_FromLongLong(value.as_int()));
    case GraphData::Kind::Float:
        return PyRef::steal(PyFloat_FromDouble(value.as_float()));
    case GraphData::Kind::String:
        return text_to_python(value.as_string());
    case GraphData::Kind::FloatList:
        return build_list(value.as_float_list(),
                          [](double item) { return PyRef::steal(PyFloat_FromDouble(item)); });
    case GraphData::Kind::IntList:
        return build_list(value.as_int_list(), [](std::int64_t item) {
            return PyRef::steal(PyLong_FromLongLong(item));
        });
    case GraphData::Kind::Map:
        return map_to_python(value.as_map());
    case GraphData::Kind::PyObject:
        return PyRef::borrow(handle_object(value.as_object()));
    case GraphData::Kind::None:
        break;
    }
    return PyRef::borrow(Py_None);
}

PyRef context_to_python(const Context& context) { return context_to_dict(context, false); }

PyRef ids_to_python(std::span<const NodeId> ids) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    if (!list) {
        return list;
    }
    for (std::size_t i = 0; i < ids.size(); ++i) {
        PyObject* id = PyLong_FromUnsignedLongLong(ids[i]);
        if (id == nullptr) {
            return PyRef();
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), id);
    }
    return list;
}

} // namespace vantorix::python
