"""Installs the four native libraries, and nothing else, into an existing SDK tree.

    python scripts/install_into.py TREE

TREE is the folder that holds the SDK's `morvel` package (a site-packages
folder, for example).  Each library built and installed in this interpreter's
environment is copied into its package folder under TREE, with its type stub
when the build has one; a library of the same name already there is replaced.
The host layer stays as it is: the libraries import the tree's own packages.
"""
import importlib.metadata
import shutil
import sys
from importlib.machinery import EXTENSION_SUFFIXES
from pathlib import Path, PurePosixPath

DISTRIBUTION = "morvel-native"
MODULES = (
    "morvel.ostra.sdk.verbs",
    "morvel.ostra.mod.mod_quant_data.data_sources.barmill",
    "morvel.ostra.utils.zr_json",
    "morvel.ostra.mod.mod_optimizer2.mod",
)


def built_files():
    """(module, library, stub or None) for each module, from the installed distribution."""
    try:
        dist = importlib.metadata.distribution(DISTRIBUTION)
    except importlib.metadata.PackageNotFoundError:
        sys.exit(f"install_into: {DISTRIBUTION} is not installed in {sys.prefix}; "
                 "run scripts/setup.sh first")
    files = {PurePosixPath(f.as_posix()): f for f in dist.files or ()}
    found = []
    for module in MODULES:
        base = PurePosixPath(*module.split("."))
        libraries = [files[p] for s in EXTENSION_SUFFIXES
                     if (p := base.with_name(base.name + s)) in files]
        if not libraries:
            sys.exit(f"install_into: the installed {DISTRIBUTION} has no library for {module}")
        stub = files.get(base.with_suffix(".pyi"))
        found.append((base, Path(dist.locate_file(libraries[0])),
                      Path(dist.locate_file(stub)) if stub else None))
    return found


def install_into(tree):
    files = built_files()
    # Check every target first, so that a wrong tree is left untouched.
    missing = [str(tree / base.parent) for base, _, _ in files if not (tree / base.parent).is_dir()]
    if missing:
        sys.exit("install_into: not an SDK tree, these package folders are missing:\n  "
                 + "\n  ".join(missing))
    for base, library, stub in files:
        for source in (library, stub):
            if source is not None:
                target = tree / base.parent / source.name
                shutil.copy2(source, target)
                print(target)


def main(argv):
    if len(argv) != 1 or argv[0].startswith("-"):
        sys.exit(__doc__.strip())
    install_into(Path(argv[0]))


if __name__ == "__main__":
    main(sys.argv[1:])
