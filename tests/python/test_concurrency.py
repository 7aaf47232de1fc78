"""Parallel mode really runs the nodes of a level at once, in batches of at most max_threads,
and one PyDag can run on several Python threads at the same time."""

import subprocess
import sys
import textwrap
import threading
import time

import pytest

import vantorix

from conftest import chain, const, fanout


def level_of(count, function, tail=()):
    """`count` branches whose second nodes form one level and run `function` with their
    position as input `index`; the `tail` nodes follow in every branch."""
    return fanout({}, *[[{"function": const(index=k), "outputs": {"index": f"index{k}"}},
                         {"function": function, "inputs": {f"index{k}": "index"},
                          "outputs": {"out": f"out{k}"}}, *tail] for k in range(count)])


def test_parallel_level_runs_its_nodes_at_the_same_time():
    barrier = threading.Barrier(2, timeout=10)
    result = level_of(2, lambda i, p: {"out": barrier.wait()}).execute(True)
    assert sorted([result["out0"], result["out1"]]) == [0, 1]


def test_one_thread_per_batch_cannot_meet_at_a_barrier(capsys):
    barrier, record = threading.Barrier(2, timeout=0.5), []
    tail = {"function": lambda i, p: record.append("tail") or {}}
    result = level_of(2, lambda i, p: {"out": barrier.wait()}, tail=[tail]).execute(True, 1)
    assert result == {"index0": 0, "index1": 1}
    text = capsys.readouterr().err
    assert text.count("Traceback (most recent call last):\n") == 2
    assert text.count("threading.BrokenBarrierError\n") == 2
    assert record == ["tail", "tail"]  # the run went on


@pytest.mark.parametrize("max_threads, peak", [(None, 5), (0, 1), (1, 1), (2, 2), (True, 1)])
def test_batches_hold_at_most_max_threads_nodes(max_threads, peak):
    lock, running, seen = threading.Lock(), [0], {"peak": 0, "threads": set()}
    everyone = threading.Barrier(5, timeout=10)

    def probe(inputs, params):
        with lock:
            running[0] += 1
            seen["peak"] = max(seen["peak"], running[0])
            seen["threads"].add(threading.get_ident())
        if max_threads is None:
            everyone.wait()  # all five started together
        time.sleep(0.1)  # long enough for the other workers of the batch to start
        with lock:
            running[0] -= 1
        return {"out": inputs["index"]}

    result = level_of(5, probe).execute(True, max_threads)
    assert [result[f"out{k}"] for k in range(5)] == list(range(5))
    assert seen["peak"] == peak
    assert threading.get_ident() not in seen["threads"]


@pytest.mark.parametrize("parallel", [False, True])
def test_single_node_levels_and_sequential_runs_use_the_calling_thread(parallel):
    threads = []
    chain(*[{"function": lambda i, p: threads.append(threading.get_ident()) or {}}] * 3).execute(parallel)
    assert threads == [threading.get_ident()] * 3


def test_one_dag_executed_from_several_python_threads():
    local, start = threading.local(), threading.Barrier(4, timeout=10)

    def step(offset):
        def function(inputs, params):
            time.sleep(0.001)
            return {"v": inputs["tag"] * 10 + offset}
        return function

    # The seed is a one-node level, so it runs on the calling thread and sees its tag.
    dag = fanout({"function": lambda i, p: {"tag": local.tag}, "outputs": {"tag": "tag"}},
                 [{"function": step(1), "inputs": {"tag": "tag"}, "outputs": {"v": "a"}}],
                 [{"function": step(2), "inputs": {"tag": "tag"}, "outputs": {"v": "b"}}])
    results, errors = {}, []

    def worker(tag):
        local.tag = tag
        try:
            start.wait()
            results[tag] = [dag.execute(tag % 2 == 0) for _ in range(20)] + [dag.to_mermaid()]
        except BaseException as error:  # reported below, not as an unhandled thread error
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(tag,)) for tag in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert errors == []
    for tag in range(4):
        assert results[tag] == [{"tag": tag, "a": tag * 10 + 1, "b": tag * 10 + 2}] * 20 + [dag.to_mermaid()]


def test_node_may_run_the_dag_that_is_running_it():
    holder, calls = {}, []

    def nested(inputs, params):
        calls.append(threading.get_ident())
        if len(calls) > 1:
            return {"inner": None}
        return {"inner": holder["dag"].execute(True), "text": holder["dag"].to_mermaid()}

    holder["dag"] = dag = fanout({"function": const(x=1), "outputs": {"x": "x"}},
                                 [{"function": nested, "outputs": {"inner": "inner", "text": "text"}}],
                                 [{"function": const(y=2), "outputs": {"y": "y"}}])
    result = dag.execute(True)
    assert result == {"x": 1, "y": 2, "text": dag.to_mermaid(), "inner": {"x": 1, "y": 2, "inner": None}}
    assert threading.get_ident() not in calls


@pytest.mark.parametrize("parallel", [False, True])
def test_process_exits_cleanly_while_a_daemon_thread_is_executing(parallel):
    code = textwrap.dedent(f"""
        import threading, time, vantorix
        graph = vantorix.PyGraph()
        graph.add()
        for _ in range(2):
            branch = vantorix.PyGraph()
            for _ in range(50):
                branch.add(lambda i, p: time.sleep(0.005) or {{}})
            graph.branch(branch)
        dag, started = graph.build(), threading.Event()

        def loop():
            started.set()
            while True:
                dag.execute({parallel})

        threading.Thread(target=loop, daemon=True).start()
        started.wait()
        time.sleep(0.2)
        print("ok")
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout, result.stderr) == (0, "ok\n", "")


def test_the_first_threads_of_a_process_can_be_a_parallel_run_s_workers():
    # A free-threaded interpreter makes the objects of deferred reference counts immortal when
    # the first thread state besides the main thread's is made: workers must not race at it.
    # Checked in fresh processes, whose races the ThreadSanitizer stage reports.
    code = textwrap.dedent("""
        import vantorix
        graph = vantorix.PyGraph()
        graph.add()
        for k in range(16):
            branch = vantorix.PyGraph()
            branch.add(lambda i, p, k=k: {"out": k}, outputs={"out": f"out{k}"})
            graph.branch(branch)
        print(sorted(graph.build().execute(True).values()) == list(range(16)))
    """)
    for _ in range(8):
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                timeout=60)
        assert (result.returncode, result.stdout, result.stderr) == (0, "True\n", "")


def on_threads(count, action):
    """Runs `action(index)` on `count` threads released together; returns what each returned."""
    start, results, errors = threading.Barrier(count, timeout=30), [None] * count, []

    def run(index):
        try:
            start.wait()
            results[index] = action(index)
        except BaseException as error:  # reported below, not as an unhandled thread error
            errors.append(error)

    threads = [threading.Thread(target=run, args=(index,)) for index in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert errors == []
    return results


def test_threads_adding_to_one_graph_wait_for_each_other_and_lose_no_node():
    graph = vantorix.PyGraph()
    on_threads(8, lambda k: [graph.add(const(v=k), outputs={"v": f"v{k}_{n}"})
                             for n in range(500)])
    result = graph.build().execute()
    assert result == {f"v{k}_{n}": k for k in range(8) for n in range(500)}


def test_nodes_that_change_one_container_at_once_publish_it_whole():
    shared = {}

    def fill(inputs, params):
        for n in range(2000):
            shared[(inputs["index"], n)] = n
        shared["out"] = inputs["index"]
        return shared  # read by the run while the other nodes still change it

    result = level_of(8, fill).execute(True)
    assert len(shared) == 8 * 2000 + 1
    assert all(result[f"out{k}"] in range(8) for k in range(8))


def test_first_reads_of_a_report_from_many_threads_see_the_same_objects():
    report = level_of(4, const(out=[1])).execute_detailed(True)
    names = ("node_outputs", "branch_outputs", "nodes", "failed")
    seen = on_threads(8, lambda k: [getattr(report, name) for name in names])
    assert all(all(a is b for a, b in zip(seen[0], row)) for row in seen)
    assert len(report.nodes) == 9 and report.failed == []
