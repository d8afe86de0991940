"""SDK constants; part of the stand-in host layer (the SDK's real framework isn't available here)."""

import os
from collections import OrderedDict

# Env override lets tests and CI point at a scratch bundle without touching ~.
DEFAULT_BUNDLE_PATH = os.environ.get("MORVEL_BUNDLE_PATH") or os.path.join(
    os.path.expanduser("~"), ".morvel", "bundle"
)

# Ordered so help texts that join the keys read the same every run.
TAG_MAP = OrderedDict(
    [
        ("stock", "equities"),
        ("futures", "futures contracts"),
        ("fund", "funds"),
        ("index", "indexes"),
        ("option", "options"),
        ("convertible", "convertible bonds"),
    ]
)

CONCERNED_PACKAGES = ["morvel", "numpy", "click"]
