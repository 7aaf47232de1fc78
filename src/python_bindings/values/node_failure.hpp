// What the module writes and reports when a Python node function fails.
#pragma once

#include "runtime/py_ref.hpp"

#include <string_view>

namespace vantorix::python {

// Writes `message` through `sys.stderr.write`, looked up now; any failure is ignored. Lock held.
void write_stderr(PyObject* message);

// The current error is a failure to fill one of the argument dicts under `name`: reports it to a
// traced run and writes "<prefix><name>': <error>\n". Clears the error. Lock held.
void report_setting_failure(const char* prefix, std::string_view name);

// The node's callable raised the current error (neither SystemExit nor KeyboardInterrupt):
// reports it to a traced run and prints it as the interpreter prints an uncaught exception.
// Throws a PythonInterrupt when sys.excepthook itself raises an exit. Lock held.
void report_call_failure();

// The callable returned `returned`, which is not a dict: reports a TypeError to a traced run
// and writes "Error: Python function did not return a dict\n". Lock held.
void report_not_a_dict(PyObject* returned);

} // namespace vantorix::python
