"""Word statistics: a chain, two side branches and one parallel level."""

from typing import Any

import vantorix

Values = dict[str, Any]


def load(inputs: Values, params: Values) -> Values:
    return {"text": "the quick brown fox jumps over the lazy dog"}


def split(inputs: Values, params: Values) -> Values:
    return {"words": inputs["sentence"].split()}


def size(inputs: Values, params: Values) -> Values:
    return {"size": len(inputs["items"])}


def longest(inputs: Values, params: Values) -> Values:
    return {"result": max(inputs["items"], key=len)}


graph = vantorix.PyGraph()
graph.add(load, "load", outputs={"text": "text"})
# The context variable `text` reaches split() as `sentence`.
graph.add(split, "split", inputs={"text": "sentence"}, outputs={"words": "words"})

# Side branches start from the node added last ("split") and run beside the main chain.
longest_branch = vantorix.PyGraph()
longest_branch.add(longest, "longest word", inputs={"words": "items"},
                   outputs={"result": "longest_word"})
graph.branch(longest_branch)
chars_branch = vantorix.PyGraph()
chars_branch.add(size, "count characters", inputs={"text": "items"},
                 outputs={"size": "char_count"})
graph.branch(chars_branch)

# The same function again, reading and publishing other names.
graph.add(size, "count words", inputs={"words": "items"}, outputs={"size": "word_count"})

dag = graph.build()
# "count words" and both branches form one level: with parallel=True they run on worker threads.
result = dag.execute(parallel=True)
assert result == dag.execute(parallel=False)

for name in sorted(result):
    print(f"{name} = {result[name]!r}")
print()
print(dag.to_mermaid(), end="")
