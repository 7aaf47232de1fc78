"""The example scripts run against the installed module and compute what they claim."""

import ast
import re
import subprocess
import sys

from _scripts import EXAMPLES, run_python


def printed_values(text):
    """{name: value} from lines of the form `name = repr(value)`."""
    values = {}
    for line in text.splitlines():
        name, _, value = line.partition(" = ")
        values[name] = ast.literal_eval(value)
    return values


def test_quickstart_prints_its_word_statistics_and_diagram(tmp_path):
    stdout = run_python(EXAMPLES / "quickstart.py", cwd=tmp_path)
    results, diagram = stdout.split("\n\n")
    text = "the quick brown fox jumps over the lazy dog"
    assert printed_values(results) == {
        "text": text,
        "words": text.split(),
        "word_count": 9,
        "char_count": len(text),
        "longest_word": "quick",
    }
    lines = diagram.splitlines()
    assert lines[0] == "graph TD"
    assert "    0 -->|text → sentence| 1" in lines
    assert "    1 -->|words → items| 2" in lines
    # Both branches start at "split" and only they are highlighted.
    assert [line for line in lines if "style" in line] == [
        "    style 3 fill:#e1f5ff",
        "    style 4 fill:#e1f5ff",
    ]


def test_data_pipeline_agrees_across_modes_and_reports_speed_up(tmp_path):
    stdout = run_python(EXAMPLES / "data_pipeline.py", "--shards", "5", "--latency", "0.01",
                        "--max-threads", "2", cwd=tmp_path)
    numbers = range(5 * 100)
    assert f"summary: {{'count': 500, 'total': {sum(numbers)}, 'largest': 499}}" in stdout
    assert "results agree: True" in stdout
    assert len(re.findall(r"speed-up \d+\.\dx", stdout)) == 2
    assert "max_threads=2" in stdout


def test_branching_writes_its_diagram_where_asked(tmp_path):
    target = tmp_path / "flow.mmd"
    stdout = run_python(EXAMPLES / "branching.py", target, cwd=tmp_path)
    assert stdout.splitlines()[0] == "branch ids: fraud=1, stock=2, restock (inside stock)=1"
    assert stdout.splitlines()[-1] == f"wrote {target}"
    values = printed_values("\n".join(stdout.splitlines()[1:-1]))
    assert values["flagged"] is True
    assert values["purchase_orders"] == ["reorder chair"]
    assert values["message"] == "Thank you! Your card was charged 240.00."

    diagram = target.read_text(encoding="utf-8")
    lines = diagram.splitlines()
    assert diagram.endswith("\n") and lines[0] == "graph TD"
    assert len([line for line in lines if line.endswith('"]')]) == 8
    # The nested branch starts at "reserve stock", not at the main chain.
    assert "    6 -->|missing → names| 7" in lines
    assert [line for line in lines if "style" in line] == [
        f"    style {node} fill:#e1f5ff" for node in (4, 6, 7)
    ]


def test_branching_defaults_to_the_temp_directory(tmp_path):
    stdout = run_python(EXAMPLES / "branching.py", cwd=tmp_path, env={"TMPDIR": str(tmp_path)})
    target = tmp_path / "order-flow.mmd"
    assert stdout.splitlines()[-1] == f"wrote {target}"
    assert target.read_text(encoding="utf-8").startswith("graph TD\n")


def test_run_report_names_the_failed_nodes_and_draws_the_run(tmp_path):
    target = tmp_path / "run.mmd"
    for mode in ([], ["--parallel"]):
        completed = subprocess.run(
            [sys.executable, EXAMPLES / "run_report.py", *mode, "--diagram", target],
            cwd=tmp_path, capture_output=True, text=True, encoding="utf-8", timeout=300,
            check=False)
        assert completed.returncode == 0, completed.stderr
        lines = completed.stdout.splitlines()
        table = [line.split()[:-2] for line in lines[1:6]]
        assert sorted(table) == sorted([["parse", "0", "ok"], ["validate", "1", "failed"],
                                        ["total", "1", "ok"], ["largest", "order", "1", "ok"],
                                        ["invoice", "2", "failed"]])
        assert lines[7:] == [
            "failed: validate: ValueError: desk: quantity -1 is negative",
            "failed: invoice: KeyError: 'rows'",
            "total = 66.50",
            "invoice = not made: nothing was valid",
            f"wrote {target}",
        ]
        # The failures are printed as always; the progress shows every node.
        assert completed.stderr.count("Traceback (most recent call last):") == 2
        assert "5/5" in completed.stderr
        diagram = target.read_text(encoding="utf-8").splitlines()
        assert diagram[0] == "graph TD"
        assert "    class 1,2 failed" in diagram and "    class 0,3,4 ok" in diagram
