"""Seeing a run: which node failed and why, how long each node took, a progress bar while it
runs, and a diagram of the finished run.

    pip install ".[progress]"     # tqdm draws the bar; without it a line per node is printed
    python examples/run_report.py [--parallel] [--diagram RUN.mmd]

The orders come in as the run's inputs. One of them is invalid: its node fails, its traceback
is printed to stderr as always, and the run goes on; the report says which node it was.
"""

from __future__ import annotations

import argparse
import importlib
import sys
import time
from pathlib import Path
from typing import TYPE_CHECKING, Any

import vantorix

if TYPE_CHECKING:  # the record type is known to type checkers only
    from vantorix import NodeRecord

Values = dict[str, Any]

ORDERS = ["lamp,2,30.0", "chair,1,120.0", "desk,-1,250.0", "shelf,3,45.5"]


def parse(inputs: Values, params: Values) -> Values:
    rows = []
    for line in inputs["lines"]:
        item, quantity, price = line.split(",")
        rows.append({"item": item, "quantity": int(quantity), "price": float(price)})
    return {"rows": rows}


def validate(inputs: Values, params: Values) -> Values:
    for row in inputs["rows"]:
        if row["quantity"] < 0:
            raise ValueError(f"{row['item']}: quantity {row['quantity']} is negative")
    return {"valid": inputs["rows"]}


def total(inputs: Values, params: Values) -> Values:
    time.sleep(0.02)  # stands in for a call to a pricing service
    return {"total": sum(row["quantity"] * row["price"] for row in inputs["rows"])}


def largest(inputs: Values, params: Values) -> Values:
    return {"largest": max(inputs["rows"], key=lambda row: row["quantity"] * row["price"])}


def invoice(inputs: Values, params: Values) -> Values:
    return {"invoice": f"{len(inputs['rows'])} lines, {inputs['amount']:.2f} {inputs['currency']}"}


def build() -> vantorix.PyDag:
    graph = vantorix.PyGraph()
    graph.add(parse, "parse", inputs={"lines": "lines"}, outputs={"rows": "rows"})
    for function, label, result in ((total, "total", "total"),
                                    (largest, "largest order", "largest")):
        branch = vantorix.PyGraph()
        branch.add(function, label, inputs={"rows": "rows"}, outputs={result: result})
        graph.branch(branch)
    graph.add(validate, "validate", inputs={"rows": "rows"}, outputs={"valid": "valid"})
    graph.add(invoice, "invoice",
              inputs={"valid": "rows", "total": "amount", "currency": "currency"},
              outputs={"invoice": "invoice"})
    return graph.build()


class Progress:
    """A tqdm bar when tqdm is installed, otherwise one line per node on stderr."""

    def __init__(self, total: int) -> None:
        self.done, self.total = 0, total
        try:
            # Imported by name: tqdm is optional and ships no type hints.
            self.bar: Any = importlib.import_module("tqdm").tqdm(total=total, unit="node")
        except ImportError:
            self.bar = None

    def __call__(self, record: NodeRecord) -> None:
        self.done += 1
        if self.bar is not None:
            self.bar.set_postfix_str(f"{record.label}: {record.status}")
            self.bar.update(1)
        else:
            print(f"[{self.done}/{self.total}] {record.label}: {record.status}", file=sys.stderr)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--parallel", action="store_true", help="run levels on worker threads")
    parser.add_argument("--diagram", type=Path, help="write the run's Mermaid diagram here")
    arguments = parser.parse_args()

    dag = build()
    progress = Progress(total=len(dag.execution_order))
    try:
        report = dag.execute_detailed(arguments.parallel,
                                      inputs={"lines": ORDERS, "currency": "EUR"},
                                      on_node=progress)
    finally:
        progress.close()

    print(f"{'node':<14} {'level':>5} {'status':<8} {'time':>9}")
    for record in report.nodes:
        seconds = "-" if record.seconds is None else f"{record.seconds * 1e3:.2f} ms"
        print(f"{record.label:<14} {record.level!s:>5} {record.status:<8} {seconds:>9}")
    print()
    for record in report.failed:
        print(f"failed: {record.label}: {type(record.error).__name__}: {record.error}")
    print(f"total = {report.context['total']:.2f}")
    print(f"invoice = {report.context.get('invoice', 'not made: nothing was valid')}")

    if arguments.diagram is not None:
        arguments.diagram.write_text(report.to_mermaid(), encoding="utf-8")
        print(f"wrote {arguments.diagram}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
