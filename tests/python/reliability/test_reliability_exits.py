"""Exits, Ctrl-C and deep recursion, watched from outside: each case runs a program of
_scenarios.py in a child interpreter, several times over, since what can go wrong are races
between the engine's threads and the interpreter's exit. A crash, an abort, a hang or any line
on stderr that should not be there fails the test."""

import signal
import sys
import time

import pytest

from _scenarios import finish, rounds, run, start

ROUNDS = 10


@pytest.mark.parametrize("mode", ["sequential", "parallel"])
def test_sys_exit_in_a_node_exits_with_its_status_and_nothing_runs_after(mode):
    def check():
        # Nothing after the exiting node's batch may run: no LATER, no NOT REACHED.
        assert run("node-exit", mode) == (3, "", "")

    rounds(ROUNDS, check)


@pytest.mark.parametrize("mode", ["sequential", "parallel"])
def test_exit_from_sys_excepthook_stops_the_run_like_one_from_the_node(mode):
    # The interpreter's own printing would end the process from a worker thread (or from
    # inside the run on the calling thread) instead.
    def check():
        assert run("hook-exit", mode) == (0, "RAISED 5\nAGAIN 2\n", "")

    rounds(2, check)


@pytest.mark.parametrize("mode", ["sequential", "parallel"])
def test_ctrl_c_stops_the_run_promptly_and_leaves_no_thread_behind(mode):
    def check():
        child = start("sigint", mode)
        assert child.stdout.readline() == "READY\n"
        child.send_signal(signal.SIGINT)
        status, out, err = finish(child)
        assert (status, err) == (0, "")
        facts = dict(line.partition(" ")[::2] for line in out.splitlines())
        assert sorted(facts) == ["AGAIN", "LATENCY", "TASKS"], out  # no LATER: the run stopped
        tasks_before, tasks_after = facts["TASKS"].split()
        assert tasks_after == tasks_before
        assert facts["AGAIN"] == "2"
        return float(facts["LATENCY"])

    latencies = rounds(ROUNDS, check)
    # A bound for a loaded machine: the wait polls every few tens of milliseconds and checks
    # once more when the batch ends. The figures are printed for `pytest -s`.
    print(f"Ctrl-C latency ({mode}): max {max(latencies):.4f} s over {ROUNDS} runs")
    assert max(latencies) < 2.0


@pytest.mark.parametrize("mode,status", [("parallel", 7), ("sequential", 0)])
def test_exit_while_a_daemon_thread_runs_nodes_ends_cleanly(mode, status):
    def check():
        # The nodes still running when the exit begins finish; the level after them never
        # enters Python (no LATER), and the process keeps the main thread's status.
        assert run("exit-during-run", mode, status) == (status, "READY\n", "")

    rounds(ROUNDS, check)


# "cleared": atexit._clear() first removes every exit handler, the module's if it had one: the
# exit must be safe all the same, with the daemon threads ended inside the engine.
@pytest.mark.parametrize("exit_handlers", ["kept", "cleared"])
def test_exit_while_daemon_threads_run_back_to_back_ends_cleanly(exit_handlers):
    def check():
        assert run("exit-while-looping", 5, exit_handlers) == (5, "", "")

    rounds(ROUNDS, check)


@pytest.mark.parametrize("blocker", ["event", "socket"])
@pytest.mark.parametrize("mode,place", [("sequential", "caller"), ("parallel", "caller"),
                                        ("parallel", "worker")])
def test_exit_abandons_a_daemon_thread_whose_node_blocks(mode, place, blocker):
    def check():
        child = start("blocked-daemon", mode, place, blocker)
        assert child.stdout.readline() == "READY\n"
        began = time.monotonic()
        # Plain CPython exits at once; 20 s only tells a hang (the socket read lasts 30 s).
        assert finish(child, timeout=20) == (0, "", "")
        return time.monotonic() - began

    latencies = rounds(4, check)
    print(f"exit with a blocked node ({mode}, {place}, {blocker}): "
          f"max {max(latencies):.3f} s over {len(latencies)} runs")


# 0 keeps the default limit. On 3.9-3.11 Python calls recurse on the C stack, so the limit that
# is safe depends on the stack: workers get 8 MiB, like the main thread and Python's threads,
# where a plain recursive closure overflows at about 15,000 levels on 3.9 and recursion through
# a builtin at about 13,000 on 3.11 - in a plain script as on a worker. 10,000 keeps a margin;
# a smaller worker stack would crash here.
@pytest.mark.parametrize("limit", [0, 10000])
def test_endless_recursion_on_a_worker_is_a_printed_recursion_error(limit):
    status, out, err = run("recursion", limit)
    target = (limit or sys.getrecursionlimit()) - 100
    assert (status, out) == (0, f"DONE {target} {target}\n"), err
    recursion_errors = [line for line in err.splitlines() if line.startswith("RecursionError")]
    assert len(recursion_errors) == 2, err
