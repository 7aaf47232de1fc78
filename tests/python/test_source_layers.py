"""The layers of the source tree, read from its #include lines: no file depends on itself through
others, the engine knows nothing of Python, and each folder of the Python layer uses only the
folders below it. And the map of the tree, ARCHITECTURE.md, names every source file and folder
that there is, and no other."""

import re
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
SRC = REPO / "src"
# The pure-Python packages of the wheel.
PACKAGES = ["vantorix_cache", "vantorix_dask", "vantorix-stubs"]
ENGINE = ["graph_data", "node", "builder", "dag"]
# The Python layer, lowest first.
BINDINGS = ["runtime", "values", "calls", "types", "module"]
INCLUDE = re.compile(r'^#include "([^"]+)"', re.MULTILINE)

pytestmark = pytest.mark.skipif(not SRC.is_dir(), reason="the sources are not beside the tests")


def unit(path):
    """A header and its source file are one unit: 'dag/run' for src/dag/run.hpp."""
    relative = path.relative_to(SRC).with_suffix("")
    parts = relative.parts
    return "/".join(parts[1:] if parts[0] == "python_bindings" else parts)


def dependencies():
    graph = {}
    for path in sorted(SRC.rglob("*.[ch]pp")):
        own = unit(path)
        graph.setdefault(own, set())
        for included in INCLUDE.findall(path.read_text(encoding="utf-8")):
            target = str(Path(included).with_suffix(""))
            if target != own:
                graph[own].add(target)
    return graph


def test_no_unit_depends_on_itself_through_others():
    graph = dependencies()
    done, on_path, cycles = set(), [], []

    def visit(node):
        if node in on_path:
            cycles.append(on_path[on_path.index(node):] + [node])
            return
        if node in done:
            return
        on_path.append(node)
        for target in sorted(graph.get(node, ())):
            visit(target)
        on_path.pop()
        done.add(node)

    for node in sorted(graph):
        visit(node)
    assert cycles == []


@pytest.mark.parametrize("folder", ENGINE)
def test_the_engine_knows_nothing_of_python(folder):
    for path in (SRC / folder).glob("*.[ch]pp"):
        text = path.read_text(encoding="utf-8")
        assert "Python" not in text and "threading" not in text, path


def test_each_folder_of_the_python_layer_uses_only_those_below_it():
    for own, targets in dependencies().items():
        layer = own.split("/")[0]
        if layer not in BINDINGS:
            continue
        allowed = set(ENGINE) | set(BINDINGS[: BINDINGS.index(layer) + 1])
        for target in targets:
            assert target.split("/")[0] in allowed, f"{own} includes {target}"


def mapped_name(path):
    """What the map calls a file: its unit for C++ ('dag/run'), else its path below src/ (or the
    Python layer's folder) or, in a package, below the repository ('vantorix_dask/py.typed')."""
    if path.suffix in (".cpp", ".hpp"):
        return unit(path)
    if path.is_relative_to(SRC):
        return unit(path.with_suffix("")) + path.suffix
    return path.relative_to(REPO).as_posix()


def test_the_architecture_map_names_every_source_file_and_folder_and_nothing_else():
    text = (REPO / "ARCHITECTURE.md").read_text(encoding="utf-8")
    # "- `module/module`, `module/module_init` — module creation, ...": the names before the dash.
    mapped = {name for names in re.findall(r"^- (`[^`]+`(?:, `[^`]+`)*) — ", text, re.MULTILINE)
              for name in re.findall(r"`([^`]+)`", names)}
    sources = [path for folder in [SRC] + [REPO / package for package in PACKAGES]
               for path in folder.rglob("*") if path.is_file() and path.name != "CMakeLists.txt"
               and "__pycache__" not in path.parts]
    named = {mapped_name(path) for path in sources}
    assert (sorted(named - mapped), sorted(mapped - named)) == ([], [])

    folders = set(re.findall(r"^\| `(src/[^`]+)` \|", text, re.MULTILINE))
    assert folders == {path.parent.relative_to(REPO).as_posix() for path in sources
                       if path.is_relative_to(SRC)}
