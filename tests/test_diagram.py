"""DOT and Mermaid rendering of engines."""

import collections
import json
import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

import tarn
from tarn.diagram import to_dot, to_html_table, to_markdown, to_mermaid
from tarn.tarnwick import DAGEngine

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"

DOT_HEAD = 'digraph tarn {\n    node [shape=box, fontname="Helvetica"];\n'
VALID = 'style=filled, fillcolor="#d4edda", color="#2e7d32"'
INVALID = 'style=filled, fillcolor="#f2f2f2", color="#8a8a8a"'
EXPLICIT = 'fillcolor="#dbe7fb", color="#1f5fbf", peripheries=2'
MISSING = 'style=dashed, color="#b00020", fontcolor="#b00020"'
CLASS_DEFS = """\
    classDef valid fill:#d4edda,stroke:#2e7d32
    classDef invalid fill:#f2f2f2,stroke:#8a8a8a
    classDef explicit fill:#dbe7fb,stroke:#1f5fbf,stroke-width:3px
    classDef missing fill:#ffffff,stroke:#b00020,color:#b00020
    classDef unregistered stroke-dasharray:5 3
"""


def pricing():
    # Price from the object, an explicit rate, a tax that records reads of
    # both, a total with both as static dependencies, a label left invalid.
    engine = DAGEngine()
    engine.add_node("price", lambda order: order["price"])
    engine.add_node("rate", None, True, 0.25)

    def tax(order):
        engine.record_access("price")
        engine.record_access("rate")
        return engine.evaluate("price", order) * engine.evaluate("rate", order)

    engine.add_node("tax", tax)
    total = engine.add_node("total", lambda x: engine.evaluate("tax", x))
    total.static_dependencies.extend(["price", "tax"])
    assert engine.evaluate("total", {"price": 8}) == 2
    engine.add_node("label", str)
    return engine


def leftovers():
    # A replaced node still held by an edge list, its replacement with no
    # lists at all, static names that resolve to nothing, values that are no
    # nodes in the registry and edge lists, and a name that looks like an id.
    engine = DAGEngine()
    engine.add_node("a", None, True, 1)
    b = engine.add_node("n0", None)
    engine.add_edge("n0", "a")
    new = engine.add_node("a", None)
    new.dependencies = new.dependents = new.static_dependencies = None
    b.static_dependencies.extend(["gone", None, 7, "gone", "odd"])
    b.dependents.extend([5, None])
    engine.nodes["odd"] = "not a node"
    return engine


GRAPHS = [
    (
        pricing,
        f"""    n0 [label="price", {VALID}];
    n1 [label="rate", style=filled, {EXPLICIT}];
    n2 [label="tax", {VALID}];
    n3 [label="total", {VALID}];
    n4 [label="label", {INVALID}];
    n0 -> n2;\n    n1 -> n2;
    n0 -> n3 [style=dashed];\n    n2 -> n3 [style=dashed];
}}
""",
        """    n0["price"]\n    n1["rate"]\n    n2["tax"]\n    n3["total"]
    n4["label"]\n    n0 --> n2\n    n1 --> n2\n    n0 -.-> n3\n    n2 -.-> n3
""" + CLASS_DEFS + """    class n0,n2,n3 valid\n    class n4 invalid
    class n1 explicit
""",
    ),
    (
        leftovers,
        f"""    n0 [label="a", {INVALID}];
    n1 [label="n0", {INVALID}];
    n2 [label="a\\n(unregistered)", style="filled,dashed", {EXPLICIT}];
    n3 [label="gone\\n(missing)", {MISSING}];
    n4 [label="None\\n(missing)", {MISSING}];
    n5 [label="odd\\n(missing)", {MISSING}];
    n2 -> n1;\n    n3 -> n1 [style=dashed];
    n4 -> n1 [style=dashed];\n    n5 -> n1 [style=dashed];
}}
""",
        """    n0["a"]\n    n1["n0"]\n    n2["a<br>(unregistered)"]
    n3["gone<br>(missing)"]\n    n4["None<br>(missing)"]
    n5["odd<br>(missing)"]\n    n2 --> n1\n    n3 -.-> n1\n    n4 -.-> n1
    n5 -.-> n1
""" + CLASS_DEFS + """    class n0,n1 invalid\n    class n2 explicit
    class n3,n4,n5 missing\n    class n2 unregistered
""",
    ),
]


@pytest.mark.parametrize("build, dot, mermaid", GRAPHS)
def test_exact_output(build, dot, mermaid):
    assert to_dot(build()) == DOT_HEAD + dot
    assert to_mermaid(build()) == "flowchart TD\n" + mermaid
    if shutil.which("dot"):
        assert len(svg_labels(DOT_HEAD + dot)) == dot.count("[label=")


def test_empty_and_odd_fields():
    # Fields that are None.
    for engine in (DAGEngine.__new__(DAGEngine), DAGEngine()):
        assert to_dot(engine) == DOT_HEAD + "}\n"
        assert to_mermaid(engine) == "flowchart TD\n" + CLASS_DEFS


# name, DOT label, Mermaid label, lines drawn by Graphviz
NAMES = [
    ('say "hi"', 'say \\"hi\\"', "say #34;hi#34;", ['say "hi"']),
    ("C:\\N\\", "C:\\\\N\\\\", "C:#92;N#92;", ["C:\\N\\"]),
    ("two\nlines", "two\\nlines", "two<br>lines", ["two", "lines"]),
    ("größe ☃", "größe ☃", "größe #9731;", ["größe ☃"]),
    ("<b>#35;&amp;`x`", "<b>#35;&amp;amp;`x`",
     "#60;b#62;#35;35#59;#38;amp#59;#96;x#96;", ["<b>#35;&amp;`x`"]),
    ("t\tz\x00\u2028\udc80", "t\\\\tz\\\\x00\\\\u2028\\\\udc80",
     "t#92;tz#92;x00#92;u2028#92;udc80", ["t\\tz\\x00\\u2028\\udc80"]),
]


@pytest.mark.parametrize("name, dot, mermaid, drawn", NAMES)
def test_names_are_escaped(name, dot, mermaid, drawn):
    engine = DAGEngine()
    engine.add_node(name, None)
    box = f'    n0 [label="{dot}", {INVALID}];\n'
    assert to_dot(engine) == DOT_HEAD + box + "}\n"
    assert to_mermaid(engine).splitlines()[1] == f'    n0["{mermaid}"]'
    if shutil.which("dot") is None:
        pytest.skip("Graphviz's dot is not installed")
    assert svg_labels(to_dot(engine)) == {"n0": drawn}


def svg_labels(dot_text):
    # Renders with `dot -Tsvg`; gives each box's drawn text lines by box id.
    done = subprocess.run(["dot", "-Tsvg"], input=dot_text.encode(),
                          capture_output=True)
    assert (done.returncode, done.stderr) == (0, b"")
    ns = {"svg": "http://www.w3.org/2000/svg"}
    svg = ET.fromstring(done.stdout)
    return {
        box.find("svg:title", ns).text: [
            line.text.replace("\xa0", " ")  # Graphviz keeps runs of blanks
            for line in box.findall("svg:text", ns)
        ]
        for box in svg.iterfind(".//svg:g[@class='node']", ns)
    }


# -- graphs and models -------------------------------------------------------

INPUT = 'style=filled, fillcolor="#dbe7fb", color="#1f5fbf", peripheries=2'
LAYER_CLASS_DEFS = """\
    classDef input fill:#dbe7fb,stroke:#1f5fbf,stroke-width:3px
    classDef computed fill:#d4edda,stroke:#2e7d32
    classDef stale fill:#f2f2f2,stroke:#8a8a8a
    classDef missing fill:#ffffff,stroke:#b00020,color:#b00020
    classDef cutoff font-style:italic
    classDef outside stroke-dasharray:5 3
    classDef unregistered stroke-dasharray:5 3
"""


def priced():
    # Two inputs, a tax, a cut-off band on it, a bonus that read a missing
    # name, a node never computed, and a model whose total reads the graph.
    # The rate then changes: the tax and the band are stale, the total not.
    g = tarn.Graph()
    g["price"] = 8
    g["rate"] = 0.25
    g.node(lambda g: g["price"] * g["rate"], name="tax")
    g.node(lambda g: "high" if g["tax"] > 1 else "low", name="band", cutoff=True)

    @g.node
    def bonus(g):
        try:
            return g["promo"]
        except tarn.NodeNotFound:
            return 0

    g.node(lambda g: 1, name="unread")

    class Order(tarn.Model):
        qty = tarn.Input(2)

        @tarn.computed
        def total(self):
            return self.qty * g["price"] + g["bonus"]

    order = Order()
    assert (g["band"], order.total) == ("high", 16)
    g["rate"] = 0.5
    return g, order


def test_graph_and_model_pictures():
    g, order = priced()
    # The graph alone: the model's node it is read by is drawn outside it.
    dot = to_dot(g)
    assert dot == DOT_HEAD + f"""\
    n0 [label="price", {INPUT}];
    n1 [label="rate", {INPUT}];
    n2 [label="tax", {INVALID}];
    n3 [label="band", style="filled,rounded", fillcolor="#f2f2f2", color="#8a8a8a"];
    n4 [label="bonus", {VALID}];
    n5 [label="unread", {INVALID}];
    n6 [label="Order.total", style="filled,dashed", fillcolor="#d4edda", color="#2e7d32"];
    n7 [label="promo\\n(missing)", {MISSING}];
    n0 -> n2;\n    n0 -> n6;\n    n1 -> n2;\n    n2 -> n3;\n    n4 -> n6;
    n7 -> n4 [style=dashed];
}}
"""
    if shutil.which("dot"):
        assert svg_labels(dot)["n7"] == ["promo", "(missing)"]
    # The model alone: its own names, the graph's nodes it read outside.
    assert to_mermaid(order) == """flowchart TD
    n0["qty"]\n    n1["total"]\n    n2["Graph.price"]\n    n3["Graph.bonus"]
    n0 --> n1\n    n2 --> n1\n    n3 --> n1
""" + LAYER_CLASS_DEFS + """    class n0,n2 input\n    class n1,n3 computed
    class n2,n3 outside
"""
    # Both: every box named by owner, the edges between them drawn, the
    # cut-off band rounded.
    assert to_mermaid([g, order]) == """flowchart TD
    n0["Graph.price"]\n    n1["Graph.rate"]\n    n2["Graph.tax"]
    n3("Graph.band")\n    n4["Graph.bonus"]\n    n5["Graph.unread"]
    n6["Order.qty"]\n    n7["Order.total"]\n    n8["Graph.promo<br>(missing)"]
    n0 --> n2\n    n0 --> n7\n    n1 --> n2\n    n2 --> n3\n    n4 --> n7
    n6 --> n7\n    n8 -.-> n4
""" + LAYER_CLASS_DEFS + """    class n0,n1,n6 input\n    class n4,n7 computed
    class n2,n3,n5 stale\n    class n8 missing\n    class n3 cutoff
"""
    # Drawing computes nothing.
    assert not g.engine.nodes["unread"].is_valid


def test_owners_of_one_class_are_numbered():
    class Leg(tarn.Model):
        notional = tarn.Input(1.0)

        @tarn.computed
        def value(self):
            return self.notional * 2

    first, second = Leg(), Leg(notional=3.0)
    # A model given twice, once through its graph, is drawn once.
    lines = to_mermaid(iter([first, second, tarn.graph_of(first)])).splitlines()
    assert lines[1:5] == ['    n0["Leg#35;1.notional"]', '    n1["Leg#35;1.value"]',
                          '    n2["Leg#35;2.notional"]', '    n3["Leg#35;2.value"]']
    assert to_mermaid([]) == "flowchart TD\n" + LAYER_CLASS_DEFS


@pytest.mark.parametrize("subject", [
    object(), 5, "price", tarn.Model, [tarn.Graph(), 5], [DAGEngine()], {"g": tarn.Graph()},
], ids=["object", "int", "str", "model class", "list with int", "list with engine", "dict"])
def test_refuses_what_it_cannot_draw(subject):
    for draw in (to_dot, to_mermaid, to_markdown):
        with pytest.raises(TypeError, match=rf"^{draw.__name__}\(\) takes a Graph, a model"):
            draw(subject)
    with pytest.raises(TypeError, match=r"^to_html_table\(\) takes a Graph or a model"):
        to_html_table(subject)


# -- notebook display --------------------------------------------------------


class Loud:
    def __repr__(self):
        return "<script>alert('x' & 1)</script>" + "-" * 200


class Broken:
    def __repr__(self):
        raise RuntimeError("no repr")


def test_display_table():
    g, order = priced()
    g["<b>&name"] = Loud()
    g["broken"] = Broken()
    rows = g._repr_html_().splitlines()
    assert rows[:4] == ['<table class="tarn-nodes">', "<caption>Graph: 8 nodes</caption>",
                        "<thead><tr><th>name</th><th>kind</th><th>value</th></tr></thead>",
                        "<tbody>"]
    assert rows[4:11] == [
        "<tr><td>price</td><td>input</td><td><code>8</code></td></tr>",
        "<tr><td>rate</td><td>input</td><td><code>0.5</code></td></tr>",
        "<tr><td>tax</td><td>computed</td><td><em>stale</em></td></tr>",
        "<tr><td>band</td><td>computed, cut-off</td><td><em>stale</em></td></tr>",
        "<tr><td>bonus</td><td>computed</td><td><code>0</code></td></tr>",
        "<tr><td>unread</td><td>computed</td><td><em>stale</em></td></tr>",
        # Names and values are escaped; long values are cut short.
        "<tr><td>&lt;b&gt;&amp;name</td><td>input</td><td><code>&lt;script&gt;alert("
        "&#x27;x&#x27; &amp; 1)&lt;/scri..." + "-" * 29 + "</code></td></tr>",
    ]
    assert re.fullmatch("<tr><td>broken</td><td>input</td><td><code>&lt;Broken instance "
                        "at 0x[0-9a-f]+&gt;</code></td></tr>", rows[11])
    assert rows[12:] == ["</tbody>", "</table>"]
    assert order._repr_html_().splitlines()[1:6] == [
        "<caption>Order: 2 nodes</caption>",
        "<thead><tr><th>name</th><th>kind</th><th>value</th></tr></thead>", "<tbody>",
        "<tr><td>qty</td><td>input</td><td><code>2</code></td></tr>",
        "<tr><td>total</td><td>computed</td><td><code>16</code></td></tr>",
    ]
    assert not g.engine.nodes["unread"].is_valid


def test_display_of_big_graphs_is_bounded():
    g = tarn.Graph()
    g["n0"] = 0
    for i in range(1, 130):
        g.node(lambda g, i=i: g[f"n{i - 1}"] + 1, name=f"n{i}")
    assert g["n129"] == 129
    table = to_html_table(g, limit=3).splitlines()
    assert table[1] == "<caption>Graph: 130 nodes</caption>"
    assert table[-4:] == [
        "<tr><td>n2</td><td>computed</td><td><code>2</code></td></tr>",
        '<tr><td colspan="3">&hellip; and 127 more nodes</td></tr>', "</tbody>", "</table>"]
    picture = g._repr_markdown_()
    assert picture.startswith("```mermaid\nflowchart TD\n    n0[\"n0\"]\n")
    assert picture.endswith("```\n\nThe picture shows 100 of the 130 nodes.\n")
    assert '    n99["n99"]' in picture and "n100" not in picture
    assert "    n98 --> n99\n" in picture
    # A name cannot end the block early.
    g["```"] = 1
    assert to_markdown(g, limit=1000).count("```") == 2


def test_example_notebook_runs(tmp_path, monkeypatch):
    # The example notebook, executed headless on a kernel of this very
    # interpreter: the kernel is declared in a folder of this test's own,
    # so nothing needs installing, and it imports the package this run
    # imports.
    nbclient = pytest.importorskip(
        "nbclient", reason="nbclient is not installed (the test extra has it)")
    import nbformat

    spec = tmp_path / "jupyter" / "kernels" / "tarn-example"
    spec.mkdir(parents=True)
    package_parent = str(Path(tarn.__file__).resolve().parent.parent)
    path = os.pathsep.join([package_parent, *filter(None, [os.environ.get("PYTHONPATH")])])
    (spec / "kernel.json").write_text(json.dumps({
        "argv": [sys.executable, "-m", "ipykernel_launcher", "-f", "{connection_file}"],
        "display_name": "tarn example", "language": "python",
        "env": {"PYTHONPATH": path, "IPYTHONDIR": str(tmp_path / "ipython")},
    }))
    monkeypatch.setenv("JUPYTER_PATH", str(tmp_path / "jupyter"))
    monkeypatch.setenv("JUPYTER_RUNTIME_DIR", str(tmp_path / "runtime"))
    monkeypatch.setenv("JUPYTER_PLATFORM_DIRS", "1")
    nb = nbformat.read(EXAMPLES / "diagrams.ipynb", as_version=4)
    nbclient.NotebookClient(
        nb, kernel_name="tarn-example", timeout=120,
        resources={"metadata": {"path": str(tmp_path)}},
    ).execute()

    def shown(cell):
        data = collections.defaultdict(str)
        for output in cell.outputs:
            data.update(output.get("data", {}))
            if output.output_type == "stream":
                data["stream"] = data.get("stream", "") + output.text
        return data

    graph, order, both, changed, dot = [
        shown(cell) for cell in nb.cells if cell.cell_type == "code"]
    assert '<table class="tarn-nodes">' in graph["text/html"]
    assert "<tr><td>gross_price</td><td>computed</td><td><code>3.0</code></td></tr>" in graph["text/html"]
    assert "<tr><td>band</td><td>computed, cut-off</td><td><code>&#x27;standard&#x27;</code></td></tr>" in graph["text/html"]
    assert graph["text/markdown"].startswith("```mermaid\nflowchart TD\n")
    assert "<tr><td>total</td><td>computed</td><td><code>12.0</code></td></tr>" in order["text/html"]
    # The picture of both: the model's total reads the graph's gross price.
    picture = both["text/markdown"]
    assert '    n2["Graph.gross_price"]' in picture and '    n5["Order.total"]' in picture
    assert "    n2 --> n5" in picture
    assert "<tr><td>total</td><td>computed</td><td><em>stale</em></td></tr>" in changed["text/html"]
    assert dot["stream"].startswith("digraph tarn {")
