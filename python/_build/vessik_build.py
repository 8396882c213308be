# SPDX-License-Identifier: LGPL-2.1-or-later
"""The package's build backend (PEP 517), from the standard library alone.

pip builds the package with it wherever pip runs, offline and with nothing
to install first: no setuptools, no wheel. The package is pure Python, so
its wheel is py3-none-any; its metadata come from pyproject.toml's
[project] table."""
import base64
import hashlib
import io
import os
import re
import tarfile
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = "vessik"
PACKAGE_FILES = re.compile(r".*\.py$|^py\.typed$")
WHEEL_TAG = "py3-none-any"
# Zip entries carry this date unless SOURCE_DATE_EPOCH says otherwise, so
# that two builds of one tree give the same wheel.
DEFAULT_EPOCH = 315532800  # 1980-01-01, the first date a zip entry can hold


def _project():
    """pyproject.toml's [project] table and its scripts."""
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        text = f.read().decode("utf-8")
    try:
        import tomllib  # Python 3.11
        return tomllib.loads(text)["project"]
    except ImportError:
        return _simple_toml(text)["project"]


def _simple_toml(text):
    """The TOML this package's pyproject.toml uses: [tables], and keys with
    a "string" or a ["list", "of", "strings"] on one line."""
    data, table = {}, None
    for line in text.splitlines():
        line = line.split(" #")[0].strip()
        if not line or line.startswith("#"):
            continue
        header = re.fullmatch(r"\[([\w.-]+)\]", line)
        if header:
            table = data
            for part in header.group(1).split("."):
                table = table.setdefault(part, {})
            continue
        key, _, value = (s.strip() for s in line.partition("="))
        strings = re.findall(r'"([^"]*)"', value)
        table[key.strip('"')] = strings if value.startswith("[") else strings[0]
    return data


def _name_version():
    project = _project()
    return project["name"], project["version"]


def _metadata():
    project = _project()
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}",
             f"Version: {project['version']}", f"Summary: {project['description']}",
             f"Requires-Python: {project['requires-python']}",
             "License: LGPL-2.1-or-later"]
    lines += [f"Classifier: {c}" for c in project.get("classifiers", [])]
    return "\n".join(lines) + "\n"


def _entry_points():
    scripts = _project().get("scripts", {})
    return "[console_scripts]\n" + "".join(f"{k} = {v}\n" for k, v in scripts.items())


def _package_files():
    folder = os.path.join(ROOT, PACKAGE)
    return sorted(f for f in os.listdir(folder) if PACKAGE_FILES.match(f))


def _epoch():
    return max(DEFAULT_EPOCH, int(os.environ.get("SOURCE_DATE_EPOCH", DEFAULT_EPOCH)))


class _Wheel:
    """A wheel being written, with its RECORD of every file's hash."""

    def __init__(self, path):
        self._zip = zipfile.ZipFile(path, "w")
        self._record = []

    def _write(self, name, data):
        entry = zipfile.ZipInfo(name, time.gmtime(_epoch())[:6])
        entry.external_attr = 0o644 << 16
        entry.compress_type = zipfile.ZIP_DEFLATED
        self._zip.writestr(entry, data)

    def add(self, name, data):
        self._write(name, data)
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
        self._record.append(f"{name},sha256={digest.decode()},{len(data)}")

    def close(self, record_name):
        self._record.append(f"{record_name},,")
        self._write(record_name, ("\n".join(self._record) + "\n").encode("utf-8"))
        self._zip.close()


def _build(wheel_directory, package_entries):
    name, version = _name_version()
    basename = f"{name}-{version}-{WHEEL_TAG}.whl"
    info = f"{name}-{version}.dist-info"
    wheel = _Wheel(os.path.join(wheel_directory, basename))
    for entry, data in package_entries:
        wheel.add(entry, data)
    wheel.add(f"{info}/METADATA", _metadata().encode("utf-8"))
    wheel.add(f"{info}/WHEEL", (f"Wheel-Version: 1.0\nGenerator: vessik_build\n"
                                f"Root-Is-Purelib: true\nTag: {WHEEL_TAG}\n").encode("utf-8"))
    wheel.add(f"{info}/entry_points.txt", _entry_points().encode("utf-8"))
    wheel.close(f"{info}/RECORD")
    return basename


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    entries = []
    for f in _package_files():
        with open(os.path.join(ROOT, PACKAGE, f), "rb") as data:
            entries.append((f"{PACKAGE}/{f}", data.read()))
    return _build(wheel_directory, entries)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    """pip install -e: a wheel whose .pth puts this folder on the path."""
    return _build(wheel_directory, [(f"_{PACKAGE}_editable.pth", (ROOT + "\n").encode())])


def build_sdist(sdist_directory, config_settings=None):
    name, version = _name_version()
    top = f"{name}-{version}"
    basename = f"{top}.tar.gz"
    def add(tar, arcname, data):
        entry = tarfile.TarInfo(f"{top}/{arcname}")
        entry.size, entry.mtime, entry.mode = len(data), _epoch(), 0o644
        tar.addfile(entry, io.BytesIO(data))

    with tarfile.open(os.path.join(sdist_directory, basename), "w:gz", format=tarfile.PAX_FORMAT) \
            as tar:
        add(tar, "PKG-INFO", _metadata().encode("utf-8"))
        sources = ["pyproject.toml", "_build/vessik_build.py"]
        sources += [f"{PACKAGE}/{f}" for f in _package_files()]
        for source in sources:
            with open(os.path.join(ROOT, source), "rb") as data:
                add(tar, source, data.read())
    return basename


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []
