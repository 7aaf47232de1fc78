"""execute_detailed(cache=...): what a node's key covers, values that come back fresh, resuming
a killed run, damaged entries, processes sharing a cache, `recompute` and `max_bytes`."""

import copy
import importlib
import os
import pickle
import subprocess
import sys
import textwrap
import warnings
from pathlib import Path

import pytest

import vantorix
import vantorix_cache
from conftest import chain, const, fanout

try:
    import numpy
except ImportError:  # numpy and pandas are optional: their values are keyed when present
    numpy = None

MODES = [(False,), (True,), (True, 1)]
# The module and the cache package, for child interpreters.
CHILD_PATH = os.pathsep.join([os.path.dirname(os.path.dirname(vantorix_cache.__file__)),
                              os.path.dirname(vantorix.__file__),
                              os.environ.get("PYTHONPATH", "")])


def statuses(report):
    return {record.label: record.status for record in report.nodes}


def run_child(script, *args, timeout=120):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout, check=False,
                          env={**os.environ, "PYTHONPATH": CHILD_PATH})


# --- what the key covers ---------------------------------------------------------------------

# Each case: the user's modules before an edit (the node is `pipeline.node`), the edit (old
# text, new text, in the last module that has the old one) and whether it must make the node
# miss.
NODE = 'def node(inputs, params):\n    return {"y": inputs["x"] + 1}\n'
HELPER = "def helper(v):\n    return v + 1\n\n"
CALLS_HELPER = "def node(inputs, params):\n    return {'y': helper(inputs['x'])}\n"
EDITS = {
    "body": ({"pipeline": NODE}, ("+ 1", "+ 2"), True),
    "helper": ({"pipeline": HELPER + CALLS_HELPER}, ("+ 1", "+ 2"), True),
    "helper of another module": (
        {"helpers": "def normalise(v):\n    return v + 1\n",
         "pipeline": "import helpers\n\ndef node(inputs, params):\n"
                     "    return {'y': helpers.normalise(inputs['x'])}\n"}, ("+ 1", "+ 2"), True),
    "cached helper": ({"pipeline": "import functools\n\n@functools.lru_cache()\n" + HELPER
                                   + CALLS_HELPER}, ("+ 1", "+ 2"), True),
    "closure value": ({"pipeline": "def make(k):\n    def node(inputs, params):\n"
                                   "        return {'y': inputs['x'] + k}\n    return node\n\n"
                                   "node = make(1)\n"}, ("make(1)", "make(2)"), True),
    "default": ({"pipeline": "def node(inputs, params, k=1):\n"
                             "    return {'y': inputs['x'] + k}\n"}, ("k=1", "k=2"), True),
    "keyword default": ({"pipeline": "def node(inputs, params, *, k=1):\n"
                                     "    return {'y': inputs['x'] + k}\n"}, ("k=1", "k=2"),
                        True),
    "module value": ({"pipeline": "SCALE = {'k': 1}\n\ndef node(inputs, params):\n"
                                  "    return {'y': inputs['x'] * SCALE['k']}\n"},
                     ("'k': 1", "'k': 2"), True),
    "nested code": ({"pipeline": "def node(inputs, params):\n"
                                 "    return {'y': (lambda v: v + 1)(inputs['x'])}\n"},
                    ("+ 1", "+ 2"), True),
    "instance state": ({"pipeline": "class Step:\n    def __init__(self, k):\n"
                                    "        self.k = k\n\n    def __call__(self, inputs, params):\n"
                                    "        return {'y': inputs['x'] + self.k}\n\n"
                                    "node = Step(1)\n"}, ("Step(1)", "Step(2)"), True),
    "method of the class": ({"pipeline": "class Model:\n    def shift(self):\n        return 1\n\n"
                                         "    def predict(self, inputs, params):\n"
                                         "        return {'y': inputs['x'] + self.shift()}\n\n"
                                         "node = Model().predict\n"}, ("return 1", "return 3"),
                            True),
    "partial": ({"pipeline": "import functools\n\ndef add(inputs, params, k):\n"
                             "    return {'y': inputs['x'] + k}\n\n"
                             "node = functools.partial(add, k=1)\n"}, ("k=1)", "k=5)"), True),
    # Edits the node cannot see: lines moved, a function it does not read.
    "lines moved": ({"pipeline": NODE}, ("def node", "# a comment\n\n\ndef node"), False),
    "unread function": ({"pipeline": "def other():\n    return 1\n\n" + NODE},
                        ("return 1\n\n", "return 2\n\n"), False),
}


def edited(files, old, new):
    changed = dict(files)
    name = [name for name, text in files.items() if old in text][-1]
    changed[name] = files[name].replace(old, new, 1)
    return changed


def load(directory, files):
    """Imports the files as the user's modules, replacing earlier versions of them."""
    directory.mkdir()
    for name, text in files.items():
        (directory / f"{name}.py").write_text(text)
    sys.path.insert(0, str(directory))
    try:
        for name in files:
            sys.modules.pop(name, None)
        importlib.invalidate_caches()
        return importlib.import_module("pipeline").node
    finally:
        sys.path.remove(str(directory))


@pytest.mark.parametrize("before, edit, misses", EDITS.values(), ids=EDITS)
def test_an_edit_of_what_the_function_reads_makes_it_miss(tmp_path, before, edit, misses):
    cache = tmp_path / "cache"
    seen = []
    for version, files in enumerate([before, edited(before, *edit), before]):
        function = load(tmp_path / f"v{version}", files)
        dag = chain({"function": function, "label": "node", "inputs": {"x": "x"},
                     "outputs": {"y": "y"}})
        report = dag.execute_detailed(inputs={"x": 10}, cache=cache)
        seen.append((statuses(report)["node"], report.context["y"]))
    for name in ("pipeline", "helpers"):
        sys.modules.pop(name, None)
    assert seen[0][0] == "ok" and seen[2] == ("cached", seen[0][1])
    assert seen[1][0] == ("ok" if misses else "cached")


def test_an_unchanged_rerun_hits_every_node_in_every_mode(tmp_path):
    def scale(inputs, params):
        return {"out": [row * 2 for row in inputs["rows"]]}

    dag = fanout({"function": const(rows=[0.0, 1.0, 2.0, 3.0, 4.0, 5.0]), "label": "root",
                  "outputs": {"rows": "rows"}},
                 [{"function": scale, "label": "left", "inputs": {"rows": "rows"},
                   "outputs": {"out": "left"}}, {"label": "no-op"}],
                 [{"function": lambda i, p: {"n": {"size": len(i["rows"])}}, "label": "right",
                   "inputs": {"rows": "rows"}, "outputs": {"n": "n"}}],
                 after=[{"function": scale, "label": "main", "inputs": {"rows": "rows"},
                         "outputs": {"out": "main"}}])
    cache = vantorix_cache.Cache(tmp_path)
    first = dag.execute_detailed(cache=cache)
    assert set(statuses(first).values()) == {"ok"}
    for arguments in MODES:
        again = dag.execute_detailed(*arguments, cache=cache)
        assert statuses(again) == {label: "ok" if label == "no-op" else "cached"
                                   for label in statuses(first)}
        assert repr(again) == "<vantorix.RunReport: 5 nodes, 1 ok, 4 cached, 0 failed, 0 not run>"
        assert list(again.context.items()) == list(first.context.items())
        assert again.node_outputs.keys() == first.node_outputs.keys()
        assert "    class 0,1,2,4 cached\n" in again.to_mermaid(durations=False)
    stats = cache.stats()
    assert (stats.entries, stats.hits, stats.misses) == (4, 12, 4)


def distinct_values():
    """Inputs that must never share a key (and of which copies must)."""
    values = [1, 1.0, True, "1", b"1", bytearray(b"1"), 1 + 0j, None, (1,), [1], {1},
              frozenset({1}), {"1": 1}, {1: "1"}, [1, [1]], [[1], 1], (1.0,), -0.0, 0.0,
              list(range(40)), list(range(39)) + [39.0], {"a", "b", "c"}, {"a", "b"}]
    if numpy is not None:
        values += [numpy.int64(1), numpy.float64(1.0), numpy.array([1]), numpy.array([1.0]),
                   numpy.array([1], dtype=numpy.int32), numpy.arange(4).view(numpy.float64),
                   numpy.arange(4), numpy.arange(4).reshape(2, 2),
                   numpy.arange(4).reshape(2, 2).T, numpy.array(["1"]),
                   numpy.array([1], dtype=object)]
    try:
        import pandas
    except ImportError:
        return values
    frame = pandas.DataFrame({"a": [1, 2], "b": ["x", "y"]})
    return values + [frame, frame.astype({"a": "float64"}), frame.rename(columns={"b": "c"}),
                     frame.set_index("b"), frame["a"], frame["a"].rename("other"),
                     frame["b"].astype("category"), pandas.Index([1, 2]), pandas.RangeIndex(2)]


def test_inputs_are_keyed_by_type_and_content(tmp_path):
    dag = chain({"function": lambda i, p: {"t": type(i["v"]).__name__}, "label": "node",
                 "inputs": {"v": "v"}, "outputs": {"t": "t"}})
    values = distinct_values()
    for value in values:
        report = dag.execute_detailed(inputs={"v": value}, cache=tmp_path)
        assert statuses(report) == {"node": "ok"}, repr(value)
    for value in values:
        report = dag.execute_detailed(inputs={"v": copy.deepcopy(value)}, cache=tmp_path)
        assert statuses(report) == {"node": "cached"}, repr(value)
        assert report.context["t"] == type(value).__name__


def test_values_come_back_fresh_from_the_store(tmp_path):
    def make(inputs, params):
        return {"rows": [1, 2], "array": numpy.zeros(3) if numpy else [0.0] * 3}

    def mutate(inputs, params):
        inputs["rows"].append(99)
        inputs["array"][:] = [7.0] * 3
        return {"seen": (list(inputs["rows"]), float(sum(inputs["array"])))}

    dag = chain({"function": make, "label": "make", "outputs": {"rows": "rows", "array": "array"}},
                {"function": mutate, "label": "mutate", "inputs": {"rows": "rows", "array": "array"},
                 "outputs": {"seen": "seen"}})
    for _ in range(3):
        report = dag.execute_detailed(cache=tmp_path)
        assert report.context["seen"] == ([1, 2, 99], 21.0)
        report.context["rows"].append(-1)
        report.context["array"][0] = -1.0
    assert set(statuses(report).values()) == {"cached"}


# --- resuming, damage and sharing ----------------------------------------------------------

PIPELINE = """
import os, sys
import vantorix

def step(inputs, params):
    if inputs["k"] == int(os.environ.get("KILL_AT", -1)):
        os._exit(3)  # no handler, no flush: as a lost process
    return {"x": inputs["x"] + [inputs["k"]], "tags": {"a", "b", str(inputs["k"])}}

graph = vantorix.PyGraph()
graph.add(lambda inputs, params: {"x": []}, "start", outputs={"x": "x"})
for k in range(6):
    graph.add(step, f"step {k}", inputs={"x": "x", f"k{k}": "k", "tags": "tags"},
              outputs={"x": "x", "tags": "tags"})
dag = graph.build()
inputs = {f"k{k}": k for k in range(6)}
report = dag.execute_detailed(inputs=inputs, cache=sys.argv[1])
print(report.context["x"], [record.status for record in report.nodes])
"""


def test_a_killed_run_resumes_with_only_the_nodes_that_had_not_finished(tmp_path):
    killed = subprocess.run([sys.executable, "-c", PIPELINE, str(tmp_path)], timeout=120,
                            env={**os.environ, "PYTHONPATH": CHILD_PATH, "KILL_AT": "3"},
                            capture_output=True, text=True, check=False)
    assert (killed.returncode, killed.stdout) == (3, ""), killed.stderr
    resumed = run_child(PIPELINE, tmp_path)
    assert resumed.stdout == ("[0, 1, 2, 3, 4, 5] ['cached', 'cached', 'cached', 'cached', "
                              "'ok', 'ok', 'ok']\n"), resumed.stderr
    # Another process, with its own string hashing: the sets in the inputs key alike.
    assert run_child(PIPELINE, tmp_path).stdout.endswith(f"{['cached'] * 7}\n")


def damage(path, how):
    data = path.read_bytes()
    if how == "truncated":
        data = data[:len(data) // 2]
    elif how == "header only":
        data = data[:20]
    elif how == "empty":
        data = b""
    elif how == "flipped payload byte":
        data = data[:-1] + bytes([data[-1] ^ 1])
    elif how == "other format":
        data = data[:4] + b"\x63\x00" + data[6:]
    path.write_bytes(data)


@pytest.mark.parametrize("how", ["truncated", "header only", "empty", "flipped payload byte",
                                 "other format", "another entry"])
def test_damaged_entries_are_misses_and_are_replaced(tmp_path, how):
    big = numpy.arange(10**5) if numpy else list(range(10**5))  # an out-of-band buffer
    dag = chain({"function": const(a=big), "label": "a", "outputs": {"a": "a"}},
                {"function": lambda i, p: {"b": int(sum(i["a"]))}, "label": "b",
                 "inputs": {"a": "a"}, "outputs": {"b": "b"}})
    expected = dag.execute_detailed(cache=tmp_path).context
    entries = sorted(tmp_path.glob("*/*"))
    contents = [entry.read_bytes() for entry in entries]
    for entry, other in zip(entries, contents[1:] + contents[:1]):
        if how == "another entry":  # each file holds the entry of another key
            entry.write_bytes(other)
        else:
            damage(entry, how)
    for status in ("ok", "cached"):
        report = dag.execute_detailed(cache=tmp_path)
        assert set(statuses(report).values()) == {status}
        assert list(report.context["a"]) == list(expected["a"])
        assert report.context["b"] == expected["b"]


HAMMER = """
import sys
import vantorix

def square(inputs, params):
    return {"y": [inputs["x"] ** 2] * 1000}

graph = vantorix.PyGraph()
graph.add(lambda inputs, params: {"x": inputs["seed"]}, "seed", inputs={"seed": "seed"},
          outputs={"x": "x"})
for _ in range(4):  # four nodes of one level share one key
    branch = vantorix.PyGraph()
    branch.add(square, "square", inputs={"x": "x"}, outputs={"y": "y"})
    graph.branch(branch)
dag = graph.build()
for round_number in range(int(sys.argv[2])):
    seed = round_number % 7
    context = dag.execute_detailed(True, inputs={"seed": seed}, cache=sys.argv[1]).context
    assert context == {"seed": seed, "x": seed, "y": [seed ** 2] * 1000}, context
print("ok")
"""


def test_processes_and_threads_writing_one_cache_at_once_leave_it_right(tmp_path):
    children = [subprocess.Popen([sys.executable, "-c", HAMMER, str(tmp_path), "40"],
                                 env={**os.environ, "PYTHONPATH": CHILD_PATH},
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                for _ in range(3)]
    for child in children:
        out, err = child.communicate(timeout=300)
        assert (child.returncode, out) == (0, "ok\n"), err
    stats = vantorix_cache.Cache(tmp_path).stats()
    assert stats.entries == 14  # seed and square for each of the 7 seeds
    assert not list(tmp_path.glob("*/.tmp-*"))


# --- options, arguments and records ----------------------------------------------------------


def test_recompute_runs_a_node_anew_and_keys_what_reads_it_on_its_new_values(tmp_path):
    source = tmp_path / "source.txt"
    source.write_text("1")
    dag = chain({"function": lambda i, p: {"text": source.read_text()}, "label": "read",
                 "outputs": {"text": "text"}},
                {"function": lambda i, p: {"n": int(i["text"]) * 10}, "label": "parse",
                 "inputs": {"text": "text"}, "outputs": {"n": "n"}})
    cache = tmp_path / "cache"
    assert dag.execute_detailed(cache=cache).context["n"] == 10
    source.write_text("2")  # a file read by name is not part of the key
    assert dag.execute_detailed(cache=cache).context["n"] == 10
    fresh = vantorix_cache.Cache(cache, recompute={"read"})
    report = dag.execute_detailed(cache=fresh)
    assert (statuses(report), report.context["n"]) == ({"read": "ok", "parse": "ok"}, 20)
    assert statuses(dag.execute_detailed(cache=fresh)) == {"read": "ok", "parse": "cached"}
    assert statuses(dag.execute_detailed(cache=cache))["parse"] == "cached"


def test_max_bytes_keeps_the_entries_used_last(tmp_path):
    def node(label):
        return {"function": lambda i, p: {"v": label.encode() * 10_000}, "label": label,
                "outputs": {"v": label}}

    def run(*labels, cache):
        return statuses(chain(*map(node, labels)).execute_detailed(cache=cache))

    probe = vantorix_cache.Cache(tmp_path / "probe")
    run("a", cache=probe)
    size = probe.stats().bytes
    cache = vantorix_cache.Cache(tmp_path / "bounded", max_bytes=3 * size + size // 2)
    assert run("a", "b", "c", "d", "e", cache=cache) == dict.fromkeys("abcde", "ok")
    assert cache.stats()[:2] == (3, 3 * size)
    assert run("c", cache=cache) == {"c": "cached"}  # c is now used later than d and e
    assert run("f", cache=cache) == {"f": "ok"}
    assert run("c", "e", "f", cache=cache) == {"c": "cached", "e": "cached", "f": "cached"}
    assert run("d", cache=cache) == {"d": "ok"}
    tiny = vantorix_cache.Cache(tmp_path / "tiny", max_bytes=size - 1)
    with pytest.warns(vantorix_cache.CacheWarning):
        report = chain(node("a")).execute_detailed(cache=tiny)
    assert report.nodes[0].uncached == (f"its results were not stored: {size} bytes, above "
                                        f"max_bytes={size - 1}")


def test_what_cannot_be_cached_runs_and_says_why_once(tmp_path, capsys):
    def broken(inputs, params):
        raise ValueError("no")

    dag = chain({"function": lambda i, p: {"g": (n for n in ()), "n": 1}, "label": "makes",
                 "outputs": {"g": "g", "n": "n"}},
                {"function": lambda i, p: {"m": i["n"] + 1}, "label": "reads",
                 "inputs": {"g": "g", "n": "n"}, "outputs": {"m": "m"}},
                {"function": broken, "label": "broken"})
    for _ in range(2):
        with pytest.warns(vantorix_cache.CacheWarning) as caught:
            report = dag.execute_detailed(cache=tmp_path, print_errors=False)
        assert len(caught) == 1
        assert str(caught[0].message) == (
            "node 'makes' (id 0) and 1 more ran without the cache: its results were not "
            "stored: result 'g' cannot be pickled: cannot pickle 'generator' object")
        assert [(r.status, r.uncached) for r in report.nodes] == [
            ("ok", "its results were not stored: result 'g' cannot be pickled: cannot pickle "
                   "'generator' object"),
            ("ok", "input 'g' cannot be keyed: cannot pickle 'generator' object"),
            ("failed", None)]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        report = dag.execute_detailed(cache=None, print_errors=False)
    assert [r.uncached for r in report.nodes] == [None, None, None]


def test_the_cache_argument_and_the_cache_object(tmp_path):
    dag = chain({"function": const(v=1), "label": "v", "outputs": {"v": "v"}})
    with pytest.raises(TypeError, match=r"^argument 'cache': expected a path \(str or "
                                        r"os.PathLike\) or a vantorix_cache.Cache, got 'int'$"):
        dag.execute_detailed(cache=3)
    assert not list(tmp_path.iterdir())
    nested = tmp_path / "made" / "if missing"
    assert statuses(dag.execute_detailed(cache=nested)) == {"v": "ok"}
    assert statuses(dag.execute_detailed(cache=str(nested))) == {"v": "cached"}
    cache = vantorix_cache.Cache(nested, recompute="v", max_bytes=10**6)
    copied = pickle.loads(pickle.dumps(cache))
    assert (copied.path, copied.recompute, copied.max_bytes) == (
        str(nested), frozenset({"v"}), 10**6)
    assert repr(cache) == f"vantorix_cache.Cache({str(nested)!r}, recompute=['v'], max_bytes=1000000)"
    dag.execute_detailed(cache=cache)
    cache.count(hits=5, misses=2)
    assert cache.stats()[2:] == (5, 3) and copied.stats()[2:] == (0, 0)
    (nested / "mine.txt").write_text("kept")
    cache.clear()
    assert cache.stats().entries == 0 and [p.name for p in nested.iterdir()] == ["mine.txt"]
    with pytest.raises(ValueError):
        vantorix_cache.Cache(tmp_path, max_bytes=-1)
    assert vantorix_cache.as_cache(cache) is cache
    assert vantorix_cache.as_cache(Path(nested)).path == str(nested)
    # A directory that cannot be used: the run goes on without it, and says so once.
    not_a_directory = tmp_path / "file"
    not_a_directory.write_text("")
    with pytest.warns(vantorix_cache.CacheWarning, match="Not a directory"):
        report = dag.execute_detailed(cache=not_a_directory)
    assert (report.context, report.nodes[0].status) == ({"v": 1}, "ok")
