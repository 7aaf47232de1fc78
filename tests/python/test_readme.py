"""The README cannot drift: every Python block runs, and the text and mermaid blocks after a
Python block are exactly what it prints."""

import re

import pytest

from _scripts import EXAMPLES, REPO, run_python

README = (REPO / "README.md").read_text(encoding="utf-8")
FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.MULTILINE | re.DOTALL)
BLOCKS = [(match.group(1), match.group(2), README.count("\n", 0, match.start()) + 1)
          for match in FENCE.finditer(README)]


def python_blocks_with_output():
    """(source, expected stdout, line) per Python block; its output blocks are the text and
    mermaid blocks up to the next Python or shell block, printed one after the other with a
    blank line between them."""
    runs = []
    for language, body, line in BLOCKS:
        if language == "python":
            runs.append([body, [], line])
        elif language in ("text", "mermaid"):
            assert runs, f"README line {line}: a {language} block that no Python block prints"
            runs[-1][1].append(body)
        elif language == "bash":
            runs.append([None, [], line])
        else:
            raise AssertionError(f"README line {line}: unchecked block language {language!r}")
    return [pytest.param(source, "\n".join(outputs), id=f"line-{line}")
            for source, outputs, line in runs if source is not None]


def quickstart_output():
    """What the README shows examples/quickstart.py printing."""
    quickstart = (EXAMPLES / "quickstart.py").read_text(encoding="utf-8")
    (expected,) = [param.values[1] for param in python_blocks_with_output()
                   if param.values[0] == quickstart]
    return expected


def test_readme_starts_with_the_two_set_up_commands():
    assert README.startswith("# vantorix\n\n```bash\n")
    assert [body for _, body, _ in BLOCKS[:2]] == [
        "pip install . && python examples/quickstart.py\n",
        "bash tests/run_all.sh\n",
    ]
    assert [language for language, _, _ in BLOCKS[:2]] == ["bash", "bash"]


@pytest.mark.parametrize(("source", "expected"), python_blocks_with_output())
def test_python_block_runs_and_prints_what_follows_it(source, expected, tmp_path):
    script = tmp_path / "block.py"
    script.write_text(source, encoding="utf-8")
    assert run_python(script, cwd=tmp_path) == expected


def test_quickstart_block_is_the_example_file():
    quickstart = (EXAMPLES / "quickstart.py").read_text(encoding="utf-8")
    assert any(language == "python" and body == quickstart for language, body, _ in BLOCKS)


def run_charts(flowchart, gantt):
    """What stays the same from run to run: the flowchart but its durations, and the gantt
    chart but its times and unit, with its sections in order and their bars, the calling
    thread's first and the workers' in any order (each starts when its thread does)."""
    flowchart = re.sub(r"<br/>(<1 µs|\d+ µs|\d+\.\d ms|\d+\.\d\d s)", "<br/>…", flowchart)
    gantt = re.sub(r"^(    axisFormat %Q) (µs|ms)$", r"\1", gantt, flags=re.MULTILINE)
    gantt = re.sub(r" :(\w+), \d+, \d+$", r" :\1", gantt, flags=re.MULTILINE)
    head, *sections = re.split(r"^    section ", gantt, flags=re.MULTILINE)
    names, bars = zip(*(section.split("\n", 1) for section in sections))
    return flowchart, head, names, bars[0], sorted(bars[1:])


def test_seeing_a_run_shows_the_charts_the_script_prints(tmp_path):
    (start,) = [k for k, (language, body, _) in enumerate(BLOCKS)
                if (language, body) == ("bash", "python examples/seeing_a_run.py\n")]
    printed = run_python(EXAMPLES / "seeing_a_run.py", cwd=tmp_path)
    charts = [body for language, body in FENCE.findall(printed) if language == "mermaid"]
    assert printed == "```mermaid\n{}```\n\n```mermaid\n{}```\n".format(*charts)
    assert run_charts(*charts) == run_charts(*(body for _, body, _ in BLOCKS[start + 1:start + 3]))


def test_performance_section_keeps_the_benchmark_marker():
    section = README.split("\n## Performance\n", 1)[1].split("\n## ", 1)[0]
    assert "<!-- bench-table -->" in section.splitlines()


def test_internal_links_point_at_headings():
    headings = re.findall(r"^#+ (.+)$", FENCE.sub("", README), re.MULTILINE)
    anchors = {re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-") for heading in headings}
    links = re.findall(r"\]\(#([^)]+)\)", README.replace("\n", " "))
    assert links
    assert set(links) <= anchors
