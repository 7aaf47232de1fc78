#include "runtime/module_state.hpp"

namespace vantorix::python {

ModuleState& module_state() noexcept {
    static constinit ModuleState state;
    return state;
}

void raise_internal_failure(const std::string& message) {
    PyObject* type = published(module_state().internal_failure);
    if (type == nullptr) {
        PyRef made = PyRef::steal(PyErr_NewExceptionWithDoc(
            "vantorix.PanicException",
            "An internal failure of the engine (a worker thread failed or could not start).",
            PyExc_BaseException, nullptr));
        if (!made) {
            return;
        }
        type = publish_once(module_state().internal_failure, std::move(made));
    }
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) {
        PyErr_SetObject(type, text.get());
    }
}

} // namespace vantorix::python
