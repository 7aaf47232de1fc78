"""Renders Mermaid text with the real renderer: mermaid.min.js in headless Chromium.

Needs a Chromium on PATH and a Mermaid 11 bundle, named by VANTORIX_MERMAID_JS (which
tests/prerequisites.sh sets) or shipped by the `artoo-mermaid` package (`pip install
artoo-mermaid`, Python 3.12+). `available()` says why not when either is missing, so tests can
skip."""

import html
import importlib.util
import json
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

BROWSERS = ("chromium", "chromium-browser", "google-chrome")

PAGE = """<!doctype html><html><head><meta charset="utf-8"></head><body>
<div id="out"></div><div id="stage"></div>
<script src="%(script)s"></script>
<script>
mermaid.initialize({startOnLoad: false});
const diagrams = %(diagrams)s;
(async () => {
  const results = [];
  for (let i = 0; i < diagrams.length; i++) {
    try {
      const {svg} = await mermaid.render("d" + i, diagrams[i]);
      const stage = document.getElementById("stage");
      stage.innerHTML = svg;
      const texts = selector => [...stage.querySelectorAll(selector)].map(e => e.textContent);
      results.push({ok: true, nodes: texts("g.node .nodeLabel"),
                    edges: texts("g.edgeLabel .edgeLabel").filter(text => text !== ""),
                    classes: [...stage.querySelectorAll("g.node")].map(
                        e => e.getAttribute("class").split(/\\s+/).filter(c => c !== "")),
                    sections: texts("text.sectionTitle"),
                    bars: [...stage.querySelectorAll("rect.task")].map(e => ({
                        name: document.getElementById(e.id + "-text").textContent,
                        classes: e.getAttribute("class").split(/\\s+/).filter(c => c !== ""),
                        x: Number(e.getAttribute("x")), width: Number(e.getAttribute("width"))}))});
      stage.innerHTML = "";
    } catch (error) {
      results.push({ok: false, error: String(error && error.message || error)});
    }
  }
  document.getElementById("out").textContent = JSON.stringify(results);
})();
</script></body></html>"""


def mermaid_script():
    named = os.environ.get("VANTORIX_MERMAID_JS")
    if named:
        return Path(named) if Path(named).is_file() else None
    spec = importlib.util.find_spec("artoo_mermaid")
    if spec is None or spec.origin is None:
        return None
    bundled = Path(spec.origin).parent / "assets" / "mermaid.min.js"
    return bundled if bundled.is_file() else None


def browser():
    return next((found for name in BROWSERS if (found := shutil.which(name))), None)


def available():
    """None when diagrams can be rendered, otherwise the reason they cannot."""
    if browser() is None:
        return "no Chromium on PATH"
    if mermaid_script() is None:
        return "no mermaid.min.js (set VANTORIX_MERMAID_JS or install artoo-mermaid)"
    return None


def browser_environment():
    """This process's environment without what a sanitizer stage gives it: a browser with the
    sanitizer's runtime preloaded does not come up."""
    return {name: value for name, value in os.environ.items()
            if name != "LD_PRELOAD" and not name.endswith("SAN_OPTIONS")}


def render(diagrams):
    """One result per diagram: {"ok": True, "nodes": [box texts], "edges": [arrow texts],
    "classes": [classes per box], "sections": [gantt section titles], "bars": [{"name", "classes",
    "x", "width"} per gantt bar]} in drawing order, or {"ok": False, "error": message}."""
    with tempfile.TemporaryDirectory() as directory:
        page = Path(directory) / "page.html"
        page.write_text(PAGE % {"script": mermaid_script().as_uri(),
                                "diagrams": json.dumps(diagrams)}, encoding="utf-8")
        completed = subprocess.run(
            [browser(), "--headless", "--no-sandbox", "--disable-gpu",
             "--allow-file-access-from-files", "--virtual-time-budget=30000", "--dump-dom",
             page.as_uri()],
            capture_output=True, text=True, timeout=300, check=False, env=browser_environment())
    dom = completed.stdout
    start = dom.find('<div id="out">')
    end = dom.find("</div>", start)
    if start < 0 or end < 0:
        raise RuntimeError(f"the page did not render: {completed.stderr[-2000:]}")
    text = html.unescape(dom[start + len('<div id="out">'):end])
    if not text:
        raise RuntimeError(f"the renderer gave no results: {completed.stderr[-2000:]}")
    return json.loads(text)
