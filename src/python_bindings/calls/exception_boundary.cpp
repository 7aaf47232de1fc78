#include "calls/exception_boundary.hpp"

#include "runtime/module_state.hpp"

#include <exception>
#include <new>

namespace vantorix::python {

namespace {

void raise_failure_message(const char* message) noexcept {
    try {
        raise_internal_failure(message);
    } catch (...) {
        PyErr_NoMemory(); // not even the message could be made
    }
}

} // namespace

void raise_current_cxx_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_failure_message(error.what());
    } catch (...) {
        raise_failure_message("unknown C++ exception");
    }
}

} // namespace vantorix::python
