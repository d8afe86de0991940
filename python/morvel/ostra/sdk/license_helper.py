"""Persistent settings store; part of the stand-in host layer (the SDK's real framework isn't available here).

Settings live in <config dir>/settings.json and are mirrored into os.environ
so that code reading plain environment variables sees them.
"""

import json
import os
import sys
import tempfile
import time

_SETTINGS_NAME = "settings.json"


def _config_dir():
    # Read on every call: tests (and users) redirect it at runtime.
    explicit = os.environ.get("MORVEL_CONFIG_DIR")
    if explicit:
        return explicit
    xdg = os.environ.get("XDG_CONFIG_HOME")
    if xdg:
        return os.path.join(xdg, "morvel")
    return os.path.join(os.path.expanduser("~"), ".config", "morvel")


def _settings_path():
    return os.path.join(_config_dir(), _SETTINGS_NAME)


def _load(set_aside_corrupt=False):
    path = _settings_path()
    try:
        with open(path, "r", encoding="utf-8") as f:
            data = json.load(f)
    except FileNotFoundError:
        return {}
    except (OSError, ValueError):
        data = None
    if isinstance(data, dict):
        return data
    # Unreadable or not a JSON object. Only the writer moves it aside, so a
    # plain read never changes anything on disk; the user's data is kept.
    if set_aside_corrupt:
        aside = "%s.corrupt-%s" % (path, time.strftime("%Y%m%d-%H%M%S"))
        n = 0
        while os.path.exists(aside):
            n += 1
            aside = "%s.corrupt-%s-%d" % (path, time.strftime("%Y%m%d-%H%M%S"), n)
        os.replace(path, aside)
        print("warning: %s was unreadable; kept it as %s and started afresh" % (path, aside),
              file=sys.stderr)
    else:
        print("warning: ignoring unreadable settings file %s" % path, file=sys.stderr)
    return {}


def _write_atomic(data):
    directory = _config_dir()
    os.makedirs(directory, mode=0o700, exist_ok=True)
    # mkstemp creates the file 0600, so the secret is never world-readable,
    # not even briefly; os.replace makes the update all-or-nothing.
    fd, tmp = tempfile.mkstemp(prefix=".settings-", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            json.dump(data, f, indent=2, sort_keys=True)
            f.write("\n")
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, _settings_path())
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def set_to_environ(name, value):
    """Store name=value persistently and in the current process environment."""
    data = _load(set_aside_corrupt=True)
    data[name] = value
    _write_atomic(data)
    os.environ[name] = value


def _apply_stored():
    try:
        data = _load()
    except Exception:
        return
    for key, value in data.items():
        # The real environment wins over stored values.
        if isinstance(key, str) and isinstance(value, str) and key not in os.environ:
            os.environ[key] = value


def get_license_info(name="MORVEL_LICENSE"):
    """Return (user, secret) from the stored licence string "user:secret"."""
    value = os.environ.get(name)
    if not value:
        stored = _load().get(name)
        value = stored if isinstance(stored, str) else None
    if not value:
        return None, None
    user, sep, secret = value.partition(":")
    if not sep:
        return value, None
    return user, secret


_apply_stored()
