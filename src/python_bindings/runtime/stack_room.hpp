// How much of the current thread's C stack is left for nested runs.
#pragma once

namespace vantorix::python {

// False when less than a reserve of this thread's C stack is left: another nested run could then
// overflow the stack before the interpreter's own recursion checks notice (3.12 and later count
// C recursion apart from Python frames, and each version counts differently). The reserve is an
// eighth of the stack, at least 64 KiB and at most 1 MiB, which leaves room to report the error.
// True when the stack's bounds cannot be read.
bool enough_stack_for_nested_run() noexcept;

} // namespace vantorix::python
