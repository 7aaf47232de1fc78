"""Order handling with side branches, one nested in another, drawn as a Mermaid diagram.

    python examples/branching.py [OUTPUT.mmd]

Writes the diagram to OUTPUT.mmd (default: order-flow.mmd in the system's temp directory).
"""

import sys
import tempfile
from pathlib import Path
from typing import Any

import vantorix

Values = dict[str, Any]


def receive(inputs: Values, params: Values) -> Values:
    return {"order": {"items": {"lamp": 2, "chair": 0}, "price": 120.0}}


def validate(inputs: Values, params: Values) -> Values:
    order = inputs["order"]
    return {"total": order["price"] * sum(order["items"].values())}


def charge(inputs: Values, params: Values) -> Values:
    return {"receipt": f"charged {inputs['amount']:.2f}"}


def notify(inputs: Values, params: Values) -> Values:
    return {"message": f"Thank you! Your card was {inputs['receipt']}."}


def score_risk(inputs: Values, params: Values) -> Values:
    return {"risk": 0.9 if inputs["amount"] > 200 else 0.1}


def review(inputs: Values, params: Values) -> Values:
    return {"flagged": inputs["score"] > 0.5}


def reserve(inputs: Values, params: Values) -> Values:
    items = inputs["order"]["items"]
    return {"reserved": sorted(name for name, count in items.items() if count > 0),
            "missing": sorted(name for name, count in items.items() if count == 0)}


def reorder(inputs: Values, params: Values) -> Values:
    return {"purchase": [f"reorder {name}" for name in inputs["names"]]}


def build() -> vantorix.PyDag:
    graph = vantorix.PyGraph()
    graph.add(receive, "receive order", outputs={"order": "order"})
    graph.add(validate, "validate", inputs={"order": "order"}, outputs={"total": "amount"})

    # Two side paths start at "validate". Nothing joins them back into the main chain.
    fraud = vantorix.PyGraph()
    fraud.add(score_risk, "score risk", inputs={"amount": "amount"}, outputs={"risk": "risk"})
    fraud.add(review, "manual review?", inputs={"risk": "score"}, outputs={"flagged": "flagged"})
    fraud_id = graph.branch(fraud)

    stock = vantorix.PyGraph()
    stock.add(reserve, "reserve stock", inputs={"order": "order"},
              outputs={"reserved": "reserved", "missing": "missing"})
    # A branch inside a branch: it starts at "reserve stock"; its id counts within `stock`.
    restock = vantorix.PyGraph()
    restock.add(reorder, "reorder missing items", inputs={"missing": "names"},
                outputs={"purchase": "purchase_orders"})
    restock_id = stock.branch(restock)
    stock_id = graph.branch(stock)

    graph.add(charge, "charge card", inputs={"amount": "amount"}, outputs={"receipt": "receipt"})
    graph.add(notify, "send receipt", inputs={"receipt": "receipt"},
              outputs={"message": "message"})
    print(f"branch ids: fraud={fraud_id}, stock={stock_id}, restock (inside stock)={restock_id}")
    return graph.build()


def main() -> None:
    default = Path(tempfile.gettempdir()) / "order-flow.mmd"
    output = Path(sys.argv[1]) if len(sys.argv) > 1 else default
    dag = build()
    result = dag.execute(parallel=True)
    for name in sorted(result):
        print(f"{name} = {result[name]!r}")
    output.write_text(dag.to_mermaid(), encoding="utf-8")
    print(f"wrote {output}")


if __name__ == "__main__":
    main()
