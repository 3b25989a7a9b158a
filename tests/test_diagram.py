"""DOT and Mermaid rendering of engines."""

import shutil
import subprocess
import xml.etree.ElementTree as ET

import pytest

from tarn.diagram import to_dot, to_mermaid
from tarn.tarnwick import DAGEngine

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
    # Fields that are None, and an object that is no engine at all.
    for engine in (DAGEngine.__new__(DAGEngine), object(), DAGEngine()):
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
