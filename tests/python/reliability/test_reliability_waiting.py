"""Threads that wait for their workers: waits off the main thread sleep until the batch is
done, however many there are; the main thread's wait still runs Python's signal handlers."""

from _scenarios import finish, run, start


def test_parallel_runs_nested_1000_deep_finish():
    # Each level's calling thread waits for its worker: 1,000 waiting threads at the deepest
    # point, as deep as runs may nest. When every wait woke to poll, 2,500 levels took half a
    # minute (3.11) to several (3.9, 3.13); 1,000 take well under a second, a few under ASan. The
    # timeout tells a crawl from a run.
    assert finish(start("nested-runs", 1000), timeout=20) == (0, "DONE 1000\n", "")


def test_the_main_thread_runs_signal_handlers_while_it_waits():
    # The nodes block on workers until their handler has run: for a signal the process
    # receives, and for _thread.interrupt_main, which comes without one.
    assert run("signal-handlers-while-waiting") == (0, "HANDLED True True\n", "")
