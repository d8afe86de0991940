import importlib.util
import os
import sys

PYTHON_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "python"))

# Real runs have the package installed; fall back to the source tree otherwise.
if importlib.util.find_spec("morvel") is None:
    sys.path.insert(0, PYTHON_DIR)
