"""The manifest of a sharded index: one JSON file naming the shard files.

    {"format": "orvane.sharded", "format_version": 1, "library_version": "0.1.0",
     "kind": "bruteforce", "options": {...builder options...}, "dimension": 16,
     "metric": "l2", "count": 1000,
     "shards": [{"file": "shard-00000-of-00002.idx", "rows": 500, "id_min": 0,
                 "id_max": 499, "bytes": 32912, "sha256": "..."}, ...]}

Shard files lie next to the manifest and are named relative to it. The manifest
is written last, to a temporary name renamed into place, so a manifest exists
only for a build whose every shard was written.
"""

import hashlib
import json
import os

import orvane
from orvane._errors import OrvaneError

FORMAT = "orvane.sharded"
FORMAT_VERSION = 1
MANIFEST_NAME = "manifest.json"
KINDS = ("bruteforce", "ivf", "diskann")
_CHUNK = 1 << 20


def file_digest(path):
    """(size in bytes, sha256 hex digest) of a file."""
    h = hashlib.sha256()
    size = 0
    with open(path, "rb") as f:
        while True:
            block = f.read(_CHUNK)
            if not block:
                break
            size += len(block)
            h.update(block)
    return size, h.hexdigest()


def shard_file_name(index, total):
    return "shard-%05d-of-%05d.idx" % (index, total)


def write(directory, options, dimension, metric, shards):
    """Writes the manifest of finished shards atomically and returns its path."""
    doc = {
        "format": FORMAT, "format_version": FORMAT_VERSION,
        "library_version": orvane.__version__, "kind": options["index.type"],
        "options": {k: v for k, v in options.items()}, "dimension": dimension,
        "metric": metric, "count": sum(s["rows"] for s in shards), "shards": shards,
    }
    path = os.path.join(directory, MANIFEST_NAME)
    tmp = path + ".tmp-%d" % os.getpid()
    with open(tmp, "w") as f:
        json.dump(doc, f, indent=1, sort_keys=True)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)
    return path


def _refuse(path, why):
    raise OrvaneError("%s: not a usable sharded index manifest: %s" % (path, why))


def read(path, kind=None):
    """The checked manifest document; refuses another format, version or kind.

    The shard files themselves are checked where they are opened (on the
    workers), against the sizes and digests recorded here."""
    path = os.fspath(path)
    try:
        with open(path) as f:
            doc = json.load(f)
    except OSError as e:
        raise OrvaneError("%s: %s" % (path, e.strerror or e)) from None
    except ValueError as e:
        _refuse(path, "invalid JSON: %s" % e)
    if not isinstance(doc, dict) or doc.get("format") != FORMAT:
        _refuse(path, "format is not %r" % FORMAT)
    if doc.get("format_version") != FORMAT_VERSION:
        _refuse(path, "format version %r, this library reads %d"
                % (doc.get("format_version"), FORMAT_VERSION))
    if doc.get("library_version") != orvane.__version__:
        _refuse(path, "written by library version %r, this is %s"
                % (doc.get("library_version"), orvane.__version__))
    if doc.get("kind") not in KINDS:
        _refuse(path, "index kind %r cannot be searched sharded" % (doc.get("kind"),))
    if kind is not None and doc["kind"] != kind:
        _refuse(path, "holds a %s index, not %s" % (doc["kind"], kind))
    shards = doc.get("shards")
    if not isinstance(shards, list) or not shards:
        _refuse(path, "lists no shards")
    for key in ("file", "rows", "id_min", "id_max", "bytes", "sha256"):
        if any(not isinstance(s, dict) or key not in s for s in shards):
            _refuse(path, "a shard entry has no %r" % key)
    if any(os.path.basename(s["file"]) != s["file"] for s in shards):
        _refuse(path, "shard files must lie next to the manifest")
    doc["directory"] = os.path.dirname(os.path.abspath(path))
    return doc


def shard_path(doc, index):
    return os.path.join(doc["directory"], doc["shards"][index]["file"])


def verify_file(path, size, sha256):
    """Raises OrvaneError unless the file exists with the recorded size and digest."""
    try:
        actual = os.stat(path).st_size
    except OSError as e:
        raise OrvaneError("%s: %s" % (path, e.strerror or e)) from None
    if actual != size:
        raise OrvaneError("%s: holds %d bytes, the manifest records %d" % (path, actual, size))
    if file_digest(path)[1] != sha256:
        raise OrvaneError("%s: checksum differs from the manifest (damaged file)" % path)
