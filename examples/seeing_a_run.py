"""The quickstart's parallel run as a notebook shows its report: the diagram, then the timeline."""

import contextlib
import io
import runpy
from pathlib import Path

import vantorix

with contextlib.redirect_stdout(io.StringIO()):  # the quickstart prints its own results
    quickstart = runpy.run_path(str(Path(__file__).with_name("quickstart.py")))
dag: vantorix.PyDag = quickstart["dag"]
report = dag.execute_detailed(parallel=True)
print(report._repr_markdown_(), end="")
