"""The shipped stubs: found by mypy after installation, faithful to the module, and strict
enough to reject misuse. mypy runs outside the source tree so only the installed stubs count."""

import re
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import vantorix
from _scripts import EXAMPLES

pytest.importorskip("mypy", reason="mypy is part of the test extra")
if Path(vantorix.__file__).parent != Path(sysconfig.get_paths()["platlib"]):
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


def test_stubs_give_precise_types_and_reject_misuse(tmp_path):
    (tmp_path / "misuse.py").write_text(MISUSE)
    returncode, output = mypy("misuse.py", cwd=tmp_path)
    assert returncode == 1, output
    # mypy 1.x qualifies builtins, later versions do not.
    revealed = [text.replace("builtins.", "")
                for text in re.findall(r'Revealed type is "(.*)"', output)]
    assert revealed == ["int", "vantorix.PyDag", "dict[str, Any]", "str"]
    expected = {n for n, line in enumerate(MISUSE.splitlines(), 1) if line.endswith("# error")}
    reported = {int(n) for n in re.findall(r"^misuse\.py:(\d+): error", output, re.MULTILINE)}
    assert reported == expected, output
