"""The module and its two classes as the interpreter sees them: names, documentation texts,
signatures, type flags and initialisation."""

import inspect
import subprocess
import sys
import textwrap
import weakref

import pytest

import vantorix
from vantorix import PyDag, PyGraph


def lines(*parts):
    return "\n".join(parts)


# Documentation texts exactly as registered: (method, signature line, docstring, full length).
DOCS = {
    "add": (
        PyGraph.add,
        "add($self, function=..., label=..., inputs=..., outputs=...)",
        lines(
            "Add a node to the graph",
            "",
            "Args:",
            "    function: Optional Python callable. If None, creates a no-op node.",
            "    label: Optional string label for the node",
            "    inputs: Optional list of (broadcast_var, impl_var) tuples or dict",
            "    outputs: Optional list of (impl_var, broadcast_var) tuples or dict",
            "",
            "Returns:",
            "    Self for method chaining",
        ),
        392,
    ),
    "branch": (
        PyGraph.branch,
        "branch($self, subgraph)",
        lines(
            "Create a branch in the graph",
            "",
            "Args:",
            "    subgraph: PyGraph instance representing the branch",
            "",
            "Returns:",
            "    Branch ID (usize)",
        ),
        150,
    ),
    "build": (
        PyGraph.build,
        "build($self)",
        lines("Build the DAG from the graph", "", "Returns:", "    PyDag instance ready for execution"),
        94,
    ),
    "execute": (
        PyDag.execute,
        "execute($self, parallel=..., max_threads=...)",
        lines(
            "Execute the DAG",
            "",
            "Args:",
            "    parallel (bool): If True, execute nodes at the same level concurrently. Default: False",
            "    max_threads (Optional[int]): Maximum number of threads to use per level."
            " None = unlimited. Default: None",
            "",
            "Returns:",
            "    Dictionary containing the execution context",
        ),
        330,
    ),
    "to_mermaid": (
        PyDag.to_mermaid,
        "to_mermaid($self)",
        lines("Get Mermaid diagram representation", "", "Returns:", "    String containing the Mermaid diagram"),
        108,
    ),
}


def test_module_attributes():
    assert vantorix.__all__ == ["PyGraph", "PyDag"]
    assert all(type(name) is str for name in vantorix.__all__)
    assert vantorix.__doc__ == "Initialize the Python module"
    assert vantorix.__name__ == "vantorix"
    public = {name for name in dir(vantorix) if not name.startswith("__")}
    assert public == {"PyGraph", "PyDag"}
    assert not hasattr(vantorix, "PanicException")


@pytest.mark.parametrize(
    "cls, name, doc, methods",
    [
        (PyGraph, "PyGraph", "Python wrapper for Graph builder", ["add", "branch", "build"]),
        (PyDag, "PyDag", "Python wrapper for DAG executor", ["execute", "to_mermaid"]),
    ],
)
def test_class_registration(cls, name, doc, methods):
    assert getattr(vantorix, name) is cls
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__doc__ == doc
    assert cls.__bases__ == (object,)
    own = [key for key, value in vars(cls).items() if inspect.ismethoddescriptor(value)]
    assert own == methods


@pytest.mark.parametrize("name", DOCS)
def test_method_documentation_is_exact(name):
    method, signature_line, doc, length = DOCS[name]
    assert method.__name__ == name
    assert method.__doc__ == doc
    assert method.__text_signature__ == signature_line[len(name):]
    assert len(signature_line + "\n--\n\n" + doc) == length


@pytest.mark.parametrize(
    "method, names",
    [
        (PyGraph.add, ["function", "label", "inputs", "outputs"]),
        (PyGraph.branch, ["subgraph"]),
        (PyGraph.build, []),
        (PyDag.execute, ["parallel", "max_threads"]),
        (PyDag.to_mermaid, []),
    ],
)
def test_inspect_signature(method, names):
    parameters = list(inspect.signature(method).parameters.values())
    assert parameters[0].name == "self"
    assert [p.name for p in parameters[1:]] == names
    for parameter in parameters[1:]:
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        expected = inspect.Parameter.empty if names == ["subgraph"] else Ellipsis
        assert parameter.default is expected


@pytest.mark.parametrize("cls", [PyGraph, PyDag])
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("make", [PyGraph, lambda: PyGraph().build()], ids=["PyGraph", "PyDag"])
def test_instances_have_no_dict_and_no_weakrefs(make):
    instance = make()
    assert not hasattr(instance, "__dict__")
    with pytest.raises(TypeError, match="cannot create weak reference"):
        weakref.ref(instance)
    with pytest.raises(AttributeError):
        instance.extra = 1


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1,), {}), ((), {"dag": 1})])
def test_pydag_has_no_constructor(args, kwargs):
    with pytest.raises(TypeError) as info:
        PyDag(*args, **kwargs)
    assert str(info.value) == "No constructor defined"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "PyGraph.__new__() takes 0 positional arguments but 1 was given"),
        ((1, 2), {}, "PyGraph.__new__() takes 0 positional arguments but 2 were given"),
        ((), {"x": 1}, "PyGraph.__new__() got an unexpected keyword argument 'x'"),
        ((1,), {"x": 1}, "PyGraph.__new__() takes 0 positional arguments but 1 was given"),
    ],
)
def test_pygraph_constructor_takes_no_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        PyGraph(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("call", [lambda: PyGraph().build(1), lambda: PyGraph().build().to_mermaid(x=1)])
def test_noargs_methods_reject_arguments(call):
    with pytest.raises(TypeError, match="takes no (keyword )?arguments"):
        call()


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )


def test_second_initialisation_raises_import_error():
    result = run_python(
        """
        import importlib.machinery, importlib.util, sys
        import vantorix
        first = vantorix
        path = vantorix.__file__
        del sys.modules["vantorix"]
        loader = importlib.machinery.ExtensionFileLoader("vantorix", path)
        spec = importlib.util.spec_from_file_location("vantorix", path, loader=loader)
        try:
            importlib.util.module_from_spec(spec)
        except ImportError as error:
            assert type(error) is ImportError
            assert "once" in str(error), str(error)
        else:
            raise AssertionError("second initialisation succeeded")
        # The module created first is not affected.
        graph = first.PyGraph()
        graph.add(lambda i, p: {"x": 1}, outputs={"x": "x"})
        assert graph.build().execute() == {"x": 1}
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"


def test_internal_failure_is_a_base_exception_named_panic_exception():
    # A worker thread that cannot be started (its stack does not fit the address-space limit)
    # is the internal failure that Python code can provoke.
    result = run_python(
        """
        import resource
        import vantorix

        graph = vantorix.PyGraph()
        graph.add()
        for _ in range(3):
            branch = vantorix.PyGraph()
            branch.add()
            graph.branch(branch)
        dag = graph.build()

        def vm_size():
            with open("/proc/self/status") as status:
                for line in status:
                    if line.startswith("VmSize:"):
                        return int(line.split()[1]) * 1024

        unlimited = resource.RLIM_INFINITY
        resource.setrlimit(resource.RLIMIT_AS, (vm_size() + 4 * 1024 * 1024, unlimited))
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
        assert type(caught[1]) is cls
        assert cls.__name__ == "PanicException", cls.__name__
        assert cls.__bases__ == (BaseException,)
        assert len(caught[0].args) == 1
        assert caught[0].args[0].startswith("failed to spawn thread"), caught[0].args
        assert not hasattr(vantorix, "PanicException")
        assert dag.execute(True) == {}
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"
