"""The module and its classes as the interpreter sees them: names, documentation texts,
signatures, type flags, initialisation and the internal-failure exception."""

import importlib.metadata
import inspect
import re
import subprocess
import sys
import sysconfig
import textwrap
import weakref

import pytest

import vantorix
from _scripts import REPO
from conftest import INSTALLED
from vantorix import PyDag, PyGraph

# Registered documentation: signature line, docstring lines, length of the whole text.
DOCS = {
    (PyGraph, "add"): ("add($self, function=..., label=..., inputs=..., outputs=...)", [
        "Add a node to the graph", "", "Args:",
        "    function: Optional Python callable. If None, creates a no-op node.",
        "    label: Optional string label for the node",
        "    inputs: Optional list of (broadcast_var, impl_var) tuples or dict",
        "    outputs: Optional list of (impl_var, broadcast_var) tuples or dict", "",
        "Returns:", "    Self for method chaining"], 392),
    (PyGraph, "branch"): ("branch($self, subgraph)", [
        "Create a branch in the graph", "", "Args:",
        "    subgraph: PyGraph instance representing the branch", "",
        "Returns:", "    Branch ID (usize)"], 150),
    (PyGraph, "build"): ("build($self)", [
        "Build the DAG from the graph", "", "Returns:",
        "    PyDag instance ready for execution"], 94),
    (PyDag, "execute"): ("execute($self, parallel=..., max_threads=...)", [
        "Execute the DAG", "", "Args:",
        "    parallel (bool): If True, execute nodes at the same level concurrently. Default: False",
        "    max_threads (Optional[int]): Maximum number of threads to use per level."
        " None = unlimited. Default: None", "",
        "Returns:", "    Dictionary containing the execution context"], 330),
    (PyDag, "to_mermaid"): ("to_mermaid($self)", [
        "Get Mermaid diagram representation", "", "Returns:",
        "    String containing the Mermaid diagram"], 108),
}


def test_module_attributes():
    assert vantorix.__all__ == ["PyGraph", "PyDag"]
    assert vantorix.__doc__ == "Initialize the Python module"
    assert {name for name in dir(vantorix) if not name.startswith("__")} == {"PyGraph", "PyDag"}


def test_version_is_the_one_in_pyproject():
    pyproject = (REPO / "pyproject.toml").read_text(encoding="utf-8")
    (version,) = re.findall(r'^version = "([^"]+)"$', pyproject, re.MULTILINE)
    assert vantorix.__version__ == version


def test_version_is_the_installed_metadata_version():
    if not INSTALLED:
        pytest.skip("the module comes from a build tree, not an installed distribution")
    assert vantorix.__version__ == importlib.metadata.version("vantorix")


@pytest.mark.parametrize("cls, doc, methods", [
    (PyGraph, "Python wrapper for Graph builder", ["add", "branch", "build"]),
    # The specified methods keep their places; extensions follow them.
    (PyDag, "Python wrapper for DAG executor",
     ["execute", "to_mermaid", "execute_detailed", "plan", "check", "_repr_markdown_"]),
])
def test_class_registration(cls, doc, methods):
    name = cls.__name__
    assert getattr(vantorix, name) is cls and name in ("PyGraph", "PyDag")
    assert (cls.__module__, cls.__qualname__, cls.__doc__) == ("builtins", name, doc)
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__bases__ == (object,)
    assert [key for key, value in vars(cls).items()
            if inspect.ismethoddescriptor(value) and not key.startswith("__")] == methods


@pytest.mark.parametrize("cls, name", DOCS)
def test_method_documentation_is_exact(cls, name):
    signature_line, doc_lines, length = DOCS[cls, name]
    method = getattr(cls, name)
    assert method.__doc__ == "\n".join(doc_lines)
    assert method.__text_signature__ == signature_line[len(name):]
    assert len(signature_line + "\n--\n\n" + method.__doc__) == length


@pytest.mark.parametrize("method, names", [
    (PyGraph.add, ["function", "label", "inputs", "outputs"]), (PyGraph.branch, ["subgraph"]),
    (PyGraph.build, []), (PyDag.execute, ["parallel", "max_threads"]), (PyDag.to_mermaid, []),
])
def test_inspect_signature(method, names):
    self_parameter, *parameters = inspect.signature(method).parameters.values()
    assert self_parameter.name == "self"
    assert [p.name for p in parameters] == names
    for parameter in parameters:
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is (inspect.Parameter.empty if names == ["subgraph"] else ...)


@pytest.mark.parametrize("make", [PyGraph, lambda: PyGraph().build()], ids=["PyGraph", "PyDag"])
def test_classes_are_final_without_dict_or_weakrefs(make):
    instance = make()
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (type(instance),), {})
    assert not hasattr(instance, "__dict__")
    with pytest.raises(TypeError, match="cannot create weak reference"):
        weakref.ref(instance)
    with pytest.raises(AttributeError):
        instance.extra = 1


@pytest.mark.parametrize("call, message", [
    (lambda: PyDag(), "No constructor defined"),
    (lambda: PyDag(1, dag=2), "No constructor defined"),
    (lambda: PyGraph(1), "PyGraph.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: PyGraph(1, 2), "PyGraph.__new__() takes 0 positional arguments but 2 were given"),
    (lambda: PyGraph(x=1), "PyGraph.__new__() got an unexpected keyword argument 'x'"),
    (lambda: PyGraph(1, x=1), "PyGraph.__new__() takes 0 positional arguments but 1 was given"),
])
def test_constructors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("call", [lambda: PyGraph().build(1), lambda: PyGraph().build().to_mermaid(x=1)])
def test_noargs_methods_reject_arguments(call):
    with pytest.raises(TypeError, match="takes no (keyword )?arguments"):
        call()


def run_python(code):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                            text=True, timeout=120)
    assert (result.returncode, result.stdout) == (0, "ok\n"), result.stderr


def test_second_initialisation_raises_import_error():
    run_python("""
        import importlib.machinery, importlib.util, sys
        import vantorix as first
        del sys.modules["vantorix"]
        loader = importlib.machinery.ExtensionFileLoader("vantorix", first.__file__)
        module_spec = importlib.util.spec_from_file_location(
            "vantorix", first.__file__, loader=loader
        )
        try:
            importlib.util.module_from_spec(module_spec)
        except ImportError as error:
            assert type(error) is ImportError and "once" in str(error), repr(error)
        else:
            raise AssertionError("second initialisation succeeded")
        graph = first.PyGraph()  # the first module is not affected
        graph.add(lambda i, p: {"x": 1}, outputs={"x": "x"})
        assert graph.build().execute() == {"x": 1}
        print("ok")
    """)


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="the interpreter has a GIL")
def test_importing_keeps_the_gil_of_a_free_threaded_interpreter_off():
    run_python("""
        import sys, warnings
        warnings.simplefilter("error")
        import vantorix, vantorix_dask
        assert not sys._is_gil_enabled()
        print("ok")
    """)


def test_internal_failure_is_a_base_exception_named_panic_exception():
    # A worker that cannot be started (its stack does not fit under the address-space limit) is
    # the internal failure that Python code can provoke.
    run_python("""
        import resource
        import vantorix
        graph = vantorix.PyGraph()
        graph.add()
        for _ in range(3):
            branch = vantorix.PyGraph()
            branch.add()
            graph.branch(branch)
        dag = graph.build()
        with open("/proc/self/status") as status:
            vm_size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
        unlimited = resource.RLIM_INFINITY
        resource.setrlimit(resource.RLIMIT_AS, (vm_size + 4 * 1024 * 1024, unlimited))
        caught = []
        for _ in range(2):
            try:
                dag.execute(True)
            except Exception:
                raise AssertionError("caught by except Exception")
            except BaseException as error:
                caught.append(error)
        resource.setrlimit(resource.RLIMIT_AS, (unlimited, unlimited))
        cls = type(caught[0])
        assert type(caught[1]) is cls and cls.__name__ == "PanicException", cls
        assert cls.__bases__ == (BaseException,) and not hasattr(vantorix, "PanicException")
        assert len(caught[0].args) == 1, caught[0].args
        assert caught[0].args[0].startswith("failed to spawn thread"), caught[0].args
        assert dag.execute(True) == {}
        print("ok")
    """)


def test_objects_say_what_they_hold():
    graph = PyGraph()
    assert repr(graph) == "<PyGraph: 0 nodes, 0 branches>"
    graph.add(None, "a")
    side = PyGraph()
    side.add(None, 'say "hi" | [x]')
    inner = PyGraph()
    inner.add()
    side.branch(inner)
    graph.branch(side)
    assert repr(graph) == "<PyGraph: 3 nodes, 2 branches>"
    assert repr(side) == "<PyGraph: consumed>"
    dag = graph.build()
    assert repr(dag) == "<PyDag: 3 nodes, 3 levels, 2 branches>"
    assert repr(PyGraph().build()) == "<PyDag: 0 nodes, 0 levels, 0 branches>"
    # Notebooks render the diagram, whose texts are escaped there (to_mermaid() keeps them).
    assert dag._repr_markdown_() == (
        '```mermaid\ngraph TD\n    0["a"]\n    1["say #quot;hi#quot; #124; #91;x#93;"]\n'
        '    2["Node 2"]\n    0 --> 1\n    1 --> 2\n    style 1 fill:#e1f5ff\n'
        '    style 2 fill:#e1f5ff\n```\n')
    assert '1["say "hi" | [x]"]' in dag.to_mermaid()
    report = dag.execute_detailed()
    assert report._repr_markdown_() == (f"```mermaid\n{report.to_mermaid()}```\n\n"
                                        f"```mermaid\n{report.to_gantt()}```\n")
