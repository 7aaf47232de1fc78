// Values, contexts and node functions: the types every part of the engine passes around.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace vantorix {

// How the host keeps the objects behind `GraphData::PyObject` values alive. The engine never
// looks inside a handle: copying a value calls `retain`, destroying one calls `release`, and both
// may run on any thread. The host installs its operations once, before the first handle exists.
struct ObjectHandleOps {
    void (*retain)(void* handle) = nullptr;
    void (*release)(void* handle) = nullptr;
};

void set_object_handle_ops(ObjectHandleOps ops) noexcept;
const ObjectHandleOps& object_handle_ops() noexcept;

// One owned reference to a host object. Copies share the object; each copy owns one reference.
class ObjectHandle {
public:
    // Adopts a reference the caller has already taken.
    static ObjectHandle adopt(void* handle) noexcept { return ObjectHandle(handle); }

    ObjectHandle(const ObjectHandle& other) noexcept : handle_(other.handle_) { retain(); }
    ObjectHandle(ObjectHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    ObjectHandle& operator=(const ObjectHandle& other) noexcept {
        if (this != &other) {
            ObjectHandle copy(other);
            std::swap(handle_, copy.handle_);
        }
        return *this;
    }
    ObjectHandle& operator=(ObjectHandle&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    ~ObjectHandle() { reset(); }

    void* get() const noexcept { return handle_; }

private:
    explicit ObjectHandle(void* handle) noexcept : handle_(handle) {}
    void retain() const noexcept {
        if (handle_ != nullptr) {
            object_handle_ops().retain(handle_);
        }
    }
    void reset() noexcept {
        if (handle_ != nullptr) {
            object_handle_ops().release(std::exchange(handle_, nullptr));
        }
    }

    void* handle_;
};

class GraphData;

// The named variables of an execution: unordered, keys compared byte for byte, each key at most
// once. Entries live in one vector; small contexts (the common case for a node's inputs and
// outputs) are searched linearly, larger ones get an open-addressing index of positions.
class Context {
public:
    using Entry = std::pair<std::string, GraphData>;
    using const_iterator = std::vector<Entry>::const_iterator;

    Context() noexcept;
    Context(const Context&);
    Context(Context&&) noexcept;
    Context& operator=(const Context&);
    Context& operator=(Context&&) noexcept;
    ~Context();

    // The hash that contexts use for names; callers that look a name up often may compute it
    // once and pass it to the overloads below.
    static std::uint32_t hash(std::string_view name) noexcept;

    const GraphData* find(std::string_view name) const;
    const GraphData* find(std::string_view name, std::uint32_t name_hash) const;
    GraphData* find(std::string_view name) {
        return const_cast<GraphData*>(std::as_const(*this).find(name));
    }
    // Inserts or replaces; a replaced value is destroyed.
    void insert(std::string name, GraphData value);
    void insert(std::string name, GraphData value, std::uint32_t name_hash);
    // Same, copying both the name and the value.
    void insert_copy(std::string_view name, const GraphData& value);
    void insert_copy(std::string_view name, const GraphData& value, std::uint32_t name_hash);
    // Inserts every entry of `other` in turn, so `other` wins on shared names.
    void merge(const Context& other);
    void merge(Context&& other);

    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    void reserve(std::size_t count);
    const_iterator begin() const noexcept { return entries_.begin(); }
    const_iterator end() const noexcept { return entries_.end(); }

private:
    struct Index;
    static constexpr std::size_t kLinearLimit = 8;

    std::size_t position_of(std::string_view name, std::uint32_t hash) const;
    void append(std::string name, GraphData value, std::uint32_t hash);
    void build_index();

    std::vector<Entry> entries_;
    std::unique_ptr<Index> index_;
};

// The value of one variable. The alternative order is part of the contract.
class GraphData {
public:
    enum class Kind : std::uint8_t { Int, Float, String, FloatList, IntList, Map, PyObject, None };

    GraphData() noexcept : value_(std::monostate{}) {}
    static GraphData from_int(std::int64_t value) {
        return GraphData(Storage(std::in_place_index<0>, value));
    }
    static GraphData from_float(double value) {
        return GraphData(Storage(std::in_place_index<1>, value));
    }
    static GraphData from_string(std::string value) {
        return GraphData(Storage(std::in_place_index<2>, std::move(value)));
    }
    static GraphData from_float_list(std::vector<double> value) {
        return GraphData(Storage(std::in_place_index<3>, std::move(value)));
    }
    static GraphData from_int_list(std::vector<std::int64_t> value) {
        return GraphData(Storage(std::in_place_index<4>, std::move(value)));
    }
    static GraphData from_map(Context value) {
        return GraphData(Storage(std::in_place_index<5>, std::move(value)));
    }
    static GraphData from_object(ObjectHandle value) {
        return GraphData(Storage(std::in_place_index<6>, std::move(value)));
    }
    static GraphData none() noexcept { return GraphData(); }

    Kind kind() const noexcept { return static_cast<Kind>(value_.index()); }

    // Payload access; the caller checks `kind()` first.
    std::int64_t as_int() const { return std::get<0>(value_); }
    double as_float() const { return std::get<1>(value_); }
    const std::string& as_string() const { return std::get<2>(value_); }
    const std::vector<double>& as_float_list() const { return std::get<3>(value_); }
    const std::vector<std::int64_t>& as_int_list() const { return std::get<4>(value_); }
    const Context& as_map() const { return std::get<5>(value_); }
    // Borrowed: the handle stays owned by this value.
    void* as_object() const { return std::get<6>(value_).get(); }

private:
    using Storage = std::variant<std::int64_t, double, std::string, std::vector<double>,
                                 std::vector<std::int64_t>, Context, ObjectHandle, std::monostate>;
    explicit GraphData(Storage value) noexcept : value_(std::move(value)) {}

    Storage value_;
};

// One input of a node as its function receives it: the implementation variable and the value the
// context holds for it. A node lists its inputs in the order of its input mapping; when two
// entries share a name, the later one is the value the function sees.
struct InputRef {
    std::string_view name;
    const GraphData* value;
};

// The implementation variables a node publishes, and the values its function returned for them.
// Everything else a function returns would be dropped by the node's output mapping, so it is
// never kept.
class PublishedOutputs {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    PublishedOutputs(std::span<const std::string_view> names,
                     std::span<std::optional<GraphData>> values) noexcept
        : names_(names), values_(values) {}

    std::size_t size() const noexcept { return names_.size(); }
    std::string_view name(std::size_t index) const noexcept { return names_[index]; }
    // Position of `name` among the published variables, or npos. Names are unique. A function
    // may return every name of a node that publishes thousands, so beyond a few names they are
    // found through an index made on first use.
    std::size_t find(std::string_view name) {
        if (names_.size() > kSearchedInPlace) {
            return find_indexed(name);
        }
        for (std::size_t i = 0; i < names_.size(); ++i) {
            if (names_[i] == name) {
                return i;
            }
        }
        return npos;
    }
    // Stores the value returned under `name(index)`; a value stored before is replaced.
    void set(std::size_t index, GraphData value) { values_[index] = std::move(value); }
    // The value stored under `name(index)`, if any.
    const std::optional<GraphData>& value(std::size_t index) const noexcept {
        return values_[index];
    }
    // Takes the published names' values out of everything a function returned.
    void take_from(Context& returned);

private:
    static constexpr std::size_t kSearchedInPlace = 8;

    std::size_t find_indexed(std::string_view name);

    std::span<const std::string_view> names_;
    std::span<std::optional<GraphData>> values_;
    // Open addressing over the names: a position plus one, 0 for a free slot.
    std::vector<std::size_t> slots_;
};

// A node's computation. Implementations must be safe to call from several threads at once and
// report their own failures; whatever they return is the node's result.
class NodeFunction {
public:
    virtual ~NodeFunction() = default;
    // Calls the function with `inputs`, the values its node reads under the names the function
    // knows them by, and the node's `variant_params`, and stores in `outputs` what it returned
    // under the names `outputs` lists.
    virtual void call(std::span<const InputRef> inputs, const Context& variant_params,
                      PublishedOutputs& outputs) const = 0;
};

using NodeFunctionPtr = std::shared_ptr<const NodeFunction>;

// The inputs as a Context of their own, keyed by the names the function knows.
Context gather_inputs(std::span<const InputRef> inputs);

// Wraps any callable `Context(const Context& inputs, const Context& variant_params)` as a shared
// NodeFunction: it receives its inputs as a Context, and returns every result it has.
template <class F> NodeFunctionPtr make_node_function(F function) {
    class Adapter final : public NodeFunction {
    public:
        explicit Adapter(F f) : f_(std::move(f)) {}
        void call(std::span<const InputRef> inputs, const Context& params,
                  PublishedOutputs& outputs) const override {
            const Context gathered = gather_inputs(inputs);
            Context returned = f_(gathered, params);
            outputs.take_from(returned);
        }

    private:
        F f_;
    };
    return std::make_shared<const Adapter>(std::move(function));
}

// The function of nodes added without one: ignores its arguments, returns an empty context.
NodeFunctionPtr noop_node_function();
// Whether `function` is that one.
bool is_noop_node_function(const NodeFunction& function) noexcept;

} // namespace vantorix
