#include "values/interrupt.hpp"

#include "runtime/object_handles.hpp"

namespace vantorix::python {

PythonInterrupt PythonInterrupt::take_current() {
    const FetchedError error = FetchedError::take();
    if (error.traceback && error.value) {
        PyException_SetTraceback(error.value.get(), error.traceback.get());
    }
    auto hold = [](const PyRef& object) {
        return object ? wrap_object(object.get()) : GraphData::none();
    };
    return PythonInterrupt(hold(error.type), hold(error.value), hold(error.traceback));
}

void PythonInterrupt::restore() const {
    auto take = [](const GraphData& held) -> PyObject* {
        return held.kind() == GraphData::Kind::PyObject
                   ? new_reference(handle_object(held.as_object()))
                   : nullptr;
    };
    PyErr_Restore(take(type_), take(value_), take(traceback_));
}

} // namespace vantorix::python
