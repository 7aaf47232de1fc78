#include "runtime/object_handles.hpp"

#include "runtime/holder_blocks.hpp"

#include <atomic>
#include <new>
#include <utility>

namespace vantorix::python {

namespace {

thread_local int t_lock_depth = 0;

struct ObjectHolder {
    std::atomic<std::size_t> count;
    PyObject* object;
};

// A reference given back by a thread without the interpreter lock, waiting for the next entry
// into the module. It lives in the block of the holder that owned the reference.
struct ReleasedObject {
    ReleasedObject* next;
    PyObject* object;
};
static_assert(sizeof(ObjectHolder) <= kHolderBlockSize &&
              alignof(ObjectHolder) <= kHolderBlockAlignment &&
              sizeof(ReleasedObject) <= kHolderBlockSize &&
              alignof(ReleasedObject) <= kHolderBlockAlignment);

// The queue of released references: a lock-free list that threads push onto and that the next
// entry into the module takes whole. Without a lock there is nothing a fork could copy in a held
// state, and queueing allocates nothing.
std::atomic<ReleasedObject*> g_released{nullptr};

void give_back(void* block, PyObject* object) noexcept {
    if (t_lock_depth > 0) {
        give_holder_block(block);
        drop_reference(object);
        return;
    }
    auto* released =
        new (block) ReleasedObject{g_released.load(std::memory_order_relaxed), object};
    while (!g_released.compare_exchange_weak(released->next, released, std::memory_order_release,
                                             std::memory_order_relaxed)) {
    }
}

void retain_holder(void* handle) noexcept {
    static_cast<ObjectHolder*>(handle)->count.fetch_add(1, std::memory_order_relaxed);
}

void release_holder(void* handle) noexcept {
    auto* holder = static_cast<ObjectHolder*>(handle);
    if (holder->count.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        PyObject* object = holder->object;
        holder->~ObjectHolder();
        give_back(holder, object);
    }
}

} // namespace

int& lock_depth() noexcept { return t_lock_depth; }

void apply_released_references() {
    // A plain load first: this runs for every node, and the queue is nearly always empty.
    if (g_released.load(std::memory_order_relaxed) == nullptr) {
        return;
    }
    ReleasedObject* pushed = g_released.exchange(nullptr, std::memory_order_acquire);
    // Pushed last comes first: reversed, the references are given back in the order they were
    // queued.
    ReleasedObject* queued = nullptr;
    while (pushed != nullptr) {
        queued = std::exchange(pushed, std::exchange(pushed->next, queued));
    }
    while (queued != nullptr) {
        ReleasedObject* next = queued->next;
        PyObject* object = queued->object;
        give_holder_block(queued);
        drop_reference(object);
        queued = next;
    }
}

void install_object_handle_ops() noexcept {
    set_object_handle_ops(ObjectHandleOps{retain_holder, release_holder});
}

GraphData wrap_object(PyObject* object) {
    // May throw: no reference taken yet.
    auto* holder = new (take_holder_block()) ObjectHolder{{1}, object};
    Py_INCREF(object);
    return GraphData::from_object(ObjectHandle::adopt(holder));
}

PyObject* handle_object(void* handle) noexcept {
    return static_cast<ObjectHolder*>(handle)->object;
}

int visit_sole_objects(const GraphData& value, visitproc visit, void* arg) {
    if (value.kind() == GraphData::Kind::Map) {
        return visit_sole_objects(value.as_map(), visit, arg);
    }
    if (value.kind() == GraphData::Kind::PyObject) {
        auto* holder = static_cast<ObjectHolder*>(value.as_object());
        if (holder->count.load(std::memory_order_acquire) == 1) {
            Py_VISIT(holder->object);
        }
    }
    return 0;
}

int visit_sole_objects(const Context& context, visitproc visit, void* arg) {
    for (const auto& [name, value] : context) {
        if (const int stop = visit_sole_objects(value, visit, arg)) {
            return stop;
        }
    }
    return 0;
}

} // namespace vantorix::python
