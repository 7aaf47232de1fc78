"""Forking while other threads are inside runs: the child, which has only the forking thread,
builds and runs DAGs in both modes and exits normally, ten times over per case, while one parent
thread is inside a node and another keeps queueing reference releases."""

import pytest

from _scenarios import run

CHILD = "CHILD 2 2\n"


@pytest.mark.parametrize("how", ["os-fork", "multiprocessing"])
def test_a_child_forked_during_runs_uses_the_module_and_exits(how):
    assert run("fork-during-run", how) == (0, CHILD * 10 + "PARENT 2 2\n", "")


def test_a_child_forked_by_a_signal_handler_during_a_wait_gives_up_the_parents_workers():
    assert run("fork-in-wait") == (0, "CHILD PanicException 2 2\nPARENT 2 2\n", "")
