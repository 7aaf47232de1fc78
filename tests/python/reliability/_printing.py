"""A failed node's report beside the interpreter's own printing of the same error, in a child
interpreter: python _printing.py SETUP NODE writes what a run of the node NODE prints under
SETUP (hooks installed or removed), a separator line, and then what the interpreter's printing
routine (PyErr_Print, reached through PyRun_SimpleString) writes for the same error raised by
the same function. The only line that differs by design is the "<string>" frame of the
interpreter's side, which the parent drops."""

import ctypes
import sys
import traceback

import vantorix

SEPARATOR = "----- printed by the interpreter -----"


def plain(inputs, params):
    raise ValueError("node failure")


def chained(inputs, params):
    try:
        {}["missing"]
    except KeyError as error:
        raise RuntimeError("while looking up") from error


def implicit(inputs, params):
    try:
        1 / 0
    except ZeroDivisionError:
        raise LookupError("while dividing")


class Unprintable(Exception):
    def __str__(self):
        raise TypeError("no text")


def unprintable(inputs, params):
    raise Unprintable()


def hook_reading_value(kind, value, tb):
    # What logging hooks commonly do: the traceback is read from the exception itself.
    traceback.print_exception(type(value), value, value.__traceback__)


def hook_raising(kind, value, tb):
    raise OSError("hook failed")


def audit_hook_raising(kind):
    def audit(event, args):
        if event == "sys.excepthook":
            raise kind("vetoed by audit hook")

    return audit


SETUPS = {
    "default": lambda: None,
    "hook-reads-value": lambda: setattr(sys, "excepthook", hook_reading_value),
    "hook-raises": lambda: setattr(sys, "excepthook", hook_raising),
    "hook-none": lambda: setattr(sys, "excepthook", None),
    "hook-missing": lambda: delattr(sys, "excepthook"),
    "audit-raises-runtime-error": lambda: sys.addaudithook(audit_hook_raising(RuntimeError)),
    "audit-raises-value-error": lambda: sys.addaudithook(audit_hook_raising(ValueError)),
    "audit-raises-and-hook-reads-value": lambda: (
        sys.addaudithook(audit_hook_raising(KeyError)),
        setattr(sys, "excepthook", hook_reading_value)),
}
NODES = {"plain": plain, "chained": chained, "implicit": implicit, "unprintable": unprintable}


def main(setup, node):
    function = NODES[node]
    graph = vantorix.PyGraph()
    graph.add(function)
    dag = graph.build()
    SETUPS[setup]()
    dag.execute()
    sys.stderr.write(SEPARATOR + "\n")
    sys.stderr.flush()
    ctypes.pythonapi.PyRun_SimpleString(f"{function.__name__}({{}}, {{}})".encode())


if __name__ == "__main__":
    main(*sys.argv[1:])
