// Running the engine from a method: with the interpreter lock released, stoppable by Ctrl-C,
// its failures turned into Python errors.
#pragma once

#include "dag/run.hpp"
#include "runtime/interpreter_lock.hpp"

#include <functional>

namespace vantorix::python {

// False with a RecursionError naming the method `full_name` when one more run may not nest in the
// runs this thread is inside of: as deep as the recursion limit (a thousand at most) or when too
// little C stack is left.
bool check_room_for_nested_run(const char* full_name);

// Runs `engine_run` with the interpreter lock released; it gets the lock, to call into Python
// briefly, and runs the engine with `options`, whose wait hooks are set here: while the run waits
// for workers on the main thread, that thread now and then takes the lock back to run signal
// handlers, so Ctrl-C stops it. An interrupt raised in the run is set as the Python error again;
// engine failures become the internal-failure exception. Returns false with a Python error set
// when the run did not finish.
bool run_released(RunOptions& options, const std::function<void(ReleasedLock&)>& engine_run);

// From inside `run_released`: runs `call` with the lock taken back. When it fails (returns false
// with a Python error set) that error stops the run, as an exit raised by a node does.
void call_with_lock(ReleasedLock& released, const std::function<bool()>& call);

} // namespace vantorix::python
