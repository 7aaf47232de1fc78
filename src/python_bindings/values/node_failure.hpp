// What the module writes and reports when a Python node function fails.
#pragma once

#include "runtime/py_ref.hpp"

#include <string_view>

namespace vantorix::python {

// Writes `message` through `sys.stderr.write`, looked up now; any failure is ignored. Lock held.
void write_stderr(PyObject* message);

// Each of these reports a failure to the traced run that called the node, if any, and tells it
// as the interpreter would, unless that run wants failures quiet. Lock held.

// The current error is a failure to fill one of the argument dicts under `name`: writes
// "<prefix><name>': <error>\n". Clears the error.
void report_setting_failure(const char* prefix, std::string_view name);

// The node's callable raised the current error (neither SystemExit nor KeyboardInterrupt): prints
// it as the interpreter prints an uncaught exception. Throws a PythonInterrupt when
// sys.excepthook itself raises an exit. Clears the error.
void report_call_failure();

// The callable returned `returned`, which is not a dict: reports a TypeError and writes
// "Error: Python function did not return a dict\n".
void report_not_a_dict(PyObject* returned);

} // namespace vantorix::python
