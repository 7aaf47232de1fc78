"""Exit handlers run while the interpreter is still whole: runs started from them, and runs
of daemon threads already inside execute, work as they do at any other time, and running the
handlers early (atexit._run_exitfuncs) changes nothing for later runs. Later still, while the
interpreter finalises, only its own thread may run nodes. Each case runs in a child
interpreter, so that a run that never returns shows as a hang, not as a stuck suite."""

import pytest

from _scenarios import rounds, run


def test_an_early_exit_handler_runs_dags_on_the_main_thread_and_on_a_helper():
    def check():
        assert run("exit-handler-runs") == (0, "MAIN 2 2\nHELPER 2 2\n", "")

    rounds(4, check)


@pytest.mark.parametrize("mode", ["sequential", "parallel"])
def test_a_daemon_thread_inside_a_run_lets_go_of_a_lock_an_exit_handler_needs(mode):
    def check():
        assert run("exit-handler-lock", mode) == (0, "LOCKED\n", "")

    rounds(4, check)


def test_running_exit_handlers_early_changes_nothing_for_later_runs():
    assert run("exit-handlers-then-runs") == (0, "MAIN 2 2\nTHREAD 2 2\n", "")


def test_a_finaliser_during_finalisation_runs_sequentially_and_refuses_workers():
    assert run("teardown-finaliser") == (
        0, "SEQUENTIAL 2\nPARALLEL cannot run Python nodes while the interpreter is shutting down\n",
        "")
