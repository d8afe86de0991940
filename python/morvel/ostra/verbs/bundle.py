"""Bundle inspection; part of the stand-in host layer (the SDK's real framework isn't available here)."""

import os


def check_bundle_data(bundle_path):
    if not os.path.isdir(bundle_path):
        print("bundle path %s does not exist" % bundle_path)
        return None
    n = len(os.listdir(bundle_path))
    print("bundle path %s exists, %d top-level entr%s" % (bundle_path, n, "y" if n == 1 else "ies"))
    return None
