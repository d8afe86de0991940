"""Data bundle maintenance; part of the stand-in host layer (the SDK's real framework isn't available here).

Anything that would need the remote data service says so on stderr and
reports failure, rather than pretending data arrived.
"""

import os
import sys
import tarfile
import zipfile

_NO_SERVICE = "this host layer has no data service; nothing was downloaded"


def _err(msg):
    print(msg, file=sys.stderr)


def update_bundle_from_zuvazuv(concurrency, data_bundle_path, base, minbar, tick,
                               with_derivatives, rebuild=False):
    asked = [name for name, flag in (("base", base), ("minbar", minbar), ("tick", tick)) if flag]
    what = ", ".join(asked) if asked else "nothing"
    _err("bundle update requested (%s) for %s: %s" % (what, data_bundle_path, _NO_SERVICE))
    return False


def update_bundle_from_exist_file(concurrency, data_bundle_path):
    _err("bundle update from existing files requested for %s: %s"
         % (data_bundle_path, _NO_SERVICE))
    return False


def check_min_bar_data(data_bundle_path):
    if not os.path.isdir(data_bundle_path):
        print("bundle path %s does not exist" % data_bundle_path)
        return None
    count = sum(len(files) for _, _, files in os.walk(data_bundle_path))
    print("bundle path %s exists, %d file(s) under it" % (data_bundle_path, count))
    return None


def _check_member(name):
    # Archives come from outside; a member must not land outside the target.
    norm = name.replace("\\", "/")
    if norm.startswith("/") or os.path.isabs(name) or (len(norm) > 1 and norm[1] == ":"):
        raise ValueError("refusing archive member with absolute path: %r" % name)
    if ".." in norm.split("/"):
        raise ValueError("refusing archive member with '..' component: %r" % name)


def _extract(file_path, dest):
    lower = file_path.lower()
    if lower.endswith(".zip"):
        with zipfile.ZipFile(file_path) as zf:
            for name in zf.namelist():
                _check_member(name)
            zf.extractall(dest)
    elif lower.endswith((".tar", ".tar.gz", ".tgz")):
        with tarfile.open(file_path) as tf:
            members = tf.getmembers()
            for m in members:
                _check_member(m.name)
                if m.issym() or m.islnk():
                    # Conservative: a link target gets the same rules as a name.
                    _check_member(m.linkname)
                elif not (m.isfile() or m.isdir()):
                    raise ValueError("refusing special archive member: %r" % m.name)
            if hasattr(tarfile, "data_filter"):
                # Second line of defence where the runtime offers it.
                tf.extractall(dest, members=members, filter="data")
            else:
                tf.extractall(dest, members=members)
    else:
        raise ValueError("unsupported archive type: %s" % file_path)


def download_simple_bundle(data_bundle_path, sample=False, file_path=None):
    if file_path is None:
        _err("sample bundle requested for %s: %s" % (data_bundle_path, _NO_SERVICE))
        return False
    if not os.path.isfile(file_path):
        raise FileNotFoundError("bundle archive not found: %s" % file_path)
    os.makedirs(data_bundle_path, exist_ok=True)
    _extract(file_path, data_bundle_path)
    return True
