"""Writes the stored pickle streams that tests/test_pickle.py loads back.

The streams guard against changes that would break pickles written by
earlier builds, so rewrite them only when the stream format is meant to
change. Run from the repository root with the built module importable:

    PYTHONPATH=. .venv/bin/python tests/data/make_streams.py
"""

import pickle
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from stream_funcs import build_graph, build_tagged  # noqa: E402
from tarn.tarnwick import Node  # noqa: E402

OBJECTS = {
    "blank_node": lambda: Node.__new__(Node),
    "graph": build_graph,
    "tagged": build_tagged,
}

for protocol in (0, 2, 5):
    for kind, make in OBJECTS.items():
        path = HERE / f"{kind}_p{protocol}.pickle"
        path.write_bytes(pickle.dumps(make(), protocol))
        print(path.relative_to(HERE.parent.parent))
