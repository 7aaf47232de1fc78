"""What a node publishes from the dict its callable returns, checked against the rule written
out in Python: every entry with a `str` key readable as UTF-8 becomes an output under its text
(a later key with the same text wins), read from the dict's own storage, and the node's output
mapping then picks what reaches the context. Also the result dict that `execute` builds."""

import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import Guarded, OwnHash, chain, fanout


class Plain(str):
    pass


TEXTS = ["y", "out", "é", "名前", "\ud800", ""]

keys = st.one_of(
    st.sampled_from(TEXTS),
    st.builds(OwnHash, st.sampled_from(TEXTS)),
    st.builds(Plain, st.sampled_from(TEXTS)),
    st.sampled_from([1, None, ("y",), b"y"]),
)


def expected_outputs(returned):
    outputs = {}
    for key, value in dict.items(returned):
        if not isinstance(key, str):
            continue
        text = str.__str__(key)  # the text itself, whatever the subclass overrides
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:
            continue
        outputs[text] = value
    return outputs


@settings(max_examples=150, deadline=None)
@given(entries=st.lists(st.tuples(keys, st.integers()), max_size=8),
       published=st.lists(st.sampled_from(TEXTS[:-2] + ["missing"]), unique=True),
       subclass=st.booleans(), parallel=st.booleans())
def test_outputs_follow_the_returned_dicts_own_entries(entries, published, subclass, parallel):
    returned = {}
    for key, value in entries:
        returned[key] = value
    if subclass:
        returned = Guarded(returned)
    mapping = {name: f"ctx:{name}" for name in published}
    outputs = expected_outputs(returned)
    expected = {mapping[name]: outputs[name] for name in published if name in outputs}

    node = {"function": lambda i, p: returned, "outputs": mapping}
    assert chain(node).execute() == expected
    # The same node on a worker thread (in parallel mode): a level of two, beside a silent node.
    dag = fanout({"function": None}, [node], [{"function": None}])
    result = dag.execute(parallel)
    assert result == expected
    assert all(result[name] is value for name, value in expected.items())


def test_a_later_key_with_the_same_text_replaces_an_earlier_one():
    first, second = object(), object()
    returned = {"y": first, OwnHash("y"): second}
    assert len(returned) == 2
    dag = chain({"function": lambda i, p: returned, "outputs": {"y": "v"}})
    for parallel in (False, True):
        assert dag.execute(parallel)["v"] is second


def test_two_results_published_under_one_name_leave_one_of_them():
    dag = chain({"function": lambda i, p: {"a": 1, "b": 2}, "outputs": {"a": "v", "b": "v"}})
    assert dag.execute() in ({"v": 1}, {"v": 2})


def test_two_context_names_read_under_one_function_name_give_one_entry():
    seen = []
    dag = chain({"function": lambda i, p: {"p": "P", "q": "Q"}, "outputs": {"p": "p", "q": "q"}},
                {"function": lambda i, p: seen.append(dict(i)) or {},
                 "inputs": [("p", "x"), ("q", "x"), ("missing", "x")]})
    dag.execute()
    dag.execute(True)
    assert seen[0] == seen[1] and seen[0] in ({"x": "P"}, {"x": "Q"})


def test_result_dicts_are_new_and_hold_plain_str_keys():
    names = [f"v{k}" for k in range(20)]
    dag = chain(*[{"function": lambda i, p, k=k: {"y": k}, "outputs": {"y": name}}
                  for k, name in enumerate(names)])
    first = dag.execute()
    first.clear()
    first["extra"] = 1
    second = dag.execute(True)
    assert second == {name: k for k, name in enumerate(names)}
    assert all(type(key) is str for key in second)
    assert second is not dag.execute()


def test_first_runs_on_several_threads_at_once_all_get_the_full_result():
    dag = chain(*[{"function": lambda i, p, k=k: {"y": k}, "outputs": {"y": f"v{k}"}}
                  for k in range(200)])
    expected = {f"v{k}": k for k in range(200)}
    barrier = threading.Barrier(4, timeout=30)
    results = []

    def run(parallel):
        barrier.wait()
        results.append(dag.execute(parallel))

    threads = [threading.Thread(target=run, args=(index % 2 == 1,)) for index in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert results == [expected] * 4


@pytest.mark.parametrize("parallel", [False, True])
def test_values_that_no_node_publishes_are_simply_missing(parallel):
    seen = []
    dag = fanout({"function": lambda i, p: {"a": 1}, "outputs": {"a": "a", "b": "b"}},
                 [{"function": lambda i, p: seen.append(dict(i)) or {"c": 3},
                   "inputs": {"a": "a", "b": "b", "nobody": "n"}, "outputs": {"c": "c"}}],
                 [{"function": None, "inputs": {"a": "a"}, "outputs": {"a": "z"}}])
    assert dag.execute(parallel) == {"a": 1, "c": 3}
    assert seen == [{"a": 1}]
