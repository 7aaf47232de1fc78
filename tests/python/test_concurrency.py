"""Parallel mode really runs the nodes of a level at once, in batches of at most max_threads,
and one PyDag can run on several Python threads at the same time."""

import threading
import time

import pytest

from conftest import chain, const, fanout


def level_of(count, function, tail=()):
    """A root node, then `count` branches whose second nodes form one level and run `function`
    with their position under the input `index`; `tail` nodes follow in every branch."""
    branches = [[{"function": const(index=k), "outputs": {"index": f"index{k}"}},
                 {"function": function, "inputs": {f"index{k}": "index"},
                  "outputs": {"out": f"out{k}"}}, *tail] for k in range(count)]
    return fanout({}, *branches)


def test_parallel_level_runs_its_nodes_at_the_same_time():
    barrier = threading.Barrier(2, timeout=10)

    def meet(inputs, params):
        return {"out": barrier.wait()}

    result = level_of(2, meet).execute(True)
    assert sorted(result[f"out{k}"] for k in range(2)) == [0, 1]


def test_one_thread_per_batch_cannot_meet_at_a_barrier(stderr):
    barrier = threading.Barrier(2, timeout=0.5)

    def meet(inputs, params):
        return {"out": barrier.wait()}

    record = []
    tail = {"function": lambda i, p: record.append("tail") or {}}
    result = level_of(2, meet, tail=[tail]).execute(True, 1)
    assert result == {"index0": 0, "index1": 1}
    text = stderr.getvalue()
    assert text.count("Traceback (most recent call last):\n") == 2
    assert text.count("threading.BrokenBarrierError\n") == 2
    assert record == ["tail", "tail"]


def concurrency_probe():
    lock = threading.Lock()
    state = {"running": 0, "peak": 0, "threads": set()}

    def probe(inputs, params):
        with lock:
            state["running"] += 1
            state["peak"] = max(state["peak"], state["running"])
            state["threads"].add(threading.get_ident())
        time.sleep(0.05)
        with lock:
            state["running"] -= 1
        return {"out": inputs["index"]}

    return probe, state


@pytest.mark.parametrize("max_threads, peak", [(0, 1), (1, 1), (2, 2), (True, 1)])
def test_batches_hold_at_most_max_threads_nodes(max_threads, peak):
    probe, state = concurrency_probe()
    result = level_of(5, probe).execute(True, max_threads)
    assert [result[f"out{k}"] for k in range(5)] == list(range(5))
    assert state["peak"] == peak
    assert threading.get_ident() not in state["threads"]


def test_without_max_threads_the_whole_level_starts_at_once():
    barrier = threading.Barrier(5, timeout=10)
    result = level_of(5, lambda i, p: {"out": barrier.wait() * 0 + i["index"]}).execute(True)
    assert [result[f"out{k}"] for k in range(5)] == list(range(5))


@pytest.mark.parametrize("parallel", [False, True])
def test_single_node_levels_and_sequential_runs_use_the_calling_thread(parallel):
    threads = []
    dag = chain(*[{"function": lambda i, p: threads.append(threading.get_ident()) or {}}] * 3)
    dag.execute(parallel)
    assert threads == [threading.get_ident()] * 3


def test_one_dag_executed_from_several_python_threads():
    local = threading.local()
    start = threading.Barrier(4, timeout=10)

    def seed(inputs, params):
        return {"tag": local.tag}  # runs on the calling thread: a one-node level

    def step(offset):
        def function(inputs, params):
            time.sleep(0.001)
            return {"v": inputs["tag"] * 10 + offset}
        return function

    dag = fanout({"function": seed, "outputs": {"tag": "tag"}},
                 [{"function": step(1), "inputs": {"tag": "tag"}, "outputs": {"v": "a"}}],
                 [{"function": step(2), "inputs": {"tag": "tag"}, "outputs": {"v": "b"}}])
    results, errors = {}, []

    def worker(tag):
        local.tag = tag
        try:
            start.wait()
            results[tag] = [dag.execute(tag % 2 == 0) for _ in range(20)]
            results[tag].append(dag.to_mermaid())
        except BaseException as error:  # reported below, not as an unhandled thread error
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(tag,)) for tag in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert errors == []
    expected_text = dag.to_mermaid()
    for tag in range(4):
        *runs, text = results[tag]
        assert runs == [{"tag": tag, "a": tag * 10 + 1, "b": tag * 10 + 2}] * 20
        assert text == expected_text


def test_node_may_run_the_dag_that_is_running_it():
    holder, calls = {}, []

    def nested(inputs, params):
        calls.append(threading.get_ident())
        if len(calls) > 1:
            return {"inner": None}
        return {"inner": holder["dag"].execute(True), "text": holder["dag"].to_mermaid()}

    holder["dag"] = dag = fanout(
        {"function": const(x=1), "outputs": {"x": "x"}},
        [{"function": nested, "outputs": {"inner": "inner", "text": "text"}}],
        [{"function": const(y=2), "outputs": {"y": "y"}}],
    )
    result = dag.execute(True)
    assert result == {"x": 1, "y": 2, "text": dag.to_mermaid(),
                      "inner": {"x": 1, "y": 2, "inner": None}}
    assert threading.get_ident() not in calls
