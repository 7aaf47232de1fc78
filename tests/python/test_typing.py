"""The shipped stubs: found by mypy after installation, faithful to the module, and strict
enough to reject misuse. mypy runs outside the source tree so only the installed stubs count."""

import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import vantorix
from _scripts import EXAMPLES
from conftest import INSTALLED

pytest.importorskip("mypy", reason="mypy is part of the test extra")
if not INSTALLED:
    pytest.skip("the stubs are checked against an installed module; this one comes from "
                + str(Path(vantorix.__file__).parent), allow_module_level=True)


def mypy(*args, cwd):
    completed = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cwd / ".mypy_cache"),
         *map(str, args)],
        cwd=cwd, capture_output=True, text=True, timeout=600, check=False,
    )
    return completed.returncode, completed.stdout + completed.stderr


def test_examples_pass_strict_checking(tmp_path):
    returncode, output = mypy(EXAMPLES, cwd=tmp_path)
    assert returncode == 0, output


def test_stubs_match_the_runtime_module(tmp_path):
    completed = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "vantorix"],
        cwd=tmp_path, capture_output=True, text=True, timeout=600, check=False,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr


MISUSE = textwrap.dedent('''\
    import vantorix

    graph = vantorix.PyGraph()
    graph.add(lambda inputs, params: {"y": 1}, "node", inputs={"x": "a"}, outputs=[("y", "b")])
    graph.add()
    reveal_type(graph.branch(vantorix.PyGraph()))
    dag = graph.build()
    reveal_type(dag)
    reveal_type(dag.execute(True, 2))
    reveal_type(dag.to_mermaid())
    graph.add(label=1)  # error
    graph.add(inputs=(("x", "a"),))  # error
    graph.add(lambda inputs: {})  # error
    graph.add(lambda inputs, params: None)  # error
    graph.branch(dag)  # error
    dag.execute(parallel=1)  # error
    dag.execute(max_threads=2.0)  # error
    vantorix.PyDag()  # error
    vantorix.PyGraph(1)  # error

    class Custom(vantorix.PyGraph):  # error
        pass
''')


def check_types(source, name, revealed_types, cwd):
    """mypy reveals `revealed_types` in `source` and reports an error on exactly the lines that
    end with "# error"."""
    (cwd / name).write_text(source)
    returncode, output = mypy(name, cwd=cwd)
    assert returncode == 1, output
    # mypy 1.x qualifies builtins, later versions do not.
    revealed = [text.replace("builtins.", "")
                for text in re.findall(r'Revealed type is "(.*)"', output)]
    assert revealed == revealed_types
    expected = {n for n, line in enumerate(source.splitlines(), 1) if line.endswith("# error")}
    reported = {int(n) for n in re.findall(rf"^{re.escape(name)}:(\d+): error", output,
                                           re.MULTILINE)}
    assert reported == expected, output


def test_stubs_give_precise_types_and_reject_misuse(tmp_path):
    check_types(MISUSE, "misuse.py", ["int", "vantorix.PyDag", "dict[str, Any]", "str"], tmp_path)


REPORTS = textwrap.dedent('''\
    from typing import Literal, Optional

    import vantorix

    graph = vantorix.PyGraph()
    graph.add(lambda inputs, params: {}, "node")
    dag = graph.build()
    seen: list[vantorix.NodeRecord] = []
    report = dag.execute_detailed(True, 2, inputs={"a": 1}, on_node=seen.append)
    reveal_type(report)
    reveal_type(report.node_outputs)
    reveal_type(dag.levels)
    reveal_type(report.to_mermaid(durations=False))
    reveal_type(report.to_gantt())
    status: Literal["ok", "cached", "failed", "skipped", "not run"] = report.nodes[0].status
    error: Optional[BaseException] = report.failed[0].error
    record_id, label, *rest = report.nodes[0]
    reads: dict[str, Optional[int]] = dag.plan(True)[0].reads
    kind: Literal["unpublished read", "same-level read", "same-level write"] = dag.check()[0].kind
    fields: tuple[str, ...] = dag.check()[0]._fields
    writes: dict[str, str] = dag.plan()[0].writes  # error
    dag.execute_detailed(errors="skip", print_errors=False)
    dag.execute_detailed(errors="stop")  # error
    seconds: float = report.nodes[0].seconds  # error
    started: float = report.nodes[0].started  # error
    dag.execute_detailed(True, 2, {})  # error
    dag.execute_detailed(inputs={1: 2})  # error
    dag.execute_detailed(on_node=lambda: None)  # error
    report.to_mermaid(False)  # error
    dag.levels = []  # error
''')


def test_stubs_type_run_reports(tmp_path):
    check_types(REPORTS, "reports.py",
                ["vantorix.RunReport", "dict[int, dict[str, Any]]", "list[list[int]]", "str",
                 "str"],
                tmp_path)


DASK = textwrap.dedent('''\
    from typing import Literal

    import vantorix
    import vantorix_dask

    graph = vantorix.PyGraph()
    graph.add(lambda inputs, params: {"y": 1}, "node", outputs={"y": "y"})
    dag = graph.build()
    reveal_type(vantorix_dask.execute(dag, scheduler="sync", inputs={"x": 1}, outputs={"y"}))
    report = vantorix_dask.execute_detailed(dag, False, print_errors=False)
    reveal_type(report.failed[0].pid)
    reveal_type(vantorix_dask.to_dask(dag, outputs=["y"]))
    reveal_type(dag.plan(True)[0].inputs)
    status: Literal["ok", "cached", "failed"] = report.nodes[0].status
    started: float = report.nodes[0].started
    reveal_type(report.to_gantt())
    error: str = report.nodes[0].error  # error
    vantorix_dask.execute(graph)  # error
    vantorix_dask.execute(dag, False, "sync")  # error
    vantorix_dask.to_dask(dag, inputs=[("x", 1)])  # error
''')


def test_the_dask_companion_is_typed_strictly(tmp_path):
    pytest.importorskip("dask", reason="dask is not installed (pip install '.[dask]')")
    returncode, output = mypy("-p", "vantorix_dask", cwd=tmp_path)
    assert returncode == 0, output
    check_types(DASK, "on_dask.py", ["dict[str, Any]", "int", "dask.delayed.Delayed",
                                     "list[tuple[str, str]]", "str"], tmp_path)
